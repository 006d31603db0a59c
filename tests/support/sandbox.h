#pragma once
// End-to-end runs of the real joybond binary inside a private mount namespace: /tmp is a
// private tmpfs and /usr/bin/bluetoothctl is whatever the test puts there, so the host's
// /tmp/blue.msg and /usr/bin are never touched.
#include <string>
#include <sys/types.h>
#include <vector>

// Files of one run, all inside the private /tmp.
inline constexpr char sim_script_path[] = "/tmp/sim.script";
inline constexpr char sim_log_path[] = "/tmp/sim.log";
inline constexpr char out_path[] = "/tmp/joybond.out";
inline constexpr char err_path[] = "/tmp/joybond.err";
inline constexpr char status_path[] = "/tmp/blue.msg";

// Enters the namespace once per process (a user namespace too when not root). Returns "" on
// success, else why end-to-end runs cannot be done here.
std::string sandbox_enter();

// Enters the namespace and mounts a new, empty tmpfs on /tmp. Returns "" or the reason.
std::string sandbox_fresh_tmp();

// Gives the next run a fresh /tmp holding the script, and places the simulated tool at
// /usr/bin/bluetoothctl (no tool at all when with_tool is false), with an empty input class
// (/sys/class/input) where it makes the input devices of the controllers it connects.
// Returns "" or the reason.
std::string sandbox_prepare(const std::string& script, bool with_tool = true);

// How joybond is started. Its output goes to out_path and err_path, its input is /dev/null.
struct Launch {
    bool ignore_sigpipe = false;           // start it with SIGPIPE ignored
    std::vector<int> closed;               // descriptors closed before it starts
    std::vector<std::string> wrapper;      // a command that runs it, such as valgrind
    std::string binary;                    // another build of it; "" for the one under test,
                                           // run through its emulator in a cross build
};

// Starts joybond with the arguments; returns the pid of what was started.
pid_t launch_joybond(const std::vector<std::string>& args, const Launch& how = {});

// Waits up to timeout_ms for the process to end; true and *status when it did.
bool wait_exit(pid_t pid, int timeout_ms, int* status);

// Polls up to timeout_ms until the file holds at least count occurrences of the text.
bool wait_for_count(const char* path, const std::string& text, size_t count, int timeout_ms);
inline bool wait_for_text(const char* path, const std::string& text, int timeout_ms) {
    return wait_for_count(path, text, 1, timeout_ms);
}

// Ends the service and tool of a run (read from the tool's "start" line), and reaps children.
void sandbox_stop_run();

std::string read_file(const char* path);
void write_file(const char* path, const std::string& text);
size_t count_of(const std::string& text, const std::string& part);

// The commands the simulated tool received, in order.
std::vector<std::string> received_commands();

// A value from the tool's "start" line, such as "cwd" or "ppid"; "" when absent.
std::string tool_start_value(const std::string& key);
