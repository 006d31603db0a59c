#pragma once
// No keyboard from a device that says it is a game controller. Its class (and so its icon)
// and its HID descriptor are its own choice: one that claims a controller's class and declares
// letter or digit keys would get a keyboard on this machine, typing into whatever has the
// focus. So no device whose details say "Icon: input-gaming" may type, whoever paired it and
// in whatever run of joybond: when one has an input device that can type (devices/inputs.h),
// it is blocked at once ("block": the daemon disconnects it and refuses it from then on,
// across restarts), and never sent a step again. "block" goes again every block_again_ms
// until its details say "Blocked: yes"; then it is named in the journal at error priority.
// The user's own keyboard has a keyboard's class and is never looked at.
//
// For quiet_time_ms after a block, no new controller is trusted or paired, so that a run of
// impostors under fresh addresses gets no second window; the status file says so. Where the
// service manager gives joybond a state directory ($STATE_DIRECTORY), the quiet time's end is
// kept there ("quiet-until", milliseconds of the real-time clock), so that it survives a
// restart of joybond and a reboot; it never lasts longer than quiet_time_ms from the start.
//
// The guard's own state is the quiet time and whether it has said that it cannot see; its
// marks on a record are Device::block_sent and Device::cut_off.
#include <cstdint>

inline constexpr int64_t quiet_time_ms = 600000;
inline constexpr int64_t block_again_ms = 2000;

// The status line while new controllers wait out the quiet time.
inline constexpr char quiet_status_line[] = "Pairing paused: a device posing as a controller could type\n";

// Takes the quiet time kept by an earlier run, if any. Once, at start.
void guard_start();

// Blocks every game controller of the registry whose input devices can type, again where an
// earlier "block" has not taken effect, and names in the journal those the daemon now says
// are blocked.
void guard_controllers(int command_fd, int reply_fd);

// Whether new controllers wait (the quiet time after a device was cut off).
bool guard_quiet();

// Whether the device gets no step from joybond: the daemon refuses it, or the guard blocked it.
bool guard_keeps_out(const struct Device* device);

// Forgets the quiet time, in memory only. For tests only.
void guard_reset();
