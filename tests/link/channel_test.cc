// The controller channel driven over real pipes: framing of lines and prompts in all three
// prompt styles, the recent-output ring, and every way the channel ends the process.
#include "captured.h"
#include "fake_tool.h"
#include "link/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

class Channel : public testing::Test {
  protected:
    void SetUp() override {
        channel_reset();
        ASSERT_EQ(pipe(fds), 0);
    }
    void TearDown() override {
        finish_writer();
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    void put(const std::string& bytes) {
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Runs the job a little later, in a process of its own, while the channel waits. (A
    // process, not a thread: death tests fork without a new exec, which an emulated test
    // binary could not do, and a thread would not be in the forked child.)
    template <typename Job> void later(Job job) {
        writer = fork();
        if (writer == 0) {
            std::this_thread::sleep_for(30ms);
            job();
            _exit(0);
        }
    }
    void put_later(const std::string& bytes) {
        later([this, bytes] {
            ssize_t ignored = write(fds[1], bytes.data(), bytes.size());
            (void)ignored;
        });
    }
    void finish_writer() {
        if (writer > 0)
            waitpid(writer, nullptr, 0);
        writer = -1;
    }
    void hang_up() {
        close(fds[1]);
        fds[1] = -1;
    }
    std::string next_line() {
        char* line = read_line(fds[0]);
        return line == nullptr ? "<prompt>" : line;
    }
    std::string dump() {
        testing::internal::CaptureStdout();
        log_dump();
        return testing::internal::GetCapturedStdout();
    }
    int fds[2] = {-1, -1};
    pid_t writer = -1;
};

TEST_F(Channel, FramesLinesWhateverTheReadSizes) {
    put("Changing po");
    put_later("wer on succeeded\n");
    EXPECT_EQ(next_line(), "Changing power on succeeded");
    finish_writer();

    put("one\ntwo\n\n");
    EXPECT_EQ(next_line(), "one");
    EXPECT_EQ(next_line(), "two"); // already pending: returned after one more read attempt
    EXPECT_EQ(next_line(), "");    // an empty line is a line
}

TEST_F(Channel, KeepsBytesAfterANulInsideALine) {
    put(std::string("ab\0cd\n", 6));
    char* line = read_line(fds[0]);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, 5), std::string("ab\0cd", 5));
    EXPECT_EQ(dump(), "---\nab\n");
}

TEST_F(Channel, ReturnsALineThatFillsTheWholeBuffer) {
    std::string big(8191, 'x');
    put(big + "\n");
    EXPECT_EQ(next_line(), big);
}

TEST_F(Channel, RecognisesAPromptSplitAcrossReads) {
    put("[bluetooth]#");
    put_later(" ");
    EXPECT_EQ(next_line(), "<prompt>");
}

TEST_F(Channel, NeedsThreeBytesForAPrompt) {
    put("# ");
    put_later("\n");
    EXPECT_EQ(next_line(), "# "); // two bytes alone were no prompt: the wait went on
    finish_writer();

    put("a# ");
    EXPECT_EQ(next_line(), "<prompt>");
}

TEST_F(Channel, APromptFollowedByMoreTextIsNoPrompt) {
    put("[bluetooth]# Dev");
    put_later("ice 11:22:33:44:55:66 Pad\n");
    EXPECT_EQ(next_line(), "[bluetooth]# Device 11:22:33:44:55:66 Pad");
}

TEST_F(Channel, MarksASeenPromptAndStartsTheNextLineWithIt) {
    put("[bluetooth]# ");
    EXPECT_EQ(next_line(), "<prompt>");
    put("devices\nDevice 11:22:33:44:55:66 Pad\n");
    EXPECT_EQ(next_line(), "[bluetooth]@ devices"); // the same prompt does not end this wait
    EXPECT_EQ(next_line(), "Device 11:22:33:44:55:66 Pad");
}

TEST_F(Channel, UnderstandsThePromptsOfEveryClientRelease) {
    struct Case {
        std::string prompt;
        std::string next_line;
    };
    const Case cases[] = {
        {prompt_566, "\x1b[0;94m[bluetooth]\x1b[0m@ power on"},
        {prompt_579, "\x1b[0;94m[bluetooth]@ \x1b[0mpower on"},
        {prompt_587, "\x1b[0;94m[bluetoothctl]@ \x1b[0mpower on"},
        {"\x1b[0;94m[Pad One]> \x1b[0m", "\x1b[0;94m[Pad One]@ \x1b[0mpower on"},
        {"[x]> \x1b[m\x1b[0;1m", "[x]@ \x1b[m\x1b[0;1mpower on"},
        // 5.66 redrawing its prompt when the connected device changes
        {"\x1b[0;94m[Arcade Stick]\x1b[0m# \r\x1b[0;94m[Pad One]\x1b[0m# \x1b[K",
         "\x1b[0;94m[Arcade Stick]\x1b[0m# \r\x1b[0;94m[Pad One]\x1b[0m@ \x1b[Kpower on"},
    };
    for (const Case& c : cases) {
        put(c.prompt);
        EXPECT_EQ(next_line(), "<prompt>") << c.prompt;
        put("power on\n");
        EXPECT_EQ(next_line(), c.next_line);
    }
}

TEST_F(Channel, ColourCodesDoNotMakeShortTextAPrompt) {
    for (const std::string& text : {std::string("# \x1b[0m"), std::string("\x1b[0m"),
                                    std::string("a> \x1b[0;9xm"), std::string("ab>\x1b[0m")}) {
        channel_reset();
        put(text);
        put_later("\n");
        EXPECT_EQ(next_line(), text);
        finish_writer();
    }
}

TEST_F(Channel, TakesEventLinesPrintedWhileIdle) {
    put(prompt_566);
    EXPECT_EQ(next_line(), "<prompt>");
    put(event_566 + "\n" + prompt_566);
    EXPECT_EQ(next_line(), "\x1b[0;94m[bluetooth]\x1b[0m@ " + event_566);
    EXPECT_EQ(next_line(), "<prompt>"); // the prompt printed again after the event

    put("info 11:22:33:44:55:66\n" + prompt_587);
    next_line();
    EXPECT_EQ(next_line(), "<prompt>");
    put(event_587 + "\n");
    EXPECT_EQ(next_line(), "\x1b[0;94m[bluetoothctl]@ \x1b[0m" + event_587);
}

TEST_F(Channel, WaitPromptSkipsTheReplyLinesButLogsThem) {
    put("Changing power on succeeded\nAgent registered\n" + prompt_579);
    wait_prompt(fds[0]);
    EXPECT_EQ(dump(), "---\nChanging power on succeeded\nAgent registered\n");
}

TEST_F(Channel, GoesOnWaitingWhenASignalInterruptsTheWait) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr); // no SA_RESTART: poll() returns EINTR
    pid_t reader = getpid();
    later([this, reader] {
        kill(reader, SIGUSR1);
        std::this_thread::sleep_for(50ms);
        ssize_t ignored = write(fds[1], "late\n", 5);
        (void)ignored;
    });
    EXPECT_EQ(next_line(), "late");
    signal(SIGUSR1, SIG_DFL);
}

