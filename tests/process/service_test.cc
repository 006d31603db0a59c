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

// The tool registers its agent a moment after it reaches the daemon: a "default-agent" read
// before fails. The agent's two commands go again at the next look at the adapter, until the
// tool says that the default agent request was successful; then never again.
TEST_F(EndToEnd, AgentCommandsGoAgainUntilTheDefaultAgentIsSet) {
    prepare("agent_late 2\n");
    launch_joybond({});
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 7, 15000));
    Commands seven_cycles; // up to the seventh listing
    for (const std::string& command : received_commands()) {
        seven_cycles.push_back(command);
        if (std::count(seven_cycles.begin(), seven_cycles.end(), "devices") == 7)
            break;
    }
    auto count = [&](const char* command) {
        return std::count(seven_cycles.begin(), seven_cycles.end(), command);
    };
    EXPECT_EQ(count("agent NoInputNoOutput"), 3);
    EXPECT_EQ(count("default-agent"), 3);
    EXPECT_EQ(count("show"), 3) << "the looks at the adapter go on";
    for (size_t i = setup_commands.size(); i + 1 < seven_cycles.size(); ++i) {
        if (seven_cycles[i] == "default-agent") { // again, right before a look at the adapter
            EXPECT_EQ(seven_cycles[i + 1], "show");
        }
    }
}

TEST_F(EndToEnd, ToolEndingDuringTheSleepEndsTheService) {
    expect_end_at_next_command("close_after_reply 4\n"); // gone right after set-up
}

} // namespace
