// The connection policy, the status text and file, and the console report. The status file
// has a fixed path in /tmp, so these run in the sandbox's private /tmp.
#include "devices/inputs.h"
#include "devices/registry.h"
#include "fake_tool.h"
#include "link/channel.h"
#include "policy/guard.h"
#include "policy/policy.h"
#include "policy/report.h"
#include "policy/stale.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct State {
    const char* address;
    const char* name;
    int is_gaming, trusted, paired, connected, need_connect;
};

class Policy : public testing::Test {
  protected:
    void SetUp() override {
        if (std::string why = sandbox_fresh_tmp(); !why.empty())
            GTEST_SKIP() << "the status file needs a private /tmp: " << why;
        umask(022); // as the status file reads it once, whatever the invoking shell's
        device_reset();
    }
    void TearDown() override { device_reset(); }
    // Registers devices, the first given being the oldest.
    void add(const std::vector<State>& states) {
        for (const State& s : states) {
            Device* d = device_find_or_add(s.address);
            std::snprintf(d->name, sizeof d->name, "%s", s.name);
            d->is_gaming = s.is_gaming;
            d->trusted = s.trusted;
            d->paired = s.paired;
            d->connected = s.connected;
            d->input = s.connected; // connected: usable, its input device there
            d->need_connect = s.need_connect;
        }
    }
    // One pass of the policy's (or the guard's), with a tool that answers every command with
    // a line and a prompt; returns the commands sent.
    static std::vector<std::string> run_with_tool(void (*pass)(int command_fd, int reply_fd)) {
        channel_reset();
        FakeTool tool([](const std::string& command) {
            return command + "\nChanging succeeded\n[bluetooth]# ";
        });
        pass(tool.command_fd(), tool.reply_fd());
        return tool.finish();
    }
    static std::vector<std::string> run_pass() { return run_with_tool(manage_devices); }
    static std::vector<std::string> run_guard() { return run_with_tool(guard_controllers); }
    // The status text of the registry as it stands.
    static std::string composed() {
        char text[status_text_size];
        compose_status(device_list, text);
        return text;
    }
    std::string status() { return read_file(status_path); }
};

using Sent = std::vector<std::string>;

TEST_F(Policy, ScanningWhenThereIsNothingToReport) {
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Bluetooth scanning...\n");
}

TEST_F(Policy, NonGamingDevicesAreNeverTouchedNorMentioned) {
    add({{"11:22:33:44:55:01", "Headset", 0, 1, 1, 1, 0},
         {"11:22:33:44:55:02", "Phone", 0, 0, 0, 0, 0}});
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Bluetooth scanning...\n");
}

TEST_F(Policy, ComposesTheStatusFromActionsAndConnectedDevices) {
    struct Row {
        std::vector<State> devices;
        Sent sent;
        std::string status;
    };
    const Row rows[] = {
        // one connected, nothing to do: its fragment alone, no newline
        {{{"11:22:33:44:55:01", "Pad One", 1, 1, 1, 1, 1}}, {}, "Connected Pad One..."},
        // several connected, nothing to do
        {{{"11:22:33:44:55:01", "A", 1, 1, 1, 1, 1},
          {"11:22:33:44:55:02", "B", 1, 1, 1, 1, 0},
          {"11:22:33:44:55:03", "C", 1, 1, 1, 1, 1}},
         {},
         "Connected 3 devices"},
        // an untrusted one without a name: its address stands in
        {{{"11:22:33:44:55:01", "", 1, 0, 0, 0, 0}},
         {"trust 11:22:33:44:55:01"},
         "Trusting 11:22:33:44:55:01...\n"},
        // an action and one connected
        {{{"11:22:33:44:55:01", "Old", 1, 1, 1, 1, 1}, {"11:22:33:44:55:02", "New", 1, 0, 0, 0, 0}},
         {"trust 11:22:33:44:55:02"},
         "Trusting New...\nConnected Old..."},
        // actions and two connected, newest device first
        {{{"11:22:33:44:55:01", "A", 1, 1, 1, 1, 1},
          {"11:22:33:44:55:02", "B", 1, 1, 0, 0, 0},
          {"11:22:33:44:55:03", "C", 1, 1, 1, 1, 0},
          {"11:22:33:44:55:04", "D", 1, 1, 1, 0, 1}},
         {"connect 11:22:33:44:55:04", "pair 11:22:33:44:55:02"},
         "Connecting D...\nPairing B...\nConnected 2 devices"},
    };
    for (const Row& row : rows) {
        device_reset();
        add(row.devices);
        EXPECT_EQ(composed(), row.status);
        EXPECT_EQ(run_pass(), row.sent) << row.status;
        EXPECT_EQ(status(), row.status); // what the pass composed reached the file
    }
}