// A reply begins after the echo of its command, and the echo counts only once the tool has
// read the whole command: leftovers of earlier commands, their prompts, and text shaped like
// the echo that comes before are passed over.
TEST_F(Channel, ReplyBeginsAfterTheEchoOfItsCommand) {
    int commands[2];
    ASSERT_EQ(pipe(commands), 0);
    send_command(commands[1], "info 11:22:33:44:55:66\n");
    put("Changing 11:22:33:44:55:01 trust succeeded\n" + prompt_566 +
        "[CHG] Device AA:BB:CC:DD:EE:FF Name: x\n" + prompt_566 +
        "info 11:22:33:44:55:66\nDevice 11:22:33:44:55:66 (public)\n\tIcon: input-gaming\n" +
        prompt_566);
    later([this, &commands] {
        char taken[64];
        ssize_t ignored = read(commands[0], taken, sizeof taken); // the tool takes it in
        std::string reply = "info 11:22:33:44:55:66\nDevice 11:22:33:44:55:66 (public)\n"
                            "\tName: Pad\n" +
                            prompt_566;
        ignored = write(fds[1], reply.data(), reply.size());
        (void)ignored;
    });
    std::vector<std::string> reply;
    while (char* line = read_reply_line(fds[0]))
        reply.push_back(line);
    EXPECT_EQ(reply,
              (std::vector<std::string>{"Device 11:22:33:44:55:66 (public)", "\tName: Pad"}));
    finish_writer();
    close(commands[0]);
    close(commands[1]);
}

