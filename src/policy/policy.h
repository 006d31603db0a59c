#pragma once
// Connection policy: once a cycle, move every game controller one step (trust, pair,
// connect) closer to connected, and rewrite the status file "/tmp/blue.msg" with what is
// going on. "connect" goes only to devices joybond sent "pair" to.
#include "devices/registry.h"

#include <cstddef>
#include <cstdint>

inline constexpr char status_file_path[] = "/tmp/blue.msg";
inline constexpr size_t status_text_size = 4096;

// What the policy does for a device this cycle, first rule that applies: nothing for a device
// the tool did not list in this cycle, that is no game controller or that joybond gave up on;
// trust it; pair it; count it as connected, once it is connected and its input device exists
// (devices/inputs.h); connect it (only when joybond sent it "pair", or once when it is
// paired, away and found by discovery: policy/stale.h), also when the link pairing left up is
// connected without one; or nothing, for one paired elsewhere that is not connected (or not
// yet usable). A controller known on LE alone whose link is down is never sent "connect": the
// host connects a bonded LE device by itself once it advertises, and a "connect" meanwhile
// holds the radio and, when the device comes back while it waits, leaves the daemon's
// "Connected: yes" unsaid to the tool; one joybond paired is awaited ("Connecting") instead.
// A device whose link is up before it is paired, in a pairing joybond did not start, gets
// nothing (a "pair" would cross the pairing under way). A device blocked, by the daemon or
// the guard (policy/guard.h), gets nothing; during the quiet time after a
// cut-off, a controller that would be trusted or paired waits.
// A controller counts as connected once usable: connected, and its input device exists; where
// sysfs cannot be read (devices/inputs.h), connected alone.
bool controller_usable(const Device* device);

enum class Step { none, trust, pair, connected, connect, awaited, waits };
Step next_step(const Device* device);

// A step that did not take effect goes again only after a pause: first_pause_ms, doubling up
// to longest_pause_ms. Progress (trusted or paired changes, or connected once paired) makes
// the next step due at once, but for a link alone that comes up once paired: a pad switched on
// brings up its own HID channels over it, so "connect" waits link_settle_ms; a sign that the device
// is back (listed again after it was gone, or found again: registry.h, details.h) makes it due
// first_pause_ms after the last one at most, and restarts the pauses. Until its step is due, a
// device keeps its status line. A controller not paired give_up_after_ms after joybond first sent
// it "pair" is given up: "untrust" when joybond trusted it in this run, and no step, no status line
// and no record kept for good, until it is back.
inline constexpr int64_t first_pause_ms = 10000;
inline constexpr int64_t link_settle_ms = 3000;
inline constexpr int64_t longest_pause_ms = 120000;
inline constexpr int64_t give_up_after_ms = 300000;

// One policy pass over the registry, newest device first: at most one command per device
// whose step is due, each followed by the wait for the prompt, then the status file update
// (and systemd's status, when it asks for it).
void manage_devices(int command_fd, int reply_fd);

// The status text for the registry from its head on, as the pass that acts on it reports:
// "Bluetooth scanning...\n", the step lines under way, then the connected controller or the
// count of them. Names are shown with their control characters and bytes that are not UTF-8
// escaped. Reads the records only.
void compose_status(const Device* first, char (&text)[status_text_size]);

// Appends formatted text after the buffer's content, keeping content and terminator within
// limit bytes (cutting what does not fit). Writes nothing when the first limit bytes hold
// no terminator. Returns the old length plus the full length of the formatted text.
size_t append_format(char* buffer, size_t limit, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Replaces the status file with a new one holding the text, in one rename: readers see the
// old text or the new one, never a partial or empty file. Never writes through a link or
// into a FIFO planted at that path; a status file that cannot be replaced (another user's,
// in the sticky /tmp) is skipped silently.
void write_status_file(const char* text);