TEST_F(Policy, OneStepPerDeviceAndCycle) {
    add({{"11:22:33:44:55:01", "Pad", 1, 0, 0, 1, 0}});
    Device* pad = device_list;
    // connected but not trusted: "trust" only, and not counted as connected
    EXPECT_EQ(run_pass(), Sent{"trust 11:22:33:44:55:01"});
    EXPECT_EQ(status(), "Trusting Pad...\n");
    EXPECT_EQ(pad->need_connect, 0);

    pad->trusted = 1;
    pad->connected = 0;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    EXPECT_EQ(status(), "Pairing Pad...\n");
    EXPECT_EQ(pad->need_connect, 1);
}

// Time passing for the device's schedule, which keeps absolute times.
void age(Device* device, int64_t ms) {
    for (int64_t* time : {&device->step_sent, &device->step_due, &device->pairing_since})
        if (*time != 0)
            *time -= ms;
}

// A step that does not take effect goes again after pauses of 10 s doubling up to 2 minutes,
// keeping its status line meanwhile; progress makes the next step due at once, a sign that the
// device is back within the first pause; after 5 minutes unpaired joybond gives back the
// trust it gave, names it no more, and takes the road again once it is back.
TEST_F(Policy, SpacesStepsThatDoNotTakeEffectAndGivesUpPairing) {
    add({{"11:22:33:44:55:01", "Pad", 1, 0, 0, 0, 0}});
    Device* pad = device_list;
    EXPECT_EQ(run_pass(), Sent{"trust 11:22:33:44:55:01"});
    pad->trusted = 1;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    for (int64_t pause : {10000, 20000, 40000, 80000, 120000}) { // 160 s is cut to 2 min
        age(pad, pause - 200); // a margin for the real time each pass takes
        EXPECT_EQ(run_pass(), Sent{}) << pause;
        EXPECT_EQ(status(), "Pairing Pad...\n");
        age(pad, 200);
        EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"}) << pause;
    }
    // found again: due 10 s after the last one, with the pauses restarted
    for (uint32_t i = 0; i <= back_after; ++i)
        device_start_listing();
    device_find_or_add("11:22:33:44:55:01");
    age(pad, 9000);
    EXPECT_EQ(run_pass(), Sent{});
    age(pad, 1000);
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    age(pad, 10000);
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});

    age(pad, give_up_after_ms);
    EXPECT_EQ(run_pass(), Sent{"untrust 11:22:33:44:55:01"});
    pad->trusted = 0;
    EXPECT_EQ(pad->need_connect, 0);
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Bluetooth scanning...\n");
    pad->back = 1;
    EXPECT_EQ(run_pass(), Sent{"trust 11:22:33:44:55:01"});
    pad->trusted = 1;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    pad->paired = 1; // progress: the next step at once
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\n");

    // a controller paired before joybond started is never untrusted
    add({{"11:22:33:44:55:02", "Other", 1, 1, 0, 0, 0}});
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:02"});
    age(device_list, give_up_after_ms);
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\n");
}

// The link pairing leaves up says "Connected: yes" with no HID channel: the controller is sent
// "connect" at once, and counted connected only once its input device exists; a link that
// comes up by itself later gets a moment for the pad's own channels first. One paired
// elsewhere is counted once usable, and never sent "connect".
TEST_F(Policy, ConnectsRightAfterPairingAndCountsOnlyUsableControllers) {
    add({{"11:22:33:44:55:01", "Pad", 1, 1, 0, 0, 0}});
    Device* pad = device_list;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    pad->paired = pad->connected = 1; // the bare link
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});
    EXPECT_EQ(status(), "Connecting Pad...\n");
    EXPECT_EQ(run_pass(), Sent{}); // its HID channels are on their way: no second connect
    EXPECT_EQ(status(), "Connecting Pad...\n");
    pad->input = 1;
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connected Pad...");
    pad->input = 0; // the channels went, the link stays: connected again after the pause
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\n");
    age(pad, first_pause_ms);
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});
    pad->connected = 0; // switched off: tried at once
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});
    pad->connected = 1; // switched on, it pages the host: its own HID channels get time
    EXPECT_EQ(run_pass(), Sent{});
    age(pad, link_settle_ms);
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});

    add({{"11:22:33:44:55:02", "Elsewhere", 1, 1, 1, 1, 0}});
    Device* elsewhere = device_list;
    elsewhere->input = 0;
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\n");
    elsewhere->input = 1;
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\nConnected Elsewhere...");
}

