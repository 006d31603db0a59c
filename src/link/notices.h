#pragma once
// What the tool says about itself, kept until the service takes it: its failure line for a
// step (for the journal), that the daemon took its agent as the default one, and that it lost
// the Bluetooth daemon (for setting up again). Its
// own lines follow its main prompt as it was last drawn; the same words anywhere else (in a
// name, in an event line) are not the tool's.
#include "link/screen.h"

#include <cstdint>

// A line was handed out; rest: what follows the main prompt when the line begins with it,
// else nullptr.
void notice_line(const char* rest);

// The partial line pending shows this.
void notice_pending(Pending shown);

// The last line since the previous call in which the tool said that a step failed ("Failed
// to pair", "Failed to connect", "Failed to set trust", such as "Failed to pair:
// org.bluez.Error.AuthenticationFailed"), from those words on and cut to 127 bytes, or
// nullptr. Valid until the next call.
const char* take_failure_line();

// The tool's last "Failed to connect" line since the previous call, as take_failure_line
// gives it (the two are taken apart), or nullptr. Valid until the next call.
const char* take_connect_failure();

// The address of a device whose link the tool said came up or went ("[CHG] Device <address>
// Connected: yes" or "no": up tells which; at, when joybond read it, in monotonic
// milliseconds), one per call in the order said, or nullptr when none is left. The last
// link_events_kept are kept between calls. Valid until the next call.
inline constexpr int link_events_kept = 8;
const char* take_link_event(bool* up, int64_t* at);

// Whether the tool has said, since the last call, that the daemon took its agent as the
// default one ("Default agent request successful").
bool take_default_agent_set();

// Whether the tool has said, since the last call, that it lost the Bluetooth daemon and waits
// for it to come back (and with it, perhaps, an adapter already powered and discovering).
bool take_daemon_lost();

// Forgets what was said. For tests (through channel_reset).
void reset_notices();
