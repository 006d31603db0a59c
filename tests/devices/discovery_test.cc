// Parsing of "devices" reply lines, and one listing pass over real pipes.
#include "devices/discovery.h"
#include "devices/registry.h"
#include "link/channel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
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
        std::vector<std::string> out;
        for (Device* d = device_list; d != nullptr; d = d->next)
            out.push_back(d->address);
        device_reset();
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
    int commands[2];
    int replies[2];
    ASSERT_EQ(pipe(commands), 0);
    ASSERT_EQ(pipe(replies), 0);
    std::string reply = "devices\nDevice 11:22:33:44:55:01 Pad\nsomething else\n"
                        "Device 11:22:33:44:55:02 Headset\n[bluetooth]# ";
    ASSERT_EQ(write(replies[1], reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    refresh_devices(commands[1], replies[0]);
    char sent[32] = {};
    EXPECT_EQ(read(commands[0], sent, sizeof sent - 1), 8);
    EXPECT_STREQ(sent, "devices\n");
    ASSERT_NE(device_list, nullptr);
    EXPECT_STREQ(device_list->address, "11:22:33:44:55:02");
    ASSERT_NE(device_list->next, nullptr);
    EXPECT_STREQ(device_list->next->address, "11:22:33:44:55:01");
    EXPECT_EQ(device_list->next->next, nullptr);

    // An empty reply changes nothing.
    reply = "devices\n[bluetooth]# ";
    ASSERT_EQ(write(replies[1], reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    refresh_devices(commands[1], replies[0]);
    EXPECT_STREQ(device_list->address, "11:22:33:44:55:02");
    for (int fd : {commands[0], commands[1], replies[0], replies[1]})
        close(fd);
}

} // namespace