// What the tool says after "connect" in the stale pairing tests: its link's event, its failure.
std::string after_connect;

// A paired controller that answers "connect" but fails it (its link came and went) has its
// pairing removed, once in remove_again_after_ms; one off (no link), one joybond paired in
// this run and never used, or the failure of a connect among several, removes nothing. A
// paired controller found by discovery gets one "connect", whoever paired it.
TEST_F(Policy, RemovesAStalePairingOnTheDevicesOwnEvidenceOnly) {
    auto run_stale = [&](const std::string& said) {
        after_connect = said;
        channel_reset();
        FakeTool tool([](const std::string& command) {
            return command +
                   (command.rfind("connect", 0) == 0 ? "\n[bluetooth]# " + after_connect : "") +
                   "\n[bluetooth]# ";
        });
        tool.put("[bluetooth]# "); // the prompt its own lines begin with
        wait_prompt(tool.reply_fd());
        manage_devices(tool.command_fd(), tool.reply_fd());
        mend_stale_pairings(tool.command_fd(), tool.reply_fd());
        return tool.finish();
    };
    const std::string link = "\r\x1b[K[CHG] Device 11:22:33:44:55:01 Connected: no\n[bluetooth]# ";
    const std::string failed =
        "\r\x1b[KFailed to connect: org.bluez.Error.Failed br-connection-create-socket";
    add({{"11:22:33:44:55:01", "Pad", 1, 1, 1, 0, 1}});
    Device* pad = device_list;
    EXPECT_EQ(run_stale(failed), Sent{"connect 11:22:33:44:55:01"}); // off: no link
    age(pad, first_pause_ms);
    // its own link came up, and the connect crossed it
    EXPECT_EQ(run_stale("\r\x1b[K[CHG] Device 11:22:33:44:55:01 Connected: yes\n[bluetooth]# "
                        "\r\x1b[KFailed to connect: org.bluez.Error.InProgress br-connection-busy"),
              Sent{"connect 11:22:33:44:55:01"});
    age(pad, 2 * first_pause_ms);
    EXPECT_EQ(run_stale(link + failed), (Sent{"connect 11:22:33:44:55:01",
                                              "remove 11:22:33:44:55:01", "scan off", "scan on"}));
    EXPECT_FALSE(pad->paired || pad->trusted);
    EXPECT_EQ(run_pass(), Sent{}); // the daemon has it no more
    device_start_listing();
    device_find_or_add(pad->address); // found anew: the road again, at once
    EXPECT_EQ(run_pass(), Sent{"trust 11:22:33:44:55:01"});
    pad->trusted = 1;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    pad->paired = 1; // someone else at its address, say
    EXPECT_EQ(run_stale(link + failed), Sent{"connect 11:22:33:44:55:01"}); // new keys: kept
    pad->connected = pad->input = 1;
    EXPECT_EQ(run_pass(), Sent{});
    pad->connected = pad->input = 0;
    EXPECT_EQ(run_stale(link + failed), Sent{"connect 11:22:33:44:55:01"}); // removed lately
    pad->removed_at -= remove_again_after_ms;
    age(pad, longest_pause_ms);
    // newer daemons name the missing key
    EXPECT_EQ(
        run_stale("\r\x1b[KFailed to connect: org.bluez.Error.Failed br-connection-key-missing")
            .size(),
        4u);

    add({{"11:22:33:44:55:02", "Elsewhere", 1, 1, 1, 0, 0},
         {"11:22:33:44:55:03", "Other", 1, 1, 1, 0, 0}});
    for (Device* d = device_list; d != pad; d = d->next)
        d->found = 1; // in pairing mode, both answer one connect, and neither failure counts
    EXPECT_EQ(run_stale(link + failed),
              (Sent{"connect 11:22:33:44:55:03", "connect 11:22:33:44:55:02"}));
    EXPECT_EQ(run_pass(), Sent{});
}

