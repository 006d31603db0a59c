// The kernel's input devices, read from an input class of the test's own (the sandbox gives
// /sys/class/input a tmpfs): which controllers are usable.
#include "devices/inputs.h"
#include "devices/registry.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <string>
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

} // namespace
