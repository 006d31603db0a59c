// The built joybond binary end to end, against the simulated tool in a private mount
// namespace: arguments, both run modes, set-up, the foreground dump and the ways it ends.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
                         testing::Values(Style{"5.66", "[bluetooth]@ "},
                                         Style{"5.79", "[bluetooth]@ "},
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
    EXPECT_EQ(tool_start_value("stderr_target"), "/dev/null") << "the tool keeps the caller's";
    ASSERT_EQ(status_reaching("Bluetooth scanning...\n", 5000), "Bluetooth scanning...\n");
    struct stat info {};
    ASSERT_EQ(stat(status_path, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(read_file(out_path), "");
    EXPECT_EQ(read_file(err_path), "");
}

// What arrives on a notify socket of the test's own for ms milliseconds: each datagram with
// its sender's pid and the milliseconds since the start.
struct Datagram {
    std::string text;
    pid_t sender;
    long at_ms;
};
std::vector<Datagram> notifications(bool with_variables, int ms) {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/notify");
    int on = 1;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    timeval tick{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    if (with_variables) {
        setenv("NOTIFY_SOCKET", address.sun_path, 1);
        setenv("WATCHDOG_USEC", "3000000", 1);
    }
    pid_t pid = launch_joybond({"-f"});
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    std::vector<Datagram> got;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms)) {
        char text[8192];
        char control[CMSG_SPACE(sizeof(ucred))];
        iovec part{text, sizeof text - 1};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t length = recvmsg(fd, &message, 0);
        if (length < 0)
            continue;
        ucred sender{};
        if (cmsghdr* header = CMSG_FIRSTHDR(&message))
            std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
        auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        got.push_back({std::string(text, static_cast<size_t>(length)), sender.pid,
                       static_cast<long>(at.count())});
        EXPECT_EQ(sender.pid, pid) << "from another process: " << got.back().text;
    }
    close(fd);
    unlink(address.sun_path);
    return got;
}

// Under systemd: the status follows the status file, the watchdog is fed at least once per
// period while the loop turns and while the Bluetooth daemon is awaited, nothing comes from
// the tool (which would speak to systemd by itself), and nothing at all without the variables.
TEST_F(EndToEnd, ReportsItsStatusAndFeedsTheWatchdogUnderSystemd) {
    for (const char* script :
         {"device E4:17:D8:3C:4D:5A input-gaming 0 0 0 1 Pad One\n", "waiting_ms -1\n"}) {
        SCOPED_TRACE(script);
        prepare(script);
        std::vector<std::string> statuses;
        long last_keep_alive = 0;
        long longest_gap = 0;
        for (const Datagram& datagram : notifications(true, 7000)) {
            if (datagram.text == "WATCHDOG=1") {
                longest_gap = std::max(longest_gap, datagram.at_ms - last_keep_alive);
                last_keep_alive = datagram.at_ms;
            } else {
                statuses.push_back(datagram.text);
            }
        }
        EXPECT_LT(longest_gap, 3000) << "the watchdog's period is 3 s";
        EXPECT_GT(last_keep_alive, 5000);
        std::vector<std::string> expected = {
            "STATUS=Waiting for bluetoothctl and the Bluetooth daemon..."};
        if (std::string(script).find("device") != std::string::npos)
            for (const char* step : {"Trusting Pad One...", "Pairing Pad One...",
                                     "Connecting Pad One...", "Connected Pad One..."})
                expected.push_back(std::string("STATUS=") + step);
        EXPECT_EQ(statuses, expected);
    }
    prepare("");
    EXPECT_TRUE(notifications(false, 2500).empty());
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