// On LE the host brings the link up itself: one that stays up le_keys_wait_ms without the
// controller's input device (encryption on the old key failed) has its pairing removed, not
// sooner, and not for a controller joybond has just paired.
TEST_F(Policy, RemovesTheStalePairingOfAnLEControllerWhoseLinkCameUpInVain) {
    auto run_mend = [](const std::string& said) {
        channel_reset();
        FakeTool tool([](const std::string& command) { return command + "\n[bluetooth]# "; });
        tool.put("[bluetooth]# "); // the prompt its own lines begin with
        wait_prompt(tool.reply_fd());
        tool.put(said + "\n[bluetooth]# ");
        wait_prompt(tool.reply_fd());
        mend_stale_pairings(tool.command_fd(), tool.reply_fd());
        return tool.finish();
    };
    add({{"11:22:33:44:55:01", "Pad", 1, 1, 1, 1, 1}});
    Device* pad = device_list;
    pad->le_only = 1;
    pad->input = 0;
    EXPECT_EQ(run_mend("\r\x1b[K[CHG] Device 11:22:33:44:55:01 Connected: yes"), Sent{});
    ASSERT_NE(pad->link_up_at, 0);
    pad->link_up_at -= le_keys_wait_ms;
    pad->unproven = 1;
    EXPECT_EQ(run_mend(""), Sent{});
    pad->unproven = 0;
    EXPECT_EQ(run_mend(""), (Sent{"remove 11:22:33:44:55:01", "scan off", "scan on"}));
}

// A pairing brings its link up before it says "Paired: yes" (on LE, seconds before): the link
// is no progress of a pairing, and "pair" does not go again into the one under way; nor does
// the link that a failed pairing leaves go make it due at once.
TEST_F(Policy, ALinkThatComesUpWhilePairingSendsNoSecondPair) {
    add({{"11:22:33:44:55:01", "Pad", 1, 1, 0, 0, 0}});
    Device* pad = device_list;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    pad->connected = 1; // the pairing's link
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Pairing Pad...\n");
    pad->connected = 0; // it failed, and its link went
    EXPECT_EQ(run_pass(), Sent{});
    age(pad, first_pause_ms);
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    pad->connected = 1;
    EXPECT_EQ(run_pass(), Sent{});
    pad->paired = 1; // done: connect at once
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});

    // An LE pad listed anew under its identity address while its pairing goes on: trusted, its
    // link up, not paired yet. No pair crosses that pairing; once the link is gone, it is paired.
    add({{"11:22:33:44:55:02", "Moved", 1, 1, 0, 1, 0}});
    Device* moved = device_list;
    moved->input = 0;
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\n"); // nothing of the moved one
    moved->connected = 0;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:02"});
}

// A game controller whose input device can type is blocked at once, whoever paired it, and
// never sent a step again; "block" goes again until the daemon says it is blocked, and only
// then is it named in the journal. New controllers wait out the quiet time, and the status says
// why, while controllers joybond paired are still connected. The user's keyboard, which has a
// keyboard's class, is left alone; a device the daemon refuses ("Blocked: yes") gets no step.
TEST_F(Policy, CutsOffAControllerThatCanTypeAndPausesPairing) {
    guard_reset();
    add({{"11:22:33:44:55:01", "Kb", 1, 1, 1, 0, 1},
         {"11:22:33:44:55:02", "User's Kb", 0, 1, 1, 1, 0},
         {"11:22:33:44:55:03", "Old Pad", 1, 1, 1, 0, 1},
         {"11:22:33:44:55:06", "Paired Before", 1, 1, 1, 1, 0}});
    Device* user_kb = device_find("11:22:33:44:55:02");
    Device* impostor = device_find("11:22:33:44:55:01");
    Device* earlier = device_find("11:22:33:44:55:06");
    EXPECT_EQ(run_pass(), (Sent{"connect 11:22:33:44:55:03", "connect 11:22:33:44:55:01"}));
    user_kb->typing = earlier->typing = types_letters | types_digits;
    impostor->connected = impostor->input = 1;
    impostor->typing = types_digits;
    EXPECT_EQ(run_guard(), (Sent{"block 11:22:33:44:55:06", "block 11:22:33:44:55:01"}));
    EXPECT_EQ(run_guard(), Sent{}) << "not again at once";
    impostor->block_sent -= block_again_ms; // the daemon has not taken it yet: again
    earlier->blocked = 1;
    earlier->typing = 0; // its keyboard went with its link
    EXPECT_EQ(run_guard(), Sent{"block 11:22:33:44:55:01"});
    EXPECT_EQ(earlier->cut_off, 1);
    EXPECT_EQ(impostor->cut_off, 0) << "named only once the daemon refuses it";
    EXPECT_TRUE(guard_quiet());
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Old Pad...\n"); // never the impostors

    add({{"11:22:33:44:55:04", "New Pad", 1, 0, 0, 0, 0}});
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), std::string(quiet_status_line) + "Connecting Old Pad...\n");
    device_find("11:22:33:44:55:03")->step_due = 0; // due again: joybond's own still connect
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:03"});

    guard_reset(); // the quiet time is over
    EXPECT_EQ(run_pass(), Sent{"trust 11:22:33:44:55:04"});
    add({{"11:22:33:44:55:05", "Refused", 1, 0, 0, 0, 0}});
    device_find("11:22:33:44:55:05")->blocked = 1;
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status().find("Refused"), std::string::npos);
    EXPECT_EQ(user_kb->block_sent, 0);
}

