// What the tool and the machine can throw at the service: the tool ending at every point of
// the conversation, floods of output, huge lines, one-byte writes, and a status file that
// cannot be written. The service ends exactly as designed, or goes on; it never hangs.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace {

const std::string controller = "device E4:17:D8:3C:4D:5A input-gaming 0 0 0 1 Pad One\n";

struct Ending {
    const char* when;
    std::string script;
    bool by_sigpipe; // else "Failed to read 0" and status 1
};

void PrintTo(const Ending& e, std::ostream* out) {
    *out << e.when;
}

class ToolEnds : public EndToEnd, public testing::WithParamInterface<Ending> {};

// Commands: 1-4 set-up; cycle 1: 5 devices, 6 info, 7 trust; cycle 2: 8 devices, 9 info,
// 10 pair; cycle 3: 11 devices, 12 info, 13 connect.
TEST_P(ToolEnds, ServiceEndsAsDesigned) {
    prepare(controller + GetParam().script);
    if (IsSkipped())
        return;
    int status = run_to_end({"-f"});
    if (GetParam().by_sigpipe)
        expect_sigpipe_death(status);
    else
        expect_failure_exit(status, "Failed to read 0\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ToolEnds,
    testing::Values(Ending{"before its first prompt", "waiting_ms -1\nlifetime_ms 800\n", false},
                    Ending{"during set-up", "exit_on_command 3\n", false},
                    Ending{"during devices", "exit_on_command 5\n", false},
                    Ending{"during info", "exit_on_command 6\n", false},
                    Ending{"during trust", "exit_on_command 7\n", false},
                    Ending{"during pair", "exit_on_command 10\n", false},
                    Ending{"during connect", "exit_on_command 13\n", false},
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
    if (IsSkipped())
        return;
    launch_joybond({"-f"});
    EXPECT_EQ(watch_status_until("Connected Pad One...", 30000).back(), "Connected Pad One...");
    EXPECT_LE(lines_in_first_dump(read_file(out_path)), 15u);
}

TEST_F(EndToEnd, LinesOf8000BytesAreTaken) {
    prepare(controller + "flood 4 20 8000\n");
    if (IsSkipped())
        return;
    launch_joybond({"-f"});
    EXPECT_EQ(watch_status_until("Connected Pad One...", 20000).back(), "Connected Pad One...");
}

TEST_F(EndToEnd, ALineLongerThanTheBufferEndsTheService) {
    prepare(controller + "flood 4 1 9000\n");
    if (IsSkipped())
        return;
    expect_failure_exit(run_to_end({"-f"}), "Failed to read 0\n");
}

TEST_F(EndToEnd, OutputInOneByteWritesIsFramedAlike) {
    prepare(controller + "chunk 1\n");
    if (IsSkipped())
        return;
    launch_joybond({"-f"});
    EXPECT_EQ(watch_status_until("Connected Pad One...", 30000).back(), "Connected Pad One...");
}

TEST_F(EndToEnd, ADirectoryAtTheStatusPathIsSkipped) {
    prepare(controller);
    if (IsSkipped())
        return;
    ASSERT_EQ(mkdir(status_path, 0755), 0);
    launch_joybond({});
    ASSERT_TRUE(wait_for_text(sim_log_path, "cmd connect", 10000)) << "the service stopped cycling";
    struct stat info {};
    ASSERT_EQ(stat(status_path, &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(EndToEnd, AReadOnlyTmpIsSkipped) {
    prepare(controller);
    if (IsSkipped())
        return;
    // The tool's log moves to a tmpfs of its own; /tmp becomes a read-only bind of itself.
    ASSERT_EQ(mount("tmpfs", "/mnt", "tmpfs", 0, nullptr), 0);
    setenv("SIM_LOG", "/mnt/sim.log", 1);
    ASSERT_EQ(mount("/tmp", "/tmp", nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    pid_t service = launch_joybond({"-f"}, false);
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

} // namespace
