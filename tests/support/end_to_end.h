#pragma once
// A GoogleTest fixture for runs of the built binary in the sandbox.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

inline const std::vector<std::string> setup_commands = {"power on", "agent NoInputNoOutput",
                                                        "default-agent", "scan on"};

// The distinct contents the status file goes through until it holds `last` (before its first
// writing it reads as empty, which is passed over).
inline std::vector<std::string> watch_status_until(const std::string& last, int timeout_ms) {
    std::vector<std::string> seen;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        std::string now = read_file(status_path);
        if (!now.empty() && (seen.empty() || seen.back() != now))
            seen.push_back(now);
        if (now == last)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return seen;
}

// What the status file holds once it holds `last`, or at the time-out; "" when it never held
// anything.
inline std::string status_reaching(const std::string& last, int timeout_ms) {
    std::vector<std::string> seen = watch_status_until(last, timeout_ms);
    return seen.empty() ? "" : seen.back();
}

class EndToEnd : public testing::Test {
  protected:
    // Skips where no sandbox can be had (CI runs as root and has one).
    void SetUp() override {
        if (std::string why = sandbox_prepare(""); !why.empty())
            GTEST_SKIP() << "end-to-end runs need a private mount namespace: " << why;
    }
    void TearDown() override { sandbox_stop_run(); }

    // A fresh run: a new private /tmp with the script for the simulated tool, which leaves
    // after 20 s (and the service with it). A sandbox that worked in SetUp and fails now
    // ends the test: joybond must never run outside it.
    static void prepare(const std::string& script, bool with_tool = true) {
        sandbox_stop_run();
        if (std::string why = sandbox_prepare("lifetime_ms 20000\n" + script, with_tool);
            !why.empty())
            throw std::runtime_error("the sandbox failed: " + why);
    }

    // Runs joybond to its end; returns its wait status.
    static int run_to_end(const std::vector<std::string>& args, const Launch& how = {},
                          int timeout_ms = 15000) {
        pid_t pid = launch_joybond(args, how);
        int status = 0;
        if (!wait_exit(pid, timeout_ms, &status)) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "joybond did not end";
        }
        return status;
    }

    // joybond ended with status 1 after printing exactly this on standard error.
    static void expect_failure_exit(int status, const std::string& message) {
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(read_file(err_path), message);
    }

    // joybond ended because the tool had gone: death by SIGPIPE without a message when it
    // wrote a command, or "Failed to read 0" when it read first. Which comes first depends on
    // when the tool left; both are right.
    static void expect_end_with_tool(int status) {
        if (WIFSIGNALED(status)) {
            EXPECT_EQ(WTERMSIG(status), SIGPIPE);
            EXPECT_EQ(read_file(err_path), "");
        } else {
            expect_failure_exit(status, "Failed to read 0\n");
        }
    }

    // The tool is gone before joybond writes its next command: it ends as above, and where
    // the invoker left SIGPIPE ignored, with "Failed to write command" or "Failed to read 0".
    static void expect_end_at_next_command(const std::string& script) {
        prepare(script);
        expect_end_with_tool(run_to_end({"-f"}));
        EXPECT_EQ(read_file(out_path), "") << "no cycle completed";

        prepare(script);
        int status = run_to_end({"-f"}, {.ignore_sigpipe = true});
        bool read_first = read_file(err_path) == "Failed to read 0\n";
        expect_failure_exit(status, read_first ? "Failed to read 0\n" : "Failed to write command\n");
    }

    // The first commands the tool received (later cycles may have added more since).
    static std::vector<std::string> first_commands(size_t count) {
        std::vector<std::string> all = received_commands();
        all.resize(std::min(count, all.size()));
        return all;
    }
};
