// Parsing of "info" reply lines, and one details pass over real pipes.
#include "devices/details.h"
#include "devices/registry.h"
#include "fake_tool.h"
#include "link/channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Details : public testing::Test {
  protected:
    void SetUp() override {
        device_reset();
        channel_reset();
        device = device_find_or_add("11:22:33:44:55:66");
    }
    void TearDown() override { device_reset(); }
    void apply(const std::string& line) { parse_info_line(device, line.c_str()); }
    Device* device = nullptr;
};

TEST_F(Details, TakesTheNameAfterItsKey) {
    apply("\tName: Pad One");
    EXPECT_STREQ(device->name, "Pad One");
    apply("\tName: 100% Pro %s %n\r");
    EXPECT_STREQ(device->name, "100% Pro %s %n\r"); // bytes as they are, carriage return kept
    apply("\tName: \t \v\f\r");
    EXPECT_STREQ(device->name, "");
    EXPECT_STREQ(device_label(device), "11:22:33:44:55:66");
    apply("[CHG] Device 11:22:33:44:55:66 Name: Name: Twice");
    EXPECT_STREQ(device->name, "Name: Twice"); // the first "Name:" of the line counts
    apply("\tAlias: Other");
    EXPECT_STREQ(device->name, "Name: Twice");
}

TEST_F(Details, CutsLongNamesTo127Bytes) {
    std::string long_name(200, 'N');
    apply("\tName: " + long_name);
    EXPECT_EQ(std::string(device->name), long_name.substr(0, 127));
}

TEST_F(Details, GamingMarkIsNeverTakenBack) {
    apply("\tIcon: audio-headset");
    EXPECT_EQ(device->is_gaming, 0);
    apply("\tIcon: input-gaming");
    EXPECT_EQ(device->is_gaming, 1);
    apply("\tIcon: phone");
    EXPECT_EQ(device->is_gaming, 1);
}

TEST_F(Details, FollowsTheLatestStateAndTheNoFormWinsWithinALine) {
    apply("\tPaired: yes");
    apply("\tTrusted: yes");
    apply("\tConnected: yes");
    EXPECT_EQ(device->paired + device->trusted + device->connected, 3);
    apply("Paired: yes Paired: no Trusted: no Trusted: yes Connected: yes Connected: no");
    EXPECT_EQ(device->paired, 0);
    EXPECT_EQ(device->trusted, 0);
    EXPECT_EQ(device->connected, 0);
    apply("[CHG] Device 11:22:33:44:55:66 Paired: yes");
    EXPECT_EQ(device->paired, 1);
}

TEST_F(Details, BearerLinesOfNewerClientsDoNotCount) {
    for (const char* line :
         {"\tPaired: yes", "\tTrusted: yes", "\tConnected: yes", "\tBREDR.Paired: yes",
          "\tBREDR.Connected: yes", "\tLE.Paired: no", "\tLE.Connected: no",
          "[CHG] Device 11:22:33:44:55:66 LE.Connected: no", "\tLE.Name: Other"})
        apply(line);
    EXPECT_EQ(device->paired, 1);
    EXPECT_EQ(device->connected, 1);
    EXPECT_STREQ(device->name, "");
    apply("\tLE.Paired: yes Paired: no");
    EXPECT_EQ(device->paired, 0);
}

TEST_F(Details, DetailsPassQueriesNewestFirstAndAppliesEveryReplyLine) {
    Device* newer = device_find_or_add("AA:BB:CC:DD:EE:FF");
    // An event about another device arrives during the first reply: it counts for the
    // device being queried.
    FakeTool tool([](const std::string& command) -> std::string {
        if (command == "info AA:BB:CC:DD:EE:FF")
            return command +
                   "\nDevice AA:BB:CC:DD:EE:FF (public)\n\tName: Pad\n\tIcon: input-gaming\n"
                   "\tPaired: no\n[CHG] Device 11:22:33:44:55:66 Connected: yes\n[bluetooth]# ";
        return command + "\nDevice 11:22:33:44:55:66 not available\n[bluetooth]# ";
    });
    refresh_info(tool.command_fd(), tool.reply_fd());
    EXPECT_EQ(tool.finish(),
              (std::vector<std::string>{"info AA:BB:CC:DD:EE:FF", "info 11:22:33:44:55:66"}));
    EXPECT_STREQ(newer->name, "Pad");
    EXPECT_EQ(newer->is_gaming, 1);
    EXPECT_EQ(newer->connected, 1);
    EXPECT_EQ(device->connected, 0);
    EXPECT_STREQ(device->name, "");
}

} // namespace
