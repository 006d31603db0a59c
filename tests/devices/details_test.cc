// Reading "info" replies, whose device names may hold any text, and one details pass over
// real pipes.
#include "devices/details.h"
#include "devices/discovery.h"
#include "devices/registry.h"
#include "fake_tool.h"
#include "link/channel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string header = "Device 11:22:33:44:55:66 (public)";

class Details : public testing::Test {
  protected:
    void SetUp() override {
        device_reset();
        channel_reset();
        device = device_find_or_add("11:22:33:44:55:66");
    }
    void TearDown() override { device_reset(); }
    // Applies a reply made of these lines (the header first) to the record.
    void apply(const Lines& lines) {
        InfoReply reply;
        start_info_reply(&reply, device->address);
        for (const std::string& line : lines)
            take_info_line(&reply, line.c_str());
        apply_info_reply(&reply, device);
    }
    // The record as a word per state, for compact comparisons.
    std::string state() const {
        return std::string(device->name) + (device->is_gaming ? " game" : "") +
               (device->trusted ? " trusted" : "") + (device->paired ? " paired" : "") +
               (device->connected ? " connected" : "");
    }
    Device* device = nullptr;
};

TEST_F(Details, TakesTheFieldsOfItsOwnReply) {
    apply({header, "\tName: Pad One", "\tAlias: Pad One", "\tIcon: input-gaming", "\tPaired: no",
           "\tTrusted: yes", "\tConnected: yes", "\tManufacturerData Value:", "  01 02 03 04  ....",
           "\tRSSI: -60"});
    EXPECT_EQ(state(), "Pad One game trusted connected");
    // A later reply without some keys leaves those fields; the gaming mark stays for good.
    apply({header, "\tAlias: Pad One", "\tIcon: phone", "\tPaired: yes"});
    EXPECT_EQ(state(), "Pad One game trusted paired connected");
    apply({"Device 11:22:33:44:55:66 not available"});
    EXPECT_EQ(state(), "Pad One game trusted paired connected");
}

// An appearance without a class: known on LE alone, until a reply gives a class, or neither.
TEST_F(Details, AnAppearanceWithoutAClassIsADeviceOnLEAlone) {
    apply({header, "\tAppearance: 0x03c4", "\tIcon: input-gaming"});
    EXPECT_EQ(device->le_only, 1);
    apply({header, "\tClass: 0x00000508", "\tAppearance: 0x03c4"});
    EXPECT_EQ(device->le_only, 0);
    apply({header, "\tAppearance: 0x03c4", "\tAppearance: 0x03c4"}); // doubtful: kept
    EXPECT_EQ(device->le_only, 0);
}

TEST_F(Details, TakesNamesByteForByteCutTo127) {
    apply({header, "\tName: 100% Pro %s %n\r"});
    EXPECT_STREQ(device->name, "100% Pro %s %n\r"); // carriage return kept
    apply({header, "\tName: " + std::string(200, 'N')});
    EXPECT_EQ(std::string(device->name), std::string(127, 'N'));
    apply({header, "\tName: \t \v\f\r"});
    EXPECT_STREQ(device->name, "");
    EXPECT_STREQ(device_label(device), "11:22:33:44:55:66");
}

// Text inside a name never counts as a field, whatever it holds.
TEST_F(Details, NameTextIsNeverAField) {
    apply({header, "\tName: Keyboard Icon: input-gaming Paired: yes", "\tAlias: Keyboard",
           "\tIcon: input-keyboard"});
    EXPECT_EQ(state(), "Keyboard Icon: input-gaming Paired: yes");
    // A newline in the name makes lines of their own, printed twice (Name and Alias): the
    // reply changes nothing, whatever the lines look like.
    for (const Lines& injected :
         {Lines{"\tIcon: input-gaming"}, Lines{"\tTrusted: yes", "\tPaired: yes"},
          Lines{"Device 11:22:33:44:55:66 (public)", "\tIcon: input-gaming"},
          Lines{"\x1b[0;94m[bluetooth]\x1b[0m# ", "\tIcon: input-gaming"}}) {
        Lines reply = {header, "\tName: Kb"};
        reply.insert(reply.end(), injected.begin(), injected.end());
        reply.push_back("\tAlias: Kb");
        reply.insert(reply.end(), injected.begin(), injected.end());
        reply.insert(reply.end(), {"\tIcon: input-keyboard", "\tConnected: yes"});
        apply(reply);
        EXPECT_EQ(state(), "Keyboard Icon: input-gaming Paired: yes") << injected[0];
    }
}

// Lines that speak of another device, or of no device, never change the record.
TEST_F(Details, OnlyTheQueriedDevicesOwnReplyCounts) {
    // another device's reply, running late
    apply({"Device AA:BB:CC:DD:EE:FF (public)", "\tName: Pad", "\tIcon: input-gaming"});
    // a reply without its header
    apply({"\tIcon: input-gaming", "\tTrusted: yes"});
    EXPECT_EQ(state(), "");
    // events after the reply end it: their keys count for nothing, and a field after them
    // makes the reply doubtful
    apply(
        {header, "\tName: Phone", "\tIcon: phone",
         "\x1b[0;94m[bluetooth]\x1b[0m# \r\x1b[K[CHG] Device AA:BB:CC:DD:EE:FF Icon: input-gaming",
         "[CHG] Device AA:BB:CC:DD:EE:FF Connected: yes"});
    EXPECT_EQ(state(), "Phone");
    apply({header, "\tName: Other", "[CHG] Device AA:BB:CC:DD:EE:FF Name: x", "\tTrusted: yes"});
    EXPECT_EQ(state(), "Phone");
}

