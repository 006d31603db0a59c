// Prints the service's own CPU time against wall time while it drives the simulated tool.
// Runs the built joybond in a private mount namespace, like the end-to-end tests.
#include "sandbox.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs joybond -f for the given time, then ends it; prints wall and CPU time.
void run_case(const char* title, const std::string& script, int run_ms) {
    std::string why = sandbox_prepare(script);
    if (!why.empty()) {
        std::printf("%-44s skipped: %s\n", title, why.c_str());
        return;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = launch_joybond({"-f"});
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, WNOHANG, &usage) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(run_ms));
        kill(pid, SIGTERM);
        wait4(pid, &status, 0, &usage);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    std::printf("%-44s wall %6.2f s   service CPU %7.4f s   %6.3f%% of wall\n", title, wall, cpu,
                100.0 * cpu / wall);
    sandbox_stop_run();
}

} // namespace

int main() {
    std::printf("joybond CPU against wall time (target: under 0.1%%)\n");
    run_case("tool answers each command after 5 ms", "reply_delay_ms 5\n", 10000);
    run_case("tool shows no prompt for 10 s", "waiting_ms -1\n", 10000);
    return 0;
}
