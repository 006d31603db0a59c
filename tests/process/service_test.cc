// The service loop end to end: what each cycle asks the tool, and how the loop ends when the
// tool goes away between cycles.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using Commands = std::vector<std::string>;

TEST_F(EndToEnd, EachCycleListsDevicesThenQueriesThemNewestFirst) {
    prepare("device 11:22:33:44:55:01 phone 0 0 0 1 Phone\n"
            "device 11:22:33:44:55:02 audio-headset 0 0 0 2 Headset\n"
            "device 11:22:33:44:55:03 computer 0 0 0 3 -\n");
    launch_joybond({});
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 4, 10000));
    Commands expected = setup_commands;
    // every other cycle begins with a look at the adapter
    for (const char* cycle : {"devices", "info 11:22:33:44:55:01", //
                              "show", "devices", "info 11:22:33:44:55:02", "info 11:22:33:44:55:01",
                              "devices", "info 11:22:33:44:55:03", "info 11:22:33:44:55:02",
                              "info 11:22:33:44:55:01", "show", "devices"})
        expected.push_back(cycle);
    EXPECT_EQ(first_commands(expected.size()), expected);
}

// A device the tool no longer lists is no longer asked about, nor shown in the table.
TEST_F(EndToEnd, DevicesNoLongerListedAreNoLongerAsked) {
    prepare("device 11:22:33:44:55:01 phone 0 0 0 1 Phone\n"
            "device 11:22:33:44:55:02 audio-headset 0 0 0 1 Headset\n"
            "gone 11:22:33:44:55:01 3\n");
    launch_joybond({"-f"});
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 5, 10000));
    Commands expected = setup_commands;
    for (const char* cycle : {"devices", "info 11:22:33:44:55:02", "info 11:22:33:44:55:01", "show",
                              "devices", "info 11:22:33:44:55:02", "info 11:22:33:44:55:01",
                              "devices", "info 11:22:33:44:55:02", //
                              "show", "devices", "info 11:22:33:44:55:02", "devices"})
        expected.push_back(cycle);
    EXPECT_EQ(first_commands(expected.size()), expected);
    sandbox_stop_run(); // its last table is complete
    std::string out = read_file(out_path);
    EXPECT_EQ(out.substr(std::min(out.size(), out.rfind("\nDevices:\n"))),
              "\nDevices:\n\t\"Headset\" 11:22:33:44:55:02     [auto_connect]\n");
}

TEST_F(EndToEnd, ToolEndingDuringTheSleepEndsTheService) {
    expect_end_at_next_command("close_after_reply 4\n"); // gone right after set-up
}

} // namespace
