// Registry order and identity.
#include "devices/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> addresses_in_order() {
    std::vector<std::string> out;
    for (Device* d = device_list; d != nullptr; d = d->next)
        out.push_back(d->address);
    return out;
}

class Registry : public testing::Test {
  protected:
    void SetUp() override { device_reset(); }
    void TearDown() override { device_reset(); }
};

TEST_F(Registry, NewestDeviceComesFirstAndKnownOnesAreReturnedUnchanged) {
    Device* a = device_find_or_add("11:22:33:44:55:01");
    device_find_or_add("11:22:33:44:55:02");
    device_find_or_add("11:22:33:44:55:03");
    a->trusted = 1;
    EXPECT_EQ(device_find_or_add("11:22:33:44:55:01"), a);
    EXPECT_EQ(a->trusted, 1);
    EXPECT_EQ(
        addresses_in_order(),
        (std::vector<std::string>{"11:22:33:44:55:03", "11:22:33:44:55:02", "11:22:33:44:55:01"}));
}

TEST_F(Registry, NewRecordsStartEmptyWithTheirOwnAddressCopy) {
    char address[] = "aa:bb:cc:dd:ee:ff";
    Device* d = device_find_or_add(address);
    address[0] = 'X';
    EXPECT_STREQ(d->address, "aa:bb:cc:dd:ee:ff");
    EXPECT_STREQ(d->name, "");
    EXPECT_EQ(d->is_gaming + d->paired + d->trusted + d->connected + d->need_connect, 0);
}

TEST_F(Registry, CaseMakesTwoDevices) {
    Device* upper = device_find_or_add("AA:BB:CC:DD:EE:FF");
    Device* lower = device_find_or_add("aa:bb:cc:dd:ee:ff");
    EXPECT_NE(upper, lower);
    EXPECT_EQ(addresses_in_order().size(), 2u);
}

TEST_F(Registry, LabelIsTheNameOrElseTheAddress) {
    Device* d = device_find_or_add("11:22:33:44:55:66");
    EXPECT_STREQ(device_label(d), "11:22:33:44:55:66");
    std::snprintf(d->name, sizeof d->name, "Pad One");
    EXPECT_STREQ(device_label(d), "Pad One");
}

} // namespace

namespace {

// Records not listed for forget_after listings are forgotten, unless joybond paired them;
// one that comes back is a new record, newest first.
TEST_F(Registry, ForgetsWhatHasLongGoneUnlisted) {
    Device* gone = device_find_or_add("11:22:33:44:55:01");
    gone->is_gaming = 1;
    Device* paired_by_us = device_find_or_add("11:22:33:44:55:02");
    paired_by_us->need_connect = 1;
    device_find_or_add("11:22:33:44:55:03");
    for (uint32_t listing = 1; listing < forget_after; ++listing) {
        device_start_listing();
        device_find_or_add("11:22:33:44:55:03");
        device_forget_unlisted();
    }
    EXPECT_EQ(addresses_in_order().size(), 3u) << "kept until forget_after listings have passed";
    EXPECT_FALSE(device_listed(gone));
    device_start_listing();
    device_find_or_add("11:22:33:44:55:03");
    device_forget_unlisted();
    EXPECT_EQ(addresses_in_order(),
              (std::vector<std::string>{"11:22:33:44:55:03", "11:22:33:44:55:02"}));
    Device* back = device_find_or_add("11:22:33:44:55:01");
    EXPECT_EQ(back->is_gaming, 0);
    EXPECT_TRUE(device_listed(back));
    EXPECT_EQ(addresses_in_order().front(), "11:22:33:44:55:01");
}

// Beyond the index's fill limit records are still found, created once and kept in order;
// forgetting half of them leaves every other one found as it was.
TEST_F(Registry, StaysExactWithThousandsOfDevices) {
    constexpr int count = 5000;
    char address[18];
    std::vector<Device*> made;
    for (int i = 0; i < count; ++i) {
        std::snprintf(address, sizeof address, "10:00:00:00:%02X:%02X", i / 256, i % 256);
        made.push_back(device_find_or_add(address));
    }
    for (int i = 0; i < count; ++i) {
        std::snprintf(address, sizeof address, "10:00:00:00:%02X:%02X", i / 256, i % 256);
        ASSERT_EQ(device_find_or_add(address), made[static_cast<size_t>(i)]) << address;
    }
    std::vector<std::string> order = addresses_in_order();
    ASSERT_EQ(order.size(), static_cast<size_t>(count));
    EXPECT_EQ(order.front(), made.back()->address);
    EXPECT_EQ(order.back(), made.front()->address);

    for (uint32_t listing = 0; listing < forget_after; ++listing) {
        device_start_listing();
        for (int i = 0; i < count; i += 2) {
            std::snprintf(address, sizeof address, "10:00:00:00:%02X:%02X", i / 256, i % 256);
            device_find_or_add(address);
        }
        device_forget_unlisted();
    }
    ASSERT_EQ(addresses_in_order().size(), static_cast<size_t>(count / 2));
    for (int i = 0; i < count; ++i) {
        std::snprintf(address, sizeof address, "10:00:00:00:%02X:%02X", i / 256, i % 256);
        if (i % 2 == 0)
            ASSERT_EQ(device_find_or_add(address), made[static_cast<size_t>(i)]) << address;
        else
            ASSERT_EQ(device_find_or_add(address), device_list) << "a new record, newest first";
    }
    EXPECT_EQ(addresses_in_order().size(), static_cast<size_t>(count));
}

} // namespace
