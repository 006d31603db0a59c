// The stories of the acceptance tests against the real bluetoothctl, told here against the
// simulated tool in the prompt style of each client release, answering as the real client
// does: the prompt right after the echo and the results of daemon commands afterwards, each
// redrawing the prompt.
#include "end_to_end.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

const std::string pad = "E4:17:D8:3C:4D:5A";
const std::string headset = "00:1B:66:AA:BB:02";

struct Style {
    std::string name;
    std::string script;            // what else this run's tool does
    std::vector<std::string> args; // how the new controller's story starts joybond
};

void PrintTo(const Style& style, std::ostream* out) {
    *out << "BlueZ " << style.name;
}

class Scenario : public EndToEnd, public testing::WithParamInterface<Style> {
  protected:
    static void start(const std::string& devices, const std::vector<std::string>& args = {"-f"}) {
        prepare("style " + GetParam().name + "\n" + GetParam().script + devices);
        launch_joybond(args);
    }
    // The daemon commands the tool received, in order.
    static Strings actions() {
        Strings out;
        for (const std::string& c : received_commands())
            if (c.rfind("trust ", 0) == 0 || c.rfind("pair ", 0) == 0 ||
                c.rfind("connect ", 0) == 0)
                out.push_back(c);
        return out;
    }
};

// A device posing as a controller whose input device can type is blocked right after joybond
// connected it, never counted as connected nor sent a step again; a controller that comes in
// the quiet time after waits, and the status says why.
TEST_P(Scenario, AControllerThatCanTypeIsCutOff) {
    const std::string kb = "11:22:33:44:55:01";
    start("device " + kb + " input-gaming 0 0 0 1 Kb\n"
          "keys " + kb + " e080ffdf01cfffff fffffffffffffffe\n"
          "device " + pad + " input-gaming 0 0 0 7 Pad One\n");
    std::string quiet = "Pairing paused: a device posing as a controller could type\n";
    Strings seen = watch_status_until(quiet, 15000);
    EXPECT_EQ(seen, (Strings{"Trusting Kb...\n", "Pairing Kb...\n", "Connecting Kb...\n",
                             "Bluetooth scanning...\n", quiet}));
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 10, 5000));
    EXPECT_EQ(read_file(status_path), quiet);
    Strings steps = actions();
    for (const std::string& c : received_commands())
        if (c.rfind("block ", 0) == 0)
            steps.push_back(c);
    EXPECT_EQ(steps, (Strings{"trust " + kb, "pair " + kb, "connect " + kb, "block " + kb}));
}

// Trusted, paired and connected in consecutive cycles, the status file telling each step; a
// connected headset beside it is asked about every cycle and never touched.
TEST_P(Scenario, NewControllerIsTrustedPairedAndConnected) {
    start("device " + pad +
              " input-gaming 0 0 0 2 Pad One\n"
              "device " +
              headset + " audio-headset 0 0 1 1 Headset\n",
          GetParam().args);
    EXPECT_EQ(watch_status_until("Connected Pad One...", 15000),
              (Strings{"Bluetooth scanning...\n", "Trusting Pad One...\n", "Pairing Pad One...\n",
                       "Connecting Pad One...\n", "Connected Pad One..."}));
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 6, 5000));
    Strings expected = setup_commands;
    for (const std::string& c :
         Strings{"devices",        "info " + headset, // scanning
                 "show",           "devices",         "info " + pad,     "info " + headset,
                 "trust " + pad,                                                        // trusting
                 "devices",        "info " + pad,     "info " + headset, "pair " + pad, // pairing
                 "show",           "devices",         "info " + pad,     "info " + headset,
                 "connect " + pad, // connecting
                 "devices",        "info " + pad,     "info " + headset, "show",
                 "devices"}) // connected
        expected.push_back(c);
    EXPECT_EQ(first_commands(expected.size()), expected);
}

// What the tool prints about other devices, or about earlier commands, never lands in a
// device's record: events about the controller come around every reply, and the results of
// trust, pair and connect run late, with their prompts, into the next command's wait.
TEST_P(Scenario, RepliesAreTakenOnlyFromTheirOwnDevice) {
    start("late 1\nchatter " + pad +
          "\n"
          "device " +
          pad +
          " input-gaming 0 0 0 1 Pad One\n"
          "device " +
          headset +
          " audio-headset 0 0 1 1 Headset\n"
          "device 5C:F3:70:11:22:01 phone 0 0 0 1 Alice's Phone\n");
    EXPECT_EQ(watch_status_until("Connected Pad One...", 15000),
              (Strings{"Trusting Pad One...\n", "Pairing Pad One...\n", "Connecting Pad One...\n",
                       "Connected Pad One..."}));
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 6, 5000));
    EXPECT_EQ(actions(), (Strings{"trust " + pad, "pair " + pad, "connect " + pad}));
    EXPECT_EQ(read_file(status_path), "Connected Pad One...");
}

