#pragma once
// Start-up: the two run modes and the bluetoothctl child joined to us by two pipes.

// Points any of descriptors 0, 1 and 2 that is closed at /dev/null, so that the pipes and the
// status file never take those numbers (the tool would lose its input or output, or the
// console report would land in the status file).
void open_standard_descriptors();

// Starts /usr/bin/bluetoothctl with its standard input fed from *command_fd and its
// standard output readable on *reply_fd, in our environment but for its terminal settings,
// which are fixed, so that its output does not depend on who started us. The child never
// returns: it becomes the tool, or says "Failed to run bluetoothctl" and exits with status 1.
void spawn_controller(int* command_fd, int* reply_fd);

// Forks (the invoker exits 0), lets go of the invoker's standard streams (the tool gets
// /dev/null), detaches, starts the tool, closes 0-2, runs the service.
[[noreturn]] void daemonize();

// Starts the tool and runs the service with the console report, keeping the invoker's
// process and streams.
[[noreturn]] void run_foreground();