// The agent's questions: one pending before a command is answered first ("no"), and so is
// the question its asker puts 50 ms after that answer; a PIN asked after "pair" gets "0000",
// and a command that a question took as its answer goes again.
TEST_F(Channel, AnswersTheAgentsQuestionsAndNeverLosesACommandToThem) {
    const std::string ask = "\r\x1b[1;39m[agent] ";
    int infos = 0;
    std::thread asker;
    FakeTool tool([&](const std::string& command) -> std::string {
        if (command == "no" && !asker.joinable())
            asker = std::thread([&] {
                std::this_thread::sleep_for(50ms);
                tool.put(ask + "Authorize service 0000110a (yes/no): \x1b[0m");
            });
        if (command == "pair 11:22:33:44:55:66")
            return command + "\nAttempting to pair\n" + prompt_566 + ask +
                   "Enter PIN code: \x1b[0m";
        if (command == "info 11:22:33:44:55:66" && ++infos == 1)
            return ask + "Confirm passkey 123456 (yes/no): \x1b[0m" + command + "\n" + prompt_566;
        if (command == "info 11:22:33:44:55:66")
            return command + "\nDevice 11:22:33:44:55:66 (public)\n" + prompt_566;
        return command + "\n" + prompt_566;
    });
    tool.put(prompt_566 + ask + "Accept pairing (yes/no): \x1b[0m");
    wait_prompt(tool.reply_fd());
    for (const char* command : {"devices\n", "pair 11:22:33:44:55:66\n"}) {
        send_command(tool.command_fd(), command);
        wait_prompt(tool.reply_fd());
    }
    send_command(tool.command_fd(), "info 11:22:33:44:55:66\n");
    char* line = read_reply_line(tool.reply_fd());
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "Device 11:22:33:44:55:66 (public)");
    EXPECT_EQ(read_reply_line(tool.reply_fd()), nullptr);
    asker.join();
    EXPECT_EQ(tool.finish(),
              (std::vector<std::string>{"no", "no", "devices", "pair 11:22:33:44:55:66", "0000",
                                        "info 11:22:33:44:55:66", "info 11:22:33:44:55:66"}));
}

// As the client does, the fake tool takes the next line as the answer while its question is
// shown, and draws the question again after every event, which comes every 3 ms: the question
// is answered before the command goes out, with a refusal that is no PIN (no "pair" went out),
// and the command is never taken as the answer. A question the tool cancels, and draws again
// once more, is not answered; one the main prompt hides is.
TEST_F(Channel, NoCommandBecomesTheAnswerOfAQuestionAmongEvents) {
    const std::string question = "\x1b[1;39m\x1b[1;39m[agent] Enter PIN code: \x1b[0m\x1b[0m";
    std::atomic<bool> asking{true};
    FakeTool tool([&](const std::string& line) {
        asking = false; // an answer, or a command at the main prompt
        return line + "\n" + prompt_587;
    });
    tool.put(prompt_587);
    wait_prompt(tool.reply_fd());
    tool.put("\r" + question);
    std::thread events([&] {
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(3ms);
            tool.put("\r\x1b[K\r[\x1b[0;93mCHG\x1b[0m] Device 5C:F3:70:11:22:33 RSSI: -61\n" +
                     (asking ? question : prompt_587));
        }
    });
    send_command(tool.command_fd(), "devices\n");
    wait_prompt(tool.reply_fd());
    events.join();
    tool.put("\r" + question);
    std::this_thread::sleep_for(30ms);
    tool.put("\r\x1b[K\rRequest canceled\n" + question);
    std::this_thread::sleep_for(150ms);
    send_command(tool.command_fd(), "show\n");
    wait_prompt(tool.reply_fd());
    // From 5.84 on, a new default device draws the main prompt over the question, which
    // still takes the next line.
    asking = true;
    tool.put("\r" + question);
    std::this_thread::sleep_for(30ms);
    tool.put("\r\x1b[K\r[CHG] Device E4:17:D8:3C:4D:5A Connected: yes\n" + prompt_587);
    std::this_thread::sleep_for(30ms);
    send_command(tool.command_fd(), "devices\n");
    wait_prompt(tool.reply_fd());
    EXPECT_EQ(tool.finish(), (std::vector<std::string>{"joybond-refuses-this-pin", "devices", "show",
                                                       "joybond-refuses-this-pin", "devices"}));
}

