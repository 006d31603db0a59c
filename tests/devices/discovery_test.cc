// Parsing of "devices" reply lines, and one listing pass over real pipes.
#include "devices/discovery.h"
#include "devices/registry.h"
#include "fake_tool.h"
#include "link/channel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Discovery : public testing::Test {
  protected:
    void SetUp() override {
        device_reset();
        channel_reset();
    }
    void TearDown() override { device_reset(); }
    // Parses a heap copy of exactly the line's size, so a read past its end is caught.
    std::vector<std::string> registered_after(const std::string& line) {
        char* copy = static_cast<char*>(std::malloc(line.size() + 1));
        std::memcpy(copy, line.c_str(), line.size() + 1);
        parse_device_line(copy);
        std::free(copy);
        std::vector<std::string> out = registered();
        device_reset();
        return out;
    }
    static std::vector<std::string> registered() {
        std::vector<std::string> out;
        for (Device* d = device_list; d != nullptr; d = d->next)
            out.push_back(d->address);
        return out;
    }
};

using Addresses = std::vector<std::string>;

TEST_F(Discovery, AcceptsWellFormedAddressesOnly) {
    EXPECT_EQ(registered_after("Device E4:17:D8:3C:4D:5A Pad One"), Addresses{"E4:17:D8:3C:4D:5A"});
    EXPECT_EQ(registered_after("Device e4:17:d8:3c:4d:5a"), Addresses{"e4:17:d8:3c:4d:5a"});
    EXPECT_EQ(registered_after("Device E4:17:D8:3C:4D:5A7 x"), Addresses{"E4:17:D8:3C:4D:5A"});
    EXPECT_EQ(registered_after("Device E4:17:D8:3C:4D:5A\r"), Addresses{"E4:17:D8:3C:4D:5A"});
    for (const char* bad :
         {"Device E4:17:D8:3C:4D", "Device E4:17:D8:3C:4D:", "Device E4:17:D8:3C:4D:5",
          "Device E4-17-D8-3C-4D-5A", "Device E4:17:D8:3C:4G:5A", "Device E4:17:D8:3C:4D5A",
          "Device G4:17:D8:3C:4D:5A", "Device  E4:17:D8:3C:4D:5A", "device E4:17:D8:3C:4D:5A",
          "Device ", "Device", "", "Controller 00:1A:7D:DA:71:13 hci0 [default]"})
        EXPECT_EQ(registered_after(bad), Addresses{}) << bad;
}

TEST_F(Discovery, IgnoresLinesWithAnythingInFront) {
    for (const char* line : {"\x1b[0;94m[bluetooth]\x1b[0m@ Device E4:17:D8:3C:4D:5A Pad",
                             "[\x1b[0;92mNEW\x1b[0m] Device E4:17:D8:3C:4D:5A Pad",
                             " Device E4:17:D8:3C:4D:5A", "\tDevice E4:17:D8:3C:4D:5A"})
        EXPECT_EQ(registered_after(line), Addresses{}) << line;
}

TEST_F(Discovery, ListingPassRegistersEveryListedDevice) {
    std::string reply = "Device 11:22:33:44:55:01 Pad\nsomething else\n"
                        "Device 11:22:33:44:55:02 Headset\n";
    FakeTool tool([&reply](const std::string& command) {
        return command + "\n" + reply + "[bluetooth]# ";
    });
    refresh_devices(tool.command_fd(), tool.reply_fd());
    EXPECT_EQ(registered(), (Addresses{"11:22:33:44:55:02", "11:22:33:44:55:01"}));

    // An empty reply changes nothing.
    reply = "";
    refresh_devices(tool.command_fd(), tool.reply_fd());
    EXPECT_EQ(registered(), (Addresses{"11:22:33:44:55:02", "11:22:33:44:55:01"}));
    EXPECT_EQ(tool.finish(), (std::vector<std::string>{"devices", "devices"}));
}

} // namespace
