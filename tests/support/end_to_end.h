#pragma once
// A GoogleTest fixture for runs of the built binary in the sandbox.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

inline const std::vector<std::string> setup_commands = {"power on", "agent NoInputNoOutput",
                                                        "default-agent", "scan on"};

// The distinct contents the status file goes through until it holds `last` (empty reads,
// between truncation and write, are passed over).
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

class EndToEnd : public testing::Test {
  protected:
    // Every run ends by itself: the tool leaves after 20 s, and the service with it.
    void prepare(const std::string& script, bool with_tool = true) {
        std::string why = sandbox_prepare("lifetime_ms 20000\n" + script, with_tool);
        if (!why.empty())
            GTEST_SKIP() << "end-to-end runs need a private mount namespace: " << why;
    }
    void TearDown() override { sandbox_stop_run(); }

    // Runs joybond to its end; returns its wait status.
    int run_to_end(const std::vector<std::string>& args, bool ignore_sigpipe = false) {
        pid_t pid = launch_joybond(args, ignore_sigpipe);
        int status = 0;
        if (!wait_exit(pid, 15000, &status)) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "joybond did not end";
        }
        return status;
    }

    // joybond ended with status 1 after printing exactly this on standard error.
    static void expect_failure_exit(int status, const std::string& message) {
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(read_file(err_path), message);
    }

    // joybond was ended by SIGPIPE, without a message.
    static void expect_sigpipe_death(int status) {
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGPIPE);
        EXPECT_EQ(read_file(err_path), "");
    }

    // With the tool gone before joybond writes its next command: death by SIGPIPE, or, where
    // the invoker left SIGPIPE ignored, "Failed to write command" and status 1.
    void expect_end_at_next_command(const std::string& script) {
        prepare(script);
        if (IsSkipped())
            return;
        expect_sigpipe_death(run_to_end({"-f"}));
        EXPECT_EQ(read_file(out_path), "") << "no cycle completed";

        prepare(script);
        expect_failure_exit(run_to_end({"-f"}, true), "Failed to write command\n");
    }

    // The first commands the tool received (later cycles may have added more since).
    static std::vector<std::string> first_commands(size_t count) {
        std::vector<std::string> all = received_commands();
        all.resize(std::min(count, all.size()));
        return all;
    }
};
