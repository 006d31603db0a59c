// What the tool and the machine can throw at the service: the tool ending at every point of
// the conversation, floods of output, huge lines, one-byte writes, a status file that cannot
// be written or that someone else has taken over, and memcheck over a whole run. The service
// ends exactly as designed, or goes on; it never hangs.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string controller = "device E4:17:D8:3C:4D:5A input-gaming 0 0 0 1 Pad One\n";

struct Ending {
    const char* when;
    std::string script;
    bool at_next_command; // gone before a command is written; else during a wait
};

void PrintTo(const Ending& e, std::ostream* out) {
    *out << e.when;
}

class ToolEnds : public EndToEnd, public testing::WithParamInterface<Ending> {};

// Commands: 1-4 set-up; then each cycle "devices", "info" and the controller's step, with the
// adapter's "show" every other cycle. A point in the conversation is found by its command.
TEST_P(ToolEnds, ServiceEndsAsDesigned) {
    prepare(controller + GetParam().script);
    int status = run_to_end({"-f"});
    if (GetParam().at_next_command) {
        expect_end_with_tool(status);
        return;
    }
    expect_failure_exit(status, "Failed to read 0\n");
    // The tool ended on the command the point names: its last one received.
    const std::string& script = GetParam().script;
    if (script.rfind("exit_on ", 0) == 0) {
        std::vector<std::string> commands = received_commands();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back().rfind(script.substr(8, script.size() - 9), 0), 0u) << commands.back();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ToolEnds,
    testing::Values(Ending{"before its first prompt", "waiting_ms -1\nlifetime_ms 800\n", false},
                    Ending{"during set-up", "exit_on default-agent\n", false},
                    Ending{"during devices", "exit_on devices\n", false},
                    Ending{"during info", "exit_on info\n", false},
                    Ending{"during trust", "exit_on trust\n", false},
                    Ending{"during show", "exit_on show\n", false},
                    Ending{"during pair", "exit_on pair\n", false},
                    Ending{"during connect", "exit_on connect\n", false},
                    Ending{"during the sleep", "close_after_reply 7\n", true}),
    [](const auto& ending) { return "point_" + std::to_string(ending.index); });

// The first console dump: the lines between "---" and the device table.
size_t lines_in_first_dump(const std::string& out) {
    size_t start = out.find("---\n");
    size_t end = out.find("\nDevices:\n", start);
    if (start == std::string::npos || end == std::string::npos)
        return 0;
    return count_of(out.substr(start + 4, end - start - 4), "\n");
}

TEST_F(EndToEnd, FloodOfEventLinesIsTakenInStride) {
    prepare(controller + "flood 4 100000 60\n");
    launch_joybond({"-f"});
    EXPECT_EQ(status_reaching("Connected Pad One...", 30000), "Connected Pad One...");
    EXPECT_LE(lines_in_first_dump(read_file(out_path)), 15u);
}

