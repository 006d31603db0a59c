#pragma once
// A GoogleTest fixture for runs of the built binary in the sandbox.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <vector>

inline const std::vector<std::string> setup_commands = {"power on", "agent NoInputNoOutput",
                                                        "default-agent", "scan on"};

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

    // With the tool gone before joybond writes its next command: death by SIGPIPE, or, where
    // the invoker left SIGPIPE ignored, "Failed to write command" and status 1.
    void expect_end_at_next_command(const std::string& script) {
        prepare(script);
        if (IsSkipped())
            return;
        int status = run_to_end({"-f"});
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGPIPE);
        EXPECT_EQ(read_file(err_path), "");
        EXPECT_EQ(read_file(out_path), "") << "no cycle completed";

        prepare(script);
        status = run_to_end({"-f"}, true);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(read_file(err_path), "Failed to write command\n");
    }

    // The first commands the tool received (later cycles may have added more since).
    static std::vector<std::string> first_commands(size_t count) {
        std::vector<std::string> all = received_commands();
        all.resize(std::min(count, all.size()));
        return all;
    }
};
