#pragma once
// The endless service loop: prepare the adapter once, then one cycle a second.

// Waits for the tool's first prompt, sends the set-up commands, then cycles for ever. With
// report set (foreground mode), every cycle also prints the recent tool output and the
// device table.
[[noreturn]] void run_service(int command_fd, int reply_fd, bool report);
