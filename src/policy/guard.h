#pragma once
// No keyboard from a device that claims to be a game controller. Its class (and so its icon)
// and its HID descriptor are its own choice: one that claims a controller's class and declares
// letter or digit keys would get a keyboard on this machine, typing into whatever has the
// focus. When a device joybond sent a step to (trust, pair or connect) has an input device
// that can type (devices/inputs.h), it is blocked at once ("block": the daemon disconnects it
// and refuses it from then on, across restarts), named in the journal at error priority, and
// never sent a step again. For quiet_time_ms after, no new controller is trusted or paired,
// so that a run of impostors under fresh addresses gets no second window; the status file
// says so. A device joybond never sent a step to (paired by the user) is left alone,
// whatever it can do.
#include <cstdint>

inline constexpr int64_t quiet_time_ms = 600000;

// The status line while new controllers wait out the quiet time.
inline constexpr char quiet_status_line[] = "Pairing paused: a device posing as a controller could type\n";

// Blocks every record joybond sent a step to whose input devices can type.
void guard_controllers(int command_fd, int reply_fd);

// Whether new controllers wait (the quiet time after a device was cut off).
bool guard_quiet();

// Forgets the quiet time. For tests only.
void guard_reset();
