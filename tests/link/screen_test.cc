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
        {"\x1b[0;94m[bluetooth]\x1b[0m# \r\x1b[1;39m[agent] Confirm passkey 123456 (yes/no): \x1b[0m",
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
        {"\x1b[0;94m[bluetoothctl]> \x1b[0m\rWaiting to connect to bluetoothd...", Pending::daemon_gone},
        {"\x1b[0;94m[Waiting to connect to bluetoothd...]# ", Pending::prompt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(recognize(c.bytes), c.shown) << testing::PrintToString(c.bytes);
}

TEST(Screen, TellsTheClientsOwnLinesAfterItsPromptOrQuestion) {
    // a question drawn after the prompt, and drawn over by an event or the prompt again
    EXPECT_EQ(drawn_question(("\x1b[0m\r" + pin_579 + "\r\x1b[K\r[CHG] Device E4:17:D8:3C:4D:5A Connected: yes").c_str()),
              Pending::pin_question);
    EXPECT_EQ(drawn_question(("\r" + pin_566 + "[\x01\x1b[0;93m\x02CHG\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 RSSI: -61").c_str()),
              Pending::pin_question);
    EXPECT_EQ(drawn_question("\r\x1b[1;39m[agent] Accept pairing (yes/no): \x1b[0mno"), Pending::question);
    EXPECT_EQ(drawn_question("\r\x1b[K[CHG] Device 5C:F3:70:11:22:33 Name: x [agent] Enter PIN code: y"),
              Pending::nothing);
    EXPECT_EQ(drawn_question(pin_566.c_str()), Pending::nothing); // no carriage return: not drawn here
    // a cancel, after the question shown (5.66 and 5.79 glue it, 5.87 returns first)
    EXPECT_TRUE(is_cancel_line(("\r" + pin_566 + "Request canceled").c_str()));
    EXPECT_TRUE(is_cancel_line((pin_579 + "\r\x1b[K\rRequest canceled").c_str()));
    EXPECT_TRUE(is_cancel_line("\x1b[0;94m[Pad One]> \x1b[0m\r\x1b[K\rRequest canceled"));
    EXPECT_FALSE(is_cancel_line("[CHG] Device 5C:F3:70:11:22:33 Name: Request canceled"));
    EXPECT_FALSE(is_cancel_line("Request canceled by a name"));
    // after the main prompt: 5.79, 5.66, 5.87
    for (const char* rest : {"\x1b[0m\x1b[KFailed to pair: org.bluez.Error.AuthenticationFailed",
                             "\x1b[K\r\x1b[KFailed to pair: org.bluez.Error.AuthenticationFailed",
                             "\x1b[K\r\x1b[K\rFailed to pair: org.bluez.Error.AuthenticationFailed"})
        EXPECT_STREQ(failure_words(rest), "Failed to pair: org.bluez.Error.AuthenticationFailed");
    EXPECT_STREQ(failure_words("Failed to connect: org.bluez.Error.Failed br-connection-create-socket"),
                 "Failed to connect: org.bluez.Error.Failed br-connection-create-socket");
    EXPECT_EQ(failure_words("\r\x1b[K[CHG] Device 5C:F3:70:11:22:33 Name: Failed to pair: x"), nullptr);
    EXPECT_EQ(failure_words("Failed to parse"), nullptr);
}

} // namespace
