// The kernel's input devices, read from an input class of the test's own (the sandbox gives
// /sys/class/input a tmpfs): which controllers are usable.
#include "devices/inputs.h"
#include "devices/registry.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <fstream>
#include <linux/netlink.h>
#include <sstream>
#include <string>
#include <vector>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Inputs : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string why = sandbox_prepare(""); !why.empty())
            GTEST_SKIP() << "the input class needs a private mount namespace: " << why;
        device_reset();
        device_start_listing();
    }
    void TearDown() override { device_reset(); }
    // An input device of the kernel's (or an entry beside them) with this uniq file.
    static void add_input(const std::string& entry, const std::string& uniq) {
        std::string folder = std::string(input_class_path) + "/" + entry;
        mkdir(folder.c_str(), 0755);
        write_file((folder + "/uniq").c_str(), uniq);
    }
    static Device* controller(const char* address, bool connected) {
        Device* device = device_find_or_add(address);
        device->is_gaming = 1;
        device->connected = connected;
        return device;
    }
};

TEST_F(Inputs, AControllerIsUsableOnceAnInputDeviceCarriesItsAddress) {
    Device* pad = controller("E4:17:D8:3C:4D:5A", true);
    Device* arcade = controller("40:1B:5F:AB:CD:05", true);
    Device* off = controller("98:B6:E9:51:62:04", false);
    add_input("input7", "e4:17:d8:3c:4d:5a\n"); // as the kernel writes it: lower case
    add_input("input2", "");                     // a built-in keyboard
    add_input("input3", "40:1b:5f:ab:cd:05x\n"); // not an address
    add_input("event7", "40:1b:5f:ab:cd:05\n");  // not an input device
    add_input("input9", "98:b6:e9:51:62:04\n");
    refresh_inputs();
    EXPECT_EQ(pad->input, 1);
    EXPECT_EQ(arcade->input, 0);
    EXPECT_EQ(off->input, 1); // marked; the policy counts it only once it is connected
    std::string uniq = std::string(input_class_path) + "/input7/uniq";
    unlink(uniq.c_str());
    rmdir((std::string(input_class_path) + "/input7").c_str());
    refresh_inputs();
    EXPECT_EQ(pad->input, 0); // gone with its HID channels
}

TEST_F(Inputs, SysfsIsNotReadWhileNoControllerSaysItIsConnected) {
    Device* pad = controller("E4:17:D8:3C:4D:5A", false);
    pad->input = 1;
    Device* headset = device_find_or_add("00:1B:66:AA:BB:02");
    headset->connected = 1; // no game controller: no reason to look
    add_input("input7", "e4:17:d8:3c:4d:5a\n");
    add_input("input8", "00:1b:66:aa:bb:02\n");
    refresh_inputs();
    EXPECT_EQ(pad->input, 0);
    EXPECT_EQ(headset->input, 0);
}

// What a device's keys let it type, read from capabilities/key lines as the kernel prints
// them for this process (a long a word: 64 bits on amd64 and arm64, 32 on armhf).
TEST(Keys, TellsWhatAnInputDeviceCanType) {
    struct Case {
        const char* bitmap;
        uint32_t types;
    };
    const Case wide[] = {
        {"ffff000000000000 0 0 0 0\n", 0},                                // a gamepad's buttons
        {"e080ffdf01cfffff fffffffffffffffe\n", types_letters | types_digits}, // a keyboard
        {"7bb80 0\n", types_digits},                                      // a keypad's digits
        {"40000000\n", types_letters},                                    // KEY_A alone
        {"ffc\n", types_digits},                                          // the top row's digits
        {"168000000000 10000000\n", 0}, // enter and the arrows: no text
        {"0\n", 0},
        {"", 0},
        {"garbage 40000000\n", types_letters}, // what is read up to the first non-word
        {"40000000x\n", 0},
    };
    const Case narrow[] = {
        {"ffff0000 0 0 0 0 0 0 0 0 0\n", 0},
        {"e080ffdf 1cfffff ffffffff fffffffe\n", types_letters | types_digits},
        {"7bb80 0 0\n", types_digits},
        {"40000000\n", types_letters},
    };
    if (sizeof(long) == 8) {
        for (const Case& c : wide)
            EXPECT_EQ(typing_keys(c.bitmap), c.types) << c.bitmap;
    } else {
        for (const Case& c : narrow)
            EXPECT_EQ(typing_keys(c.bitmap), c.types) << c.bitmap;
    }
    EXPECT_STREQ(typing_words(types_letters | types_digits), "letters and digits");
    EXPECT_STREQ(typing_words(types_digits), "digits");
    EXPECT_STREQ(typing_words(0), "");
}

