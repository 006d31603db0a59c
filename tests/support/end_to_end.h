#pragma once
// A GoogleTest fixture for runs of the built binary in the sandbox.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
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

    // The first commands the tool received (later cycles may have added more since).
    static std::vector<std::string> first_commands(size_t count) {
        std::vector<std::string> all = received_commands();
        all.resize(std::min(count, all.size()));
        return all;
    }
};
