// A new controller's road end to end, against the simulated tool: trusted, paired and
// connected in consecutive cycles, with the status file telling each step; and a status file
// path that someone else has taken over.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

struct Road {
    std::string script;
    std::vector<std::string> args;
};

void PrintTo(const Road& road, std::ostream* out) {
    *out << road.script << " " << road.args.size();
}

class NewController : public EndToEnd, public testing::WithParamInterface<Road> {};

TEST_P(NewController, IsTrustedPairedAndConnectedInConsecutiveCycles) {
    prepare(GetParam().script + "device E4:17:D8:3C:4D:5A input-gaming 0 0 0 2 Pad One\n"
                                "device 00:1B:66:AA:BB:02 audio-headset 0 0 1 1 Headset\n");
    if (IsSkipped())
        return;
    launch_joybond(GetParam().args);
    Strings seen = watch_status_until("Connected Pad One...", 15000);
    EXPECT_EQ(seen,
              (Strings{"Bluetooth scanning...\n", "Trusting Pad One...\n", "Pairing Pad One...\n",
                       "Connecting Pad One...\n", "Connected Pad One..."}));
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 6, 5000));
    const std::string pad = "E4:17:D8:3C:4D:5A";
    const std::string headset = "00:1B:66:AA:BB:02";
    Strings expected = setup_commands;
    for (const std::string& c :
         Strings{"devices", "info " + headset,                                  // scanning
                 "devices", "info " + pad, "info " + headset, "trust " + pad,   // trusting
                 "devices", "info " + pad, "info " + headset, "pair " + pad,    // pairing
                 "devices", "info " + pad, "info " + headset, "connect " + pad, // connecting
                 "devices", "info " + pad, "info " + headset, "devices"})       // connected
        expected.push_back(c);
    EXPECT_EQ(first_commands(expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Policy, NewController,
    testing::Values(Road{"style 5.66\n", {}}, Road{"style 5.79\nchunk 5\n", {"-f"}},
                    // BlueZ 5.84 and later add per-bearer lines such as "LE.Paired: no"
                    Road{"style 5.87\nbearers 1\n", {}}));

TEST_F(EndToEnd, ForegroundReportShowsTheTable) {
    prepare("device E4:17:D8:3C:4D:5A input-gaming 1 1 0 1 Old Pad\n");
    if (IsSkipped())
        return;
    launch_joybond({"-f"});
    ASSERT_TRUE(wait_for_text(out_path, "\nDevices:\n", 10000));
    EXPECT_TRUE(wait_for_text(
        out_path,
        "\nDevices:\n\t\"Old Pad\" E4:17:D8:3C:4D:5A game trusted paired  [auto_connect]\n", 5000))
        << read_file(out_path);
    EXPECT_EQ(read_file(status_path), "Bluetooth scanning...\n");
}

TEST_F(EndToEnd, PlantedLinkOrFifoAtTheStatusPathIsLeftAlone) {
    prepare("device E4:17:D8:3C:4D:5A input-gaming 0 0 0 1 Pad One\n");
    if (IsSkipped())
        return;
    write_file("/tmp/precious", "keep me");
    ASSERT_EQ(symlink("/tmp/precious", status_path), 0);
    launch_joybond({});
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 3, 10000))
        << "the service stopped cycling";
    EXPECT_EQ(read_file("/tmp/precious"), "keep me");
    sandbox_stop_run();

    prepare("device E4:17:D8:3C:4D:5A input-gaming 0 0 0 1 Pad One\n");
    ASSERT_EQ(mkfifo(status_path, 0666), 0);
    launch_joybond({});
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 3, 10000))
        << "the service stopped cycling";
    struct stat info {};
    ASSERT_EQ(lstat(status_path, &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

} // namespace