// A capabilities/key line printed by a 64-bit kernel for a 64-bit process, as the same kernel
// prints it for this process: a 32-bit process gets words of 32 bits, leading zero words left
// out.
std::string as_printed_for_this_process(const std::string& line) {
    if (sizeof(long) == 8)
        return line;
    std::istringstream words(line);
    std::string word, printed;
    while (words >> word) {
        uint64_t bits = std::stoull(word, nullptr, 16);
        for (uint32_t half : {static_cast<uint32_t>(bits >> 32), static_cast<uint32_t>(bits)}) {
            if (printed.empty() && half == 0)
                continue;
            char hex[16];
            std::snprintf(hex, sizeof hex, "%s%" PRIx32, printed.empty() ? "" : " ", half);
            printed += hex;
        }
    }
    return (printed.empty() ? "0" : printed) + "\n";
}

// The keys of input devices the real kernel made for the VM world's devices: a keyboard types
// letters and digits; a pad's buttons, a touch pad, motion sensors and a console pad's
// consumer keys type nothing.
TEST(Keys, ReadsWhatTheRealKernelPrintedForKeyboardsAndControllers) {
    std::ifstream captured(JOYBOND_CAPTURED_CAPABILITIES);
    ASSERT_TRUE(captured) << JOYBOND_CAPTURED_CAPABILITIES;
    std::string line, descriptor;
    int keyboards = 0, others = 0;
    while (std::getline(captured, line)) {
        if (line.rfind("descriptor: ", 0) == 0)
            descriptor = line.substr(12, line.find(' ', 12) - 12);
        if (line.rfind("capabilities/key: ", 0) != 0)
            continue;
        std::string bitmap = as_printed_for_this_process(line.substr(18));
        bool keyboard = descriptor == "KEYBOARD_DESCRIPTOR";
        EXPECT_EQ(typing_keys(bitmap.c_str()), keyboard ? types_letters | types_digits : 0u)
            << descriptor << ": " << bitmap;
        ++(keyboard ? keyboards : others);
    }
    EXPECT_GE(keyboards, 1);
    EXPECT_GE(others, 4);
}

TEST_F(Inputs, ReadsWhatEachInputDeviceOfAControllerCanType) {
    Device* pad = controller("E4:17:D8:3C:4D:5A", true);
    Device* kb = controller("11:22:33:44:55:01", true);
    add_input("input7", "e4:17:d8:3c:4d:5a\n");
    mkdir((std::string(input_class_path) + "/input7/capabilities").c_str(), 0755);
    write_file((std::string(input_class_path) + "/input7/capabilities/key").c_str(),
               "ffff000000000000 0 0 0 0\n");
    // a second input device of the same controller (a touchpad, motion sensors), and one of
    // another that can type
    add_input("input8", "e4:17:d8:3c:4d:5a\n");
    add_input("input9", "11:22:33:44:55:01\n");
    mkdir((std::string(input_class_path) + "/input9/capabilities").c_str(), 0755);
    write_file((std::string(input_class_path) + "/input9/capabilities/key").c_str(),
               sizeof(long) == 8 ? "e080ffdf01cfffff fffffffffffffffe\n"
                                 : "e080ffdf 1cfffff ffffffff fffffffe\n");
    refresh_inputs();
    EXPECT_EQ(pad->typing, 0u);
    EXPECT_EQ(kb->typing, types_letters | types_digits);
    EXPECT_EQ(kb->input, 1);
}

