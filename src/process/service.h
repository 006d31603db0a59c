#pragma once
// The endless service loop: prepare the adapter (and again whenever it or the Bluetooth daemon
// comes back), then one cycle a second.

// Cycles between looks at the adapter ("show"): a new adapter is set up, one that stopped
// discovering scans again, within this many cycles.
inline constexpr unsigned adapter_check_period = 2;

// Waits for the tool's first prompt, sends the set-up commands, then cycles for ever: every
// adapter_check_period cycles it asks again for its agent to be the default one until the
// tool says it is, and looks at the adapter and sets it up again where it came anew or
// stopped discovering. With report set (foreground mode), every cycle also prints the
// recent tool output and the device table. Under systemd, it reports its status and feeds the
// watchdog (base/notify.h).
[[noreturn]] void run_service(int command_fd, int reply_fd, bool report);
