// What the client shows last, told from bytes captured from bluetoothctl 5.66, 5.79 and 5.87
// (and 5.84, which draws as 5.79 does), and the lines it speaks in itself.
#include "captured.h"
#include "link/screen.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Pending recognize(const std::string& bytes) {
    return recognize_pending(bytes.data(), bytes.data() + bytes.size());
}

TEST(Screen, TellsPromptsAndQuestionsHoweverTheClientDrawsThem) {
    struct Case {
        std::string bytes;
        Pending shown;
    } cases[] = {
        // main prompts of each release, and one that holds a connected device's name
        {"\x1b[0;94m[bluetooth]\x1b[0m# ", Pending::prompt},
        {"\x1b[0;94m[bluetooth]# \x1b[0m", Pending::prompt},
        {"\x1b[0;94m[bluetoothctl]> \x1b[0m\x1b[K", Pending::prompt},
        {"\x1b[0;94m[Pad\r" + pin_566 + "]\x1b[0m# ", Pending::prompt},
        // a question after its prompt, with a carriage return
        {"\x1b[0;94m[bluetooth]\x1b[0m# \r" + pin_566, Pending::pin_question},
        {"\x1b[0;94m[bluetoothctl]> \x1b[0m\r" + pin_579, Pending::pin_question},
        {"\x1b[0;94m[bluetooth]\x1b[0m# \r\x1b[1;39m[agent] Confirm passkey 123456 (yes/no): "
         "\x1b[0m",
         Pending::question},
        {"\r\x1b[1;39m[agent] Authorize service 0000110a-0000-1000-8000-00805f9b34fb (yes/no): ",
         Pending::question},
        // drawn again on a fresh line after an event, and after several
        {pin_566, Pending::pin_question},
        {"[\x1b[0;93mCHG\x1b[0m] Device 5C:F3:70:11:22:33 RSSI: 0xffffffc3 (-61)\n" + pin_579,
         Pending::pin_question},
        {"a\nb\nc\n" + pin_579, Pending::pin_question},
        // 5.66 and 5.79 glue an event to the question shown: the line is no question
        {"\r" + pin_566 + "[\x01\x1b[0;93m\x02CHG\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 RSSI: ",
         Pending::nothing},
        // split across reads: no question until its last bytes came
        {"\r\x1b[1;39m[agent] Enter PIN co", Pending::nothing},
        {"\r\x1b[1;39m[agent] Enter PIN code:", Pending::nothing},
        {"\r\x1b[1;39m[agent] Enter PIN code: \x1b[", Pending::nothing},
        // no label, an empty question, or text glued in front
        {"\r\x1b[1;39m[agen] Enter PIN code: ", Pending::nothing},
        {"\r[agent] : ", Pending::nothing},
        {"x[agent] Enter PIN code: ", Pending::nothing},
        {"", Pending::nothing},
        {"# ", Pending::nothing},
        {"\r\x1b[K", Pending::nothing},
        // the client lost the Bluetooth daemon: at start, and after its prompt
        {"Waiting to connect to bluetoothd...", Pending::daemon_gone},
        {"\x1b[0;94m[bluetoothctl]> \x1b[0m\rWaiting to connect to bluetoothd...",
         Pending::daemon_gone},
        {"\x1b[0;94m[Waiting to connect to bluetoothd...]# ", Pending::prompt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(recognize(c.bytes), c.shown) << testing::PrintToString(c.bytes);
}

TEST(Screen, TellsTheClientsOwnLinesAfterItsPromptOrQuestion) {
    // What follows the main prompt on a line, and the question it draws.
    struct Drawn {
        std::string rest;
        Pending shown;
    } drawn[] = {
        // a question drawn after the prompt, and drawn over by an event or the prompt again
        {"\x1b[0m\r" + pin_579 + "\r\x1b[K\r[CHG] Device E4:17:D8:3C:4D:5A Connected: yes",
         Pending::pin_question},
        {"\r" + pin_566 +
             "[\x01\x1b[0;93m\x02CHG\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 RSSI: -61",
         Pending::pin_question},
        {"\r\x1b[1;39m[agent] Accept pairing (yes/no): \x1b[0mno", Pending::question},
        {pin_566, Pending::nothing}, // no carriage return: not drawn here
        // a name that holds a question, in an event: the question is not where the client draws it
        {"\r\x1b[K[CHG] Device 5C:F3:70:11:22:33 Name: x [agent] Enter PIN code: y",
         Pending::nothing},
        {new_566 + "x\r[agent] Enter PIN code: y", Pending::nothing},
        {new_587 + "x\r" + pin_579 + "y", Pending::nothing},
        {alias_579 + "x\r\x1b[K\r" + pin_579, Pending::nothing},
        {"\r\x1b[K[CHG] Device 5C:F3:70:11:22:33 Name: \r" + pin_566 + "y", Pending::nothing},
    };
    for (const Drawn& c : drawn)
        EXPECT_EQ(drawn_question(c.rest.c_str()), c.shown) << testing::PrintToString(c.rest);

    // Lines that may be the client's cancel: after its main prompt (rest) or not.
    struct Cancel {
        std::string prompt; // empty: the line does not begin with the main prompt
        std::string rest;
        bool cancel;
    } cancels[] = {
        // after the question drawn there (5.66 and 5.79 glue it, 5.87 returns first), redrawn
        // on a fresh line after an event, or hidden by the prompt drawn over it (5.84 on)
        {prompt_566, "\r" + pin_566 + "Request canceled", true},
        {"", pin_566 + "Request canceled", true},
        {"", pin_579 + "\r\x1b[K\rRequest canceled", true},
        {prompt_587, "\r" + pin_579 + "\r\x1b[K\rRequest canceled", true},
        {"\x1b[0;94m[Pad One]> \x1b[0m", "\r\x1b[K\rRequest canceled", true},
        // the same words where the client draws no cancel
        {"", "\x1b[0;94m[Pad One]> \x1b[0m\r\x1b[K\rRequest canceled", false},
        {"", "\r\x1b[K\rRequest canceled", false},
        {prompt_566, pin_566 + "Request canceled", false},
        {"", "[agent] Enter PIN code: x Request canceled", false},
        {"", "[CHG] Device 5C:F3:70:11:22:33 Name: Request canceled", false},
        {"", "Request canceled by a name", false},
        // names that forge a cancel after carriage returns, codes, the question or the prompt
        {prompt_566, new_566 + "x\r[agent] Enter PIN code: Request canceled", false},
        {"", new_566 + "x# \rRequest canceled", false},
        {"",
         pin_566 + "[\x01\x1b[0;92m\x02NEW\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 x# \rRequest "
                   "canceled",
         false},
        {prompt_579, alias_579 + "x\r\x1b[K\r" + pin_579 + "\r\x1b[K\rRequest canceled", false},
        {"", alias_579 + "x\x1b[0m\r\x1b[KRequest canceled", false},
        {prompt_587, new_587 + "x" + prompt_587 + "\r\x1b[K\rRequest canceled", false},
        {"", new_587 + "\x1b[0;94m[bluetoothctl]> \x1b[0m\r\x1b[K\rRequest canceled", false},
    };
    for (const Cancel& c : cancels) {
        std::string line = c.prompt + c.rest;
        const char* rest = c.prompt.empty() ? nullptr : line.c_str() + c.prompt.size();
        EXPECT_EQ(is_cancel_line(line.c_str(), rest), c.cancel) << testing::PrintToString(line);
    }
    // after the main prompt: 5.79, 5.66, 5.87
    for (const char* rest :
         {"\x1b[0m\x1b[KFailed to pair: org.bluez.Error.AuthenticationFailed",
          "\x1b[K\r\x1b[KFailed to pair: org.bluez.Error.AuthenticationFailed",
          "\x1b[K\r\x1b[K\rFailed to pair: org.bluez.Error.AuthenticationFailed"})
        EXPECT_STREQ(failure_words(rest), "Failed to pair: org.bluez.Error.AuthenticationFailed");
    EXPECT_STREQ(
        failure_words("Failed to connect: org.bluez.Error.Failed br-connection-create-socket"),
        "Failed to connect: org.bluez.Error.Failed br-connection-create-socket");
    EXPECT_EQ(failure_words("\r\x1b[K[CHG] Device 5C:F3:70:11:22:33 Name: Failed to pair: x"),
              nullptr);
    EXPECT_EQ(failure_words("Failed to parse"), nullptr);
    // A link's event as 5.66 printed it after its prompt, readline's markers around the colour
    const std::string event = "\r\x1b[K[\x01\x1b[0;93m\x02"
                              "CHG\x01\x1b[0m\x02] Device 00:AA:01:01:00:01 Connected: ";
    for (const char* state : {"yes", "no"})
        EXPECT_EQ(std::string(link_event_address((event + state).c_str())).substr(0, 17),
                  "00:AA:01:01:00:01");
    for (const char* other : {"maybe", "no more", "yes\nx"})
        EXPECT_EQ(link_event_address((event + other).c_str()), nullptr) << other;
    // The prompt drawn again as the default device changes (bluetoothctl 5.66); one whose
    // name holds control characters is no prompt.
    const std::string redrawn = "\x1b[K\r\x1b[0;94m[Wireless Gamepad]\x1b[0m# ";
    EXPECT_NE(link_event_address((redrawn + event + "yes").c_str()), nullptr);
    EXPECT_NE(link_event_address(("\r\x1b[0;94m[Pad One]> \x1b[0m\x1b[K\r" + event + "no").c_str()),
              nullptr); // 5.87
    EXPECT_EQ(link_event_address(("\x1b[K\r\x1b[0;94m[Pad\r]\x1b[0m# " + event + "yes").c_str()),
              nullptr);
    EXPECT_EQ(link_event_address(("[Pad]" + event + "yes").c_str()), nullptr);
    EXPECT_EQ(link_event_address("[NEW] Device 00:AA:01:01:00:01 Connected: no"), nullptr);
    EXPECT_EQ(link_event_address("[CHG] Device 00:AA Connected: no"), nullptr);
}

} // namespace