// Where the kernel's announcements cannot be heard, none is waited for, whatever errno holds
// from before; where sysfs cannot be read, nothing of input devices can be seen, and the
// service knows it, until it can read it again.
TEST_F(Inputs, KnowsWhatItCannotSee) {
    Device* pad = controller("E4:17:D8:3C:4D:5A", true);
    add_input("input7", "e4:17:d8:3c:4d:5a\n");
    inputs_reset();
    errno = ENOBUFS; // as a failed call left it: taken for lost announcements, it looped for ever
    take_input_events();
    EXPECT_EQ(inputs_sight() & sees_announcements, 0u);
    ASSERT_EQ(mount("none", "/sys/class", "tmpfs", 0, nullptr), 0); // no input class at all
    inputs_start();
    EXPECT_EQ(inputs_sight() & sees_sysfs, 0u);
    refresh_inputs();
    EXPECT_EQ(pad->input, 0);
    ASSERT_EQ(umount("/sys/class"), 0);
    refresh_inputs();
    EXPECT_EQ(inputs_sight() & sees_sysfs, sees_sysfs);
    EXPECT_EQ(pad->input, 1);
    inputs_reset();
}

// An input device that comes marks its record with the keys it announces; one that goes
// marks nothing (the next look at sysfs clears what went); one for an address no record has
// is told, so that the device is listed at once.
TEST_F(Inputs, TakesInputDevicesAsTheKernelAnnouncesThem) {
    Device* pad = controller("E4:17:D8:3C:4D:5A", true);
    auto announce = [](const std::string& action, const std::string& uniq) {
        std::string fields = action + "@/devices/virtual/misc/uhid/input9" + '\0' + "ACTION=" + action + '\0' +
                             "DEVPATH=/devices/virtual/misc/uhid/input9" + '\0' + "SUBSYSTEM=input" + '\0' +
                             "UNIQ=\"" + uniq + "\"" + '\0' + "KEY=e080ffdf01cfffff fffffffffffffffe";
        return take_uevent(fields.data(), fields.size() + 1);
    };
    EXPECT_FALSE(announce("remove", "e4:17:d8:3c:4d:5a"));
    EXPECT_EQ(pad->input, 0);
    EXPECT_EQ(pad->typing, 0u);
    EXPECT_FALSE(announce("add", "e4:17:d8:3c:4d:5a"));
    EXPECT_EQ(pad->input, 1);
    EXPECT_EQ(pad->typing, types_letters | types_digits);
    EXPECT_TRUE(announce("add", "00:aa:01:01:00:01")); // its identity address, not listed yet
    EXPECT_FALSE(announce("add", "")); // the machine's own keyboard
}

// Only the kernel announces input devices: the same words from a process are passed over.
TEST_F(Inputs, AnnouncementsFromAnyoneButTheKernelArePassedOver) {
    Device* pad = controller("E4:17:D8:3C:4D:5A", true);
    inputs_start();
    if (inputs_fd() < 0)
        GTEST_SKIP() << "no uevent socket here";
    sockaddr_nl ours{};
    socklen_t length = sizeof ours;
    ASSERT_EQ(getsockname(inputs_fd(), reinterpret_cast<sockaddr*>(&ours), &length), 0);
    int forger = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_GE(forger, 0);
    const char forged[] = "add@/devices/virtual/input/input99\0ACTION=add\0"
                          "DEVPATH=/devices/virtual/input/input99\0SUBSYSTEM=input\0"
                          "UNIQ=\"e4:17:d8:3c:4d:5a\"\0KEY=e080ffdf01cfffff fffffffffffffffe";
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = ours.nl_pid;
    ssize_t sent = sendto(forger, forged, sizeof forged, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(forger);
    if (sent < 0)
        GTEST_SKIP() << "a process may not send uevents here";
    take_input_events();
    EXPECT_EQ(pad->input, 0);
    EXPECT_EQ(pad->typing, 0u);
    inputs_reset();
}

} // namespace