// The quiet time outlives joybond where the service manager gives it a state directory; a kept
// file that holds no time, or a time past, starts none.
TEST_F(Policy, TheQuietTimeSurvivesARestart) {
    char directory[] = "/tmp/state.XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    setenv("STATE_DIRECTORY", directory, 1);
    guard_reset();
    add({{"11:22:33:44:55:01", "Kb", 1, 1, 1, 1, 0}});
    device_list->typing = types_letters;
    EXPECT_EQ(run_guard(), Sent{"block 11:22:33:44:55:01"});
    guard_reset(); // joybond ends
    guard_start();
    EXPECT_TRUE(guard_quiet());
    std::string kept = std::string(directory) + "/quiet-until";
    for (const char* text : {"not a time\n", "0\n"}) {
        write_file(kept.c_str(), text);
        guard_reset();
        guard_start();
        EXPECT_FALSE(guard_quiet()) << text;
    }
    unsetenv("STATE_DIRECTORY");
    guard_reset();
    guard_start();
    EXPECT_FALSE(guard_quiet());
}

TEST_F(Policy, LeavesDevicesPairedElsewhereToConnectByThemselves) {
    add({{"11:22:33:44:55:01", "Pad", 1, 1, 1, 0, 0}});
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Bluetooth scanning...\n");
}

// A controller on LE alone gets "connect" over the link pairing left up, never while its link
// is down, found by discovery or not: the host connects it; one joybond paired is awaited.
TEST_F(Policy, AnLEControllerAwayIsAwaitedNotConnected) {
    add({{"11:22:33:44:55:01", "Pad", 1, 1, 0, 0, 0},
         {"11:22:33:44:55:02", "Other", 1, 1, 1, 0, 0}});
    Device* other = device_list;
    Device* pad = other->next;
    pad->le_only = other->le_only = 1;
    EXPECT_EQ(run_pass(), Sent{"pair 11:22:33:44:55:01"});
    pad->paired = pad->connected = 1;
    EXPECT_EQ(run_pass(), Sent{"connect 11:22:33:44:55:01"});
    pad->connected = 0; // switched off
    other->found = 1;
    age(pad, longest_pause_ms);
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connecting Pad...\n");
    pad->connected = pad->input = 1; // the host connected it
    EXPECT_EQ(run_pass(), Sent{});
    EXPECT_EQ(status(), "Connected Pad...");
}

TEST_F(Policy, KeepsNamesByteForByte) {
    add({{"11:22:33:44:55:01", "100% %s %n Pad", 1, 0, 0, 0, 0}});
    EXPECT_EQ(composed(), "Trusting 100% %s %n Pad...\n");
}

TEST_F(Policy, CutsTheStatusTextAtItsLimits) {
    // Forty untrusted devices with 127-byte names: far more than 4096 bytes of lines.
    std::string expected;
    std::vector<State> many;
    std::vector<std::string> names, addresses;
    for (int i = 0; i < 40; ++i) {
        names.push_back(std::string(120, 'a' + i % 26) + std::to_string(1000000 + i));
        char address[18];
        std::snprintf(address, sizeof address, "11:22:33:44:55:%02X", i);
        addresses.push_back(address);
    }
    for (int i = 0; i < 40; ++i)
        many.push_back({addresses[static_cast<size_t>(i)].c_str(),
                        names[static_cast<size_t>(i)].c_str(), 1, 0, 0, 0, 0});
    // plus, discovered last and so handled first, one to connect and one connected
    many.push_back({"AA:00:00:00:00:01", "Connected one", 1, 1, 1, 1, 1});
    many.push_back({"AA:00:00:00:00:02", "Connecting one", 1, 1, 1, 0, 1});
    add(many);
    std::string text = composed();
    std::string lines = "Connecting Connecting one...\n";
    for (int i = 39; i >= 0; --i)
        lines += "Trusting " + names[static_cast<size_t>(i)] + "...\n";
    // "Trusting" lines stop at 4094 bytes; the connected fragment fits in what is left of 4095.
    EXPECT_EQ(text.size(), 4095u);
    EXPECT_EQ(text, lines.substr(0, 4094) + "C");
}