// While the pad's PIN question is shown, devices whose names forge the client's cancel (after
// the question's carriage return, and after the prompt's marks) come into range: the question
// stays open, gets "0000", and the next command goes after it.
TEST_F(Channel, ANameThatForgesACancelLeavesThePinQuestionOpen) {
    std::atomic<bool> asking{false};
    FakeTool tool([&](const std::string& line) {
        if (line == "pair 11:22:33:44:55:66") {
            asking = true;
            return line + "\nAttempting to pair\n" + prompt_566 + "\r" + pin_566;
        }
        asking = false; // the answer, or a command at the main prompt
        return line + "\n" + prompt_566;
    });
    tool.put(prompt_566);
    wait_prompt(tool.reply_fd());
    send_command(tool.command_fd(), "pair 11:22:33:44:55:66\n");
    wait_prompt(tool.reply_fd());
    ASSERT_TRUE(asking);
    tool.put(new_566 + "x\r[agent] Enter PIN code: Request canceled\n" + pin_566 + new_566 +
             "x# \rRequest canceled\n" + pin_566);
    std::this_thread::sleep_for(30ms);
    send_command(tool.command_fd(), "devices\n");
    wait_prompt(tool.reply_fd());
    EXPECT_EQ(tool.finish(), (std::vector<std::string>{"pair 11:22:33:44:55:66", "0000", "devices"}));
}

TEST_F(Channel, RingKeepsTheLastFifteenLines) {
    EXPECT_EQ(dump(), "---\n");
    std::string all;
    for (int i = 1; i <= 20; ++i)
        all += "line " + std::to_string(i) + "\n";
    put(all);
    for (int i = 1; i <= 20; ++i)
        next_line();
    std::string expected = "---\n";
    for (int i = 6; i <= 20; ++i)
        expected += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(dump(), expected);
    EXPECT_EQ(dump(), expected); // a dump changes nothing
}

TEST_F(Channel, RingCutsLongLinesButTheCallerGetsThemWhole) {
    std::string long_line(200, 'n');
    put(long_line + "\n");
    EXPECT_EQ(next_line(), long_line);
    EXPECT_EQ(dump(), "---\n" + long_line.substr(0, 127) + "\n");
}

TEST_F(Channel, SendsTheWholeCommand) {
    send_command(fds[1], "info 11:22:33:44:55:66\n");
    char got[64] = {};
    ASSERT_EQ(read(fds[0], got, sizeof got - 1), 23);
    EXPECT_STREQ(got, "info 11:22:33:44:55:66\n");
}

using ChannelDeath = Channel;

TEST_F(ChannelDeath, EndOfStreamEndsTheProgramBeforePendingLines) {
    put("one\ntwo\n");
    hang_up();
    EXPECT_EQ(next_line(), "one");
    EXPECT_EXIT(read_line(fds[0]), testing::ExitedWithCode(1), "^Failed to read 0\n$");
}

TEST_F(ChannelDeath, HangUpDuringAWaitEndsTheProgram) {
    put("Attempting to pair");
    later([] {}); // holds the writing end a little longer, then hangs up
    hang_up();
    EXPECT_EXIT(wait_prompt(fds[0]), testing::ExitedWithCode(1), "^Failed to read 0\n$");
}

TEST_F(ChannelDeath, AFullBufferWithoutALineEndsTheProgram) {
    put(std::string(8192, 'x'));
    EXPECT_EXIT(read_line(fds[0]), testing::ExitedWithCode(1), "^Failed to read 0\n$");
}

TEST_F(ChannelDeath, AFailingReadEndsTheProgram) {
    int directory = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    EXPECT_EXIT(read_line(directory), testing::ExitedWithCode(1), "^Failed to read -1\n$");
    close(directory);
}

TEST_F(ChannelDeath, ABadDescriptorEndsTheProgram) {
    EXPECT_EXIT(read_line(-1), testing::ExitedWithCode(1), "^Failed to set not blocking\n$");
}

TEST_F(ChannelDeath, WritingToAGoneToolRaisesSigpipe) {
    close(fds[0]);
    fds[0] = open("/dev/null", O_RDONLY); // keep TearDown's close harmless
    EXPECT_EXIT(send_command(fds[1], "devices\n"), testing::KilledBySignal(SIGPIPE), "");
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_IGN);
            send_command(fds[1], "devices\n");
        },
        testing::ExitedWithCode(1), "^Failed to write command\n$");
}

} // namespace