TEST_P(Scenario, HeadsetAndPhoneAreNeverTouched) {
    start("device 00:1B:66:AA:BB:02 audio-headset 1 1 1 1 Headset\n"
          "device 5C:F3:70:11:22:01 phone 0 0 0 1 Alice's Phone\n");
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 4, 10000));
    EXPECT_EQ(read_file(status_path), "Bluetooth scanning...\n");
    EXPECT_EQ(actions(), Strings{});
}

TEST_P(Scenario, ControllerPairedBeforeStartIsLeftToConnectByItself) {
    start("device " + pad + " input-gaming 1 1 0 1 Pro Controller\n");
    ASSERT_TRUE(wait_for_count(sim_log_path, "cmd devices", 4, 10000));
    EXPECT_EQ(read_file(status_path), "Bluetooth scanning...\n");
    EXPECT_EQ(actions(), Strings{});
    EXPECT_TRUE(wait_for_text(
        out_path, "\t\"Pro Controller\" " + pad + " game trusted paired  [auto_connect]\n", 5000));
}

TEST_P(Scenario, ThreeConnectedControllers) {
    // Connecting one changes the prompt's device name: 5.66 redraws it with an erase code.
    start("device E4:17:D8:3C:4D:01 input-gaming 0 0 0 1 Pad One\n"
          "device E4:17:D8:3C:4D:02 input-gaming 0 0 0 1 Arcade Stick\n"
          "device E4:17:D8:3C:4D:03 input-gaming 0 0 0 1 Pro Controller\n");
    EXPECT_EQ(status_reaching("Connected 3 devices", 20000), "Connected 3 devices");
}

TEST_P(Scenario, FailedPairingIsRetried) {
    // sent again after the first pause
    start("device " + pad + " input-gaming 0 0 0 1 Pad One\nrefuse_pair 1\n");
    EXPECT_EQ(status_reaching("Connected Pad One...", 30000), "Connected Pad One...");
    EXPECT_EQ(actions(), (Strings{"trust " + pad, "pair " + pad, "pair " + pad, "connect " + pad}));
}

TEST_P(Scenario, DroppedConnectionIsMadeAgain) {
    start("device " + pad + " input-gaming 0 0 0 1 Pad One\ndrop " + pad + " 6\n");
    ASSERT_EQ(status_reaching("Connected Pad One...", 15000), "Connected Pad One...");
    ASSERT_EQ(status_reaching("Connecting Pad One...\n", 10000), "Connecting Pad One...\n");
    EXPECT_EQ(status_reaching("Connected Pad One...", 10000), "Connected Pad One...");
    EXPECT_EQ(actions(),
              (Strings{"trust " + pad, "pair " + pad, "connect " + pad, "connect " + pad}));
}

TEST_P(Scenario, WaitsUntilTheBluetoothDaemonAppears) {
    start("waiting_ms 2500\n");
    EXPECT_EQ(status_reaching("Bluetooth scanning...\n", 15000), "Bluetooth scanning...\n");
    EXPECT_TRUE(wait_for_text(out_path, "Waiting to connect to bluetoothd...\n", 5000));
}

TEST_P(Scenario, KilledToolEndsTheService) {
    prepare("style " + GetParam().name + "\n");
    pid_t service = launch_joybond({"-f"});
    ASSERT_TRUE(wait_for_text(sim_log_path, "cmd devices", 10000));
    kill(std::stoi(tool_start_value("pid")), SIGKILL);
    int status = 0;
    ASSERT_TRUE(wait_exit(service, 10000, &status));
    expect_end_with_tool(status);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Scenario,
    testing::Values(Style{"5.66", "", {}},              // the daemon mode
                    Style{"5.79", "chunk 5\n", {"-f"}}, // output in small pieces
                    // BlueZ 5.84 and later add per-bearer lines such as "LE.Paired: no"
                    Style{"5.87", "bearers 1\n", {"-f"}}),
    [](const auto& style) { return "bluez_" + std::to_string(style.index); });

} // namespace