TEST_F(Policy, AppendFormatCutsAndCounts) {
    char buffer[16] = "abc";
    EXPECT_EQ(append_format(buffer, 8, "%s", "defghijk"), 11u);
    EXPECT_STREQ(buffer, "abcdefg");
    char full[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(append_format(full, 4, "%d", 12345), 9u);
    EXPECT_EQ(std::string(full, 4), "xyzw"); // no terminator within the limit: untouched
}

// The status file is replaced in one step: a link or FIFO planted at its path is replaced,
// never written through; readers see the old text or the new one, never less.
TEST_F(Policy, StatusFileIsReplacedWhole) {
    write_file("/tmp/precious", "keep me");
    ASSERT_EQ(symlink("/tmp/precious", status_path), 0);
    write_status_file("Bluetooth scanning...\n");
    EXPECT_EQ(read_file("/tmp/precious"), "keep me");
    EXPECT_EQ(status(), "Bluetooth scanning...\n");

    unlink(status_path);
    ASSERT_EQ(mkfifo(status_path, 0666), 0);
    write_status_file("Trusting Pad...\n"); // returns at once: nobody reads the FIFO
    EXPECT_EQ(status(), "Trusting Pad...\n");

    write_status_file("Connected Pad...");
    struct stat info {};
    ASSERT_EQ(lstat(status_path, &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(status(), "Connected Pad...");

    const std::string texts[] = {"Pairing Pad One...\nConnected Arcade Stick...",
                                 std::string(4000, 'x')};
    std::atomic<bool> done = false;
    std::atomic<int> reads = 0;
    std::thread writer([&] {
        // Replaces the file until the reader, however the machine schedules it, has looked
        // at least 500 times while it did.
        for (int i = 0; i < 2000 || reads < 500; ++i)
            write_status_file(texts[i % 2].c_str());
        done = true;
    });
    int odd_reads = 0;
    while (!done) {
        std::string now = status();
        odd_reads += now == texts[0] || now == texts[1] || now == "Connected Pad..." ? 0 : 1;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(odd_reads, 0) << "a reader saw a partial or empty status file";
    EXPECT_EQ(system("ls /tmp | grep -q '^\\.blue\\.msg'"), 256) << "a temporary file was left";
}

// Run by hand as root, joybond keeps the owner of the status file it replaces, so that the
// service, running as a user of its own, can go on replacing it in the sticky /tmp.
TEST_F(Policy, RootKeepsTheStatusFilesOwner) {
    write_status_file("Bluetooth scanning...\n");
    if (geteuid() != 0 || chown(status_path, 4321, 4321) != 0)
        GTEST_SKIP() << "needs root";
    write_status_file("Connected Pad...");
    struct stat info {};
    ASSERT_EQ(stat(status_path, &info), 0);
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4321u);
    EXPECT_EQ(status(), "Connected Pad...");
}

TEST_F(Policy, ConsoleTableShowsEveryDeviceByteForByte) {
    add({{"11:22:33:44:55:01", "", 0, 0, 0, 0, 0},
         {"11:22:33:44:55:02", "Pad One", 1, 1, 1, 1, 1},
         {"11:22:33:44:55:03", "Old Pad", 1, 1, 1, 0, 0}});
    testing::internal::CaptureStdout();
    print_devices();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nDevices:\n"
              "\t\"Old Pad\" 11:22:33:44:55:03 game trusted paired  [auto_connect]\n"
              "\t\"Pad One\" 11:22:33:44:55:02 game trusted paired connected [need_connect]\n"
              "\t\"\" 11:22:33:44:55:01     [auto_connect]\n"); // five blanks
    device_reset();
    testing::internal::CaptureStdout();
    print_devices();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nDevices:\n");
}

} // namespace