TEST_F(Details, BearerLinesOfNewerClientsDoNotCount) {
    apply({header, "\tPaired: yes", "\tConnected: yes", "\tBREDR.Paired: yes",
           "\tBREDR.Connected: yes", "\tLE.Paired: no", "\tLE.Connected: no", "\tLE.Name: x"});
    EXPECT_EQ(state(), " paired connected");
    apply({header, "\tLE.Paired: yes", "\tPaired: no"});
    EXPECT_EQ(state(), " connected");
}

// The daemon shows an RSSI once it finds the device: one that appears, or changes after a
// minute without a change, marks the record back; one that stays or keeps changing does not,
// nor one inside a doubtful reply.
TEST_F(Details, AnRssiThatAppearsOrChangesAgainMarksTheDeviceBack) {
    apply({header, "\tPaired: no"});
    EXPECT_EQ(device->back, 0);
    for (const char* rssi : {"\tRSSI: -61", "\tRSSI: 0xffffffc3 (-61)", "\tRSSI: -52"}) {
        apply({header, rssi});
        EXPECT_EQ(device->back, 1) << rssi;
        device->back = 0;
        apply({header, rssi});
        apply({header, "\tRSSI: -70"}); // still in reach
        EXPECT_EQ(device->back, 0) << rssi;
        device->rssi_changed -= found_again_after_ms;
    }
    apply({header, "\tRSSI: -40", "\tRSSI: -40"});
    EXPECT_EQ(device->back, 0);
}

// Over real pipes: each record of this cycle's listing is asked about, newest first, and only
// the lines after the echo of its own question count; leftovers of earlier commands are
// passed over. A record the listing did not name is not asked about.
TEST_F(Details, DetailsPassQueriesNewestFirstAndTakesOnlyItsOwnReplies) {
    device_find_or_add("99:99:99:99:99:99");
    device_start_listing();
    device_find_or_add("11:22:33:44:55:66");
    Device* newer = device_find_or_add("AA:BB:CC:DD:EE:FF");
    const std::string prompt = "[bluetooth]# ";
    FakeTool tool([&](const std::string& command) -> std::string {
        if (command == "info AA:BB:CC:DD:EE:FF")
            return prompt + "\r\x1b[K[CHG] Device 11:22:33:44:55:66 Connected: yes\n" + prompt +
                   command +
                   "\nDevice AA:BB:CC:DD:EE:FF (public)\n\tName: Pad\n"
                   "\tIcon: input-gaming\n\tPaired: no\n" +
                   prompt;
        // the answer to the first question again, late, before this one's echo
        return "Device AA:BB:CC:DD:EE:FF (public)\n\tName: Pad\n\tIcon: input-gaming\n" + prompt +
               command + "\nDevice 11:22:33:44:55:66 not available\n" + prompt;
    });
    refresh_info(tool.command_fd(), tool.reply_fd());
    EXPECT_EQ(tool.finish(), (Lines{"info AA:BB:CC:DD:EE:FF", "info 11:22:33:44:55:66"}));
    EXPECT_STREQ(newer->name, "Pad");
    EXPECT_EQ(newer->is_gaming, 1);
    EXPECT_EQ(newer->connected, 0);
    EXPECT_EQ(state(), "");
}

// Once a device whose name spans lines is the tool's default, its name is in every prompt:
// the prompt's lines after each reply neither count as fields nor make the reply doubtful.
TEST_F(Details, LinesOfThePromptNeitherCountNorVoidAReply) {
    device_start_listing();
    const std::string prompt = "\x1b[0;94m[Hs\n\tIcon: input-gaming\n\tPaired: yes]\x1b[0m# ";
    FakeTool tool([&](const std::string& command) -> std::string {
        if (command == "devices")
            return prompt + command +
                   "\nDevice 11:22:33:44:55:66 Pad\nDevice AA:BB:CC:DD:EE:FF Phone\n" + prompt;
        std::string address = command.substr(5);
        bool pad = address == "11:22:33:44:55:66";
        return prompt + command + "\nDevice " + address +
               " (public)\n\tName: " + (pad ? "Pad" : "Phone") +
               "\n\tIcon: " + (pad ? "input-gaming" : "phone") +
               "\n\tPaired: no\n\tTrusted: yes\n" + prompt;
    });
    refresh_devices(tool.command_fd(), tool.reply_fd());
    refresh_info(tool.command_fd(), tool.reply_fd());
    tool.finish();
    EXPECT_EQ(state(), "Pad game trusted");
    device = device_list; // the phone, listed last, is the newest
    EXPECT_EQ(state(), "Phone trusted");
}

} // namespace
