#pragma once
// What the service tells the journal, when its standard error is the journal's stream
// (systemd sets JOURNAL_STREAM to that stream's device and inode): one line per change of a
// game controller's state, with the journal's priority prefix, and the client's own failure
// lines for a step. Elsewhere (a terminal, the daemon mode) nothing is written.
//   <6>New controller NAME (ADDRESS)    <6>Trusted NAME (ADDRESS)    <6>Paired NAME (ADDRESS)
//   <6>Connected NAME (ADDRESS)         <4>Connection lost: NAME (ADDRESS)
// (connected: usable, its input device exists, as the status file counts it)
//   <3>Failed to pair: org.bluez.Error.AuthenticationFailed
//   <3>Cut off NAME (ADDRESS): it poses as a game controller and can type letters and digits
//   <4>Removed the pairing of NAME (ADDRESS), to pair it again: WHY
// Names are escaped as on the console. A failure line is written at most once a minute for
// the same text; the repeats in between are counted in the next one, so a device that fails
// every cycle writes one line a minute.

#include "devices/registry.h"

// Reads JOURNAL_STREAM and compares it with standard error; once, at start.
void journal_start();

// Writes the changes since the last call: the records of this cycle's listing, and the
// failure lines the client printed meanwhile.
void journal_devices();

// Writes, at error priority, what the service cannot see of input devices (devices/inputs.h)
// and what that costs, once each time it stops seeing it; at info priority, that it sees them
// all again. journal_devices does this too.
//   <3>Cannot read /sys/class/input: no input device is seen, so no guard ...
//   <3>Cannot hear the kernel's uevents: input devices are seen once a second, ...
void journal_sight();

// Writes that the device was cut off (policy/guard.h), with what its input devices could type
// when it was blocked.
void journal_cut_off(const Device* device);

// Writes that the device's stale pairing was removed (policy/stale.h), and why.
void journal_removed(const Device* device, const char* why);

// Stops writing and forgets the failure lines' times. For tests only.
void journal_reset();