// Starts joybond with its standard error standing for the journal's stream.
void launch_with_journal() {
    write_file(err_path, "");
    struct stat err {};
    ASSERT_EQ(stat(err_path, &err), 0);
    std::string stream = std::to_string(err.st_dev) + ":" + std::to_string(err.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    launch_joybond({"-f"});
    unsetenv("JOURNAL_STREAM");
}

// With standard error as the journal's stream, a controller whose pairing fails every cycle
// for a minute writes its failure line once, then once more with the count of the others.
TEST_F(EndToEnd, AStepFailingEveryCycleWritesAJournalLineAMinute) {
    prepare("device E4:17:D8:3C:4D:5A input-gaming 1 0 0 1 Pad One\nrefuse_pair 1000\nlifetime_ms "
            "150000\n");
    launch_with_journal();
    // The second line comes a minute after the first, however late the first came.
    const std::string failure = "<3>Failed to pair: org.bluez.Error.AuthenticationFailed";
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_of(read_file(err_path), failure) == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(count_of(read_file(err_path), failure), 1u) << read_file(err_path);
    std::this_thread::sleep_for(std::chrono::seconds(55));
    EXPECT_EQ(count_of(read_file(err_path), failure), 1u) << "a repeat written within the minute";
    until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (count_of(read_file(err_path), failure) < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string journal = read_file(err_path);
    EXPECT_EQ(journal.find("<6>New controller Pad One (E4:17:D8:3C:4D:5A)\n"), 0u) << journal;
    EXPECT_EQ(count_of(journal, "<3>Failed to pair: org.bluez.Error.AuthenticationFailed"), 2u)
        << journal;
    EXPECT_EQ(count_of(journal, "times more in the last minute)\n"), 1u) << journal;
}

// Where sysfs has no input class (a container, a stricter sandbox), joybond says so once, at
// start, at error priority, and counts a connected controller on its link alone.
TEST_F(EndToEnd, WithoutInputDevicesInSightItSaysSoAndCountsTheLink) {
    prepare(controller);
    ASSERT_EQ(mount("none", "/sys/class", "tmpfs", 0, nullptr), 0);
    launch_with_journal();
    std::string status = status_reaching("Connected Pad One...", 20000);
    std::string journal = read_file(err_path);
    sandbox_stop_run();
    umount2("/sys/class", MNT_DETACH);
    EXPECT_EQ(status, "Connected Pad One...");
    EXPECT_EQ(journal.find("<3>Cannot read /sys/class/input: no input device is seen"), 0u) << journal;
    EXPECT_EQ(count_of(journal, "Cannot read"), 1u) << journal;
}

TEST_F(EndToEnd, LinesOf8000BytesAreTaken) {
    prepare(controller + "flood 4 20 8000\n");
    launch_joybond({"-f"});
    EXPECT_EQ(status_reaching("Connected Pad One...", 20000), "Connected Pad One...");
}

TEST_F(EndToEnd, ALineLongerThanTheBufferEndsTheService) {
    prepare(controller + "flood 4 1 9000\n");
    expect_failure_exit(run_to_end({"-f"}), "Failed to read 0\n");
}

TEST_F(EndToEnd, OutputInOneByteWritesIsFramedAlike) {
    prepare(controller + "chunk 1\n");
    launch_joybond({"-f"});
    EXPECT_EQ(status_reaching("Connected Pad One...", 30000), "Connected Pad One...");
}

TEST_F(EndToEnd, ADirectoryAtTheStatusPathIsSkipped) {
    prepare(controller);
    ASSERT_EQ(mkdir(status_path, 0755), 0);
    launch_joybond({});
    ASSERT_TRUE(wait_for_text(sim_log_path, "cmd connect", 10000)) << "the service stopped cycling";
    struct stat info {};
    ASSERT_EQ(stat(status_path, &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(EndToEnd, AReadOnlyTmpIsSkipped) {
    prepare(controller);
    // The tool's log moves to a tmpfs of its own; /tmp becomes a read-only bind of itself.
    ASSERT_EQ(mount("tmpfs", "/mnt", "tmpfs", 0, nullptr), 0);
    setenv("SIM_LOG", "/mnt/sim.log", 1);
    ASSERT_EQ(mount("/tmp", "/tmp", nullptr, MS_BIND | MS_REC, nullptr), 0); // with what it keeps
    ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    pid_t service = launch_joybond({"-f"});
    bool cycled = wait_for_text("/mnt/sim.log", "cmd connect", 10000);
    int status = 0;
    bool ended = wait_exit(service, 0, &status);
    kill(service, SIGKILL);
    umount2("/tmp", MNT_DETACH);
    umount2("/mnt", MNT_DETACH);
    setenv("SIM_LOG", sim_log_path, 1);
    EXPECT_TRUE(cycled) << "the service stopped cycling";
    EXPECT_FALSE(ended);
}

// A link or FIFO planted at the status path is replaced, never written through.
TEST_F(EndToEnd, PlantedLinkOrFifoAtTheStatusPathIsReplaced) {
    prepare(controller);
    write_file("/tmp/precious", "keep me");
    ASSERT_EQ(symlink("/tmp/precious", status_path), 0);
    launch_joybond({});
    EXPECT_EQ(status_reaching("Connected Pad One...", 10000), "Connected Pad One...");
    EXPECT_EQ(read_file("/tmp/precious"), "keep me");

    prepare(controller);
    ASSERT_EQ(mkfifo(status_path, 0666), 0);
    launch_joybond({});
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 2, 10000))
        << "the service stopped cycling";
    EXPECT_EQ(status_reaching("Connected Pad One...", 10000), "Connected Pad One...");
}

// Memcheck over a run of the shipped (release) build: a controller goes the whole road, then
// the tool ends and joybond with it. Its record and address are the only memory it takes.
TEST_F(EndToEnd, ShippedBuildRunsCleanUnderMemcheck) {
    if (access(JOYBOND_SHIPPED_BINARY, X_OK) != 0 ||
        system("valgrind --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs valgrind and " JOYBOND_SHIPPED_BINARY " (scripts/test builds it)";
    // Commands 1-4 set-up; cycles 1-3 trust, pair and connect, cycles 2 and 4 look at the
    // adapter first; the tool ends as the "devices" of cycle 5 (command 18) arrives.
    prepare(controller + "exit_on_command 18\nlifetime_ms 30000\n");
    Launch memcheck{.wrapper = {"valgrind", "--error-exitcode=99", "--leak-check=full",
                                "--log-file=/tmp/memcheck.log"},
                    .binary = JOYBOND_SHIPPED_BINARY};
    int status = run_to_end({"-f"}, memcheck, 40000);
    std::string log = read_file("/tmp/memcheck.log");
    expect_failure_exit(status, "Failed to read 0\n"); // not 99: no memcheck error
    EXPECT_EQ(read_file(status_path), "Connected Pad One...");
    EXPECT_NE(log.find("ERROR SUMMARY: 0 errors"), std::string::npos) << log;
    EXPECT_FALSE(std::regex_search(log, std::regex("definitely lost: [1-9]"))) << log;
    EXPECT_NE(log.find("total heap usage: 2 allocs"), std::string::npos) << log;
}

} // namespace
