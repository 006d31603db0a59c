// The built joybond binary end to end, against the simulated tool in a private mount
// namespace: arguments, both run modes, set-up, the foreground dump and the ways it ends.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class BadArguments : public EndToEnd,
                     public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(BadArguments, PrintUsageAndStartNoTool) {
    prepare("");
    int status = run_to_end(GetParam());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read_file(out_path), "Syntax: joybond [-f]\n");
    EXPECT_EQ(read_file(err_path), "");
    EXPECT_EQ(read_file(sim_log_path), "") << "the tool was started";
}

INSTANTIATE_TEST_SUITE_P(
    StartUp, BadArguments,
    testing::Values(std::vector<std::string>{"-F"}, std::vector<std::string>{"--f"},
                    std::vector<std::string>{"f"}, std::vector<std::string>{""},
                    std::vector<std::string>{"-ff"}, std::vector<std::string>{"-f", "x"},
                    std::vector<std::string>{"-f", "-f", "-v"}));

// Each prompt style, with the exact first dump the foreground mode prints: the tool's lines
// without its colour codes.
struct Style {
    std::string name;
    std::string marked_prompt; // the prompt as it begins the line after it, "@" in place
};

void PrintTo(const Style& style, std::ostream* out) {
    *out << "BlueZ " << style.name;
}

class PromptStyles : public EndToEnd, public testing::WithParamInterface<Style> {};

TEST_P(PromptStyles, ForegroundSetsUpTheAdapterAndDumpsTheToolOutput) {
    prepare("style " + GetParam().name + "\nsync 1\nreply_delay_ms 5\nchunk 7\n");
    pid_t pid = launch_joybond({"-f", "-f"});
    ASSERT_TRUE(wait_for_text(out_path, "---\n", 10000)) << read_file(err_path);
    EXPECT_EQ(first_commands(4), setup_commands);
    const std::string& p = GetParam().marked_prompt;
    std::string first_dump = read_file(out_path).substr(0, read_file(out_path).find("---\n", 4));
    std::string tag = "[CHG]";
    EXPECT_EQ(first_dump, "---\n" + p + "power on\nChanging power on succeeded\n" + p +
                              "agent NoInputNoOutput\nAgent registered\n" + p +
                              "default-agent\nDefault agent request successful\n" + p +
                              "scan on\nDiscovery started\n" + tag +
                              " Controller 00:1A:7D:DA:71:13 Discovering: yes\n" + p +
                              "devices\n\nDevices:\n");
    // The report reaches the file every cycle while the service runs on.
    ASSERT_TRUE(wait_for_count(out_path, "---\n", 2, 5000));
    int status = 0;
    EXPECT_FALSE(wait_exit(pid, 0, &status));
    EXPECT_EQ(read_file(err_path), "");
}

INSTANTIATE_TEST_SUITE_P(StartUp, PromptStyles,
                         testing::Values(Style{"5.66", "[bluetooth]@ "}, Style{"5.79", "[bluetooth]@ "},
                                         Style{"5.87", "[bluetoothctl]@ "}),
                         [](const auto& style) { return "bluez_" + std::to_string(style.index); });

// The daemon lets go of the invoker's terminal or pipes, and its status file is readable by
// all although it runs with umask 0.
TEST_F(EndToEnd, DaemonReturnsAtOnceAndRunsDetached) {
    prepare("");
    int status = run_to_end({});
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(wait_for_text(sim_log_path, "cmd scan on", 10000));
    EXPECT_EQ(first_commands(4), setup_commands);
    EXPECT_EQ(tool_start_value("cwd"), "/");
    EXPECT_EQ(tool_start_value("umask"), "0000");
    EXPECT_EQ(tool_start_value("sid"), tool_start_value("ppid"))
        << "the service leads its own session";
    pid_t service = std::stoi(tool_start_value("ppid"));
    EXPECT_NE(service, getpid());
    EXPECT_EQ(kill(service, 0), 0) << "the service is still running";
    for (int fd : {0, 1, 2}) {
        std::string path = "/proc/" + std::to_string(service) + "/fd/" + std::to_string(fd);
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the service keeps descriptor " << fd;
    }
    ASSERT_EQ(status_reaching("Bluetooth scanning...\n", 5000), "Bluetooth scanning...\n");
    struct stat info {};
    ASSERT_EQ(stat(status_path, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(read_file(out_path), "");
    EXPECT_EQ(read_file(err_path), "");
}

TEST_F(EndToEnd, WaitsForAToolThatIsSlowToShowItsPrompt) {
    prepare("waiting_ms 1500\n");
    launch_joybond({"-f"});
    ASSERT_TRUE(wait_for_text(sim_log_path, "cmd scan on", 10000));
    EXPECT_EQ(first_commands(4), setup_commands);
    ASSERT_TRUE(wait_for_text(out_path, "---\nWaiting to connect to bluetoothd...\n", 5000));
}

// A closed standard descriptor is pointed at /dev/null first: the tool keeps its input,
// output and standard error, and nothing but the status text reaches the status file.
TEST_F(EndToEnd, RunsWithAStandardDescriptorClosed) {
    for (int fd : {0, 1, 2}) {
        SCOPED_TRACE("descriptor " + std::to_string(fd));
        prepare("device E4:17:D8:3C:4D:5A input-gaming 0 0 0 1 Pad One\n");
        launch_joybond({"-f"}, {.closed = {fd}});
        EXPECT_EQ(status_reaching("Connected Pad One...", 15000), "Connected Pad One...");
        EXPECT_EQ(first_commands(4), setup_commands);
        EXPECT_EQ(tool_start_value("stderr"), "open");
    }
}

TEST_F(EndToEnd, MissingToolEndsTheService) {
    prepare("", false);
    expect_failure_exit(run_to_end({"-f"}), "Failed to run bluetoothctl\nFailed to read 0\n");
    EXPECT_EQ(read_file(out_path), "");
}

TEST_F(EndToEnd, ToolEndingDuringAWaitEndsTheService) {
    for (const char* script : {"exit_on_command 2\n", "stall_on_command 3\nlifetime_ms 1500\n"}) {
        prepare(script);
        SCOPED_TRACE(script);
        expect_failure_exit(run_to_end({"-f"}), "Failed to read 0\n");
    }
}

// A tool that echoes a command and then says nothing more, for good: no prompt ends the reply
// within the bound, and the service ends so that its supervisor starts it afresh.
TEST_F(EndToEnd, StalledToolEndsTheServiceWithinTheBound) {
    prepare("lifetime_ms 90000\nstall_on_command 6\n");
    auto start = std::chrono::steady_clock::now();
    expect_failure_exit(run_to_end({"-f"}, {}, 60000), "Failed to get a reply from bluetoothctl\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(received_commands().size(), 6u);
}

TEST_F(EndToEnd, CommandToAGoneToolEndsTheService) {
    expect_end_at_next_command("close_after_reply 1\n"); // gone after its first reply
}

} // namespace
