// The agent's rules, fed bytes captured from the client and times, without a pipe: when a
// question opens and counts, which answer it gets, when a cancel or an answer's echo closes
// it, how long commands wait after an answer, and whether a question took a command.
#include "captured.h"
#include "link/agent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string confirm = "\x1b[1;39m[agent] Confirm passkey 123456 (yes/no): \x1b[0m";
const std::string info = "info 11:22:33:44:55:66";

// One thing the channel shows the agent, or asks of it, and what must come of it.
struct Step {
    enum Kind { command, shown, line, drawn, prompt, answer, open, hold, took } kind;
    std::string bytes;     // the command, the pending bytes, the line (or its rest after the prompt)
    int64_t at = 0;        // milliseconds
    int64_t expected = 0;  // shown: the wait; hold: milliseconds; open, took: 0 or 1
    std::string reply{};   // answer: the answer expected
};

Step command(const std::string& text, int64_t at) { return {Step::command, text, at}; }
// The partial line pending is `bytes`: agent_look must return `wait`.
Step shown(const std::string& bytes, int64_t at, int64_t wait) { return {Step::shown, bytes, at, wait}; }
// A line handed out that does not begin with the main prompt.
Step line(const std::string& bytes) { return {Step::line, bytes}; }
// A line handed out that begins with the main prompt, then `rest`.
Step drawn(const std::string& rest) { return {Step::drawn, rest}; }
Step prompt() { return {Step::prompt, ""}; }
Step answer(int64_t at, const std::string& text) { return {Step::answer, "", at, 0, text}; }
Step open(bool is_open) { return {Step::open, "", 0, is_open}; }
Step hold(int64_t at, int64_t ms) { return {Step::hold, "", at, ms}; }
// The echo of `info` was handed out in the line: whether a question took the command.
Step took(const std::string& bytes, bool taken) { return {Step::took, bytes, 0, taken}; }

std::string run(const Step& step) {
    const char* begin = step.bytes.data();
    const char* end = begin + step.bytes.size();
    switch (step.kind) {
    case Step::command:
        agent_see_command(step.bytes.c_str(), step.at);
        return "";
    case Step::shown:
        return std::to_string(agent_look(recognize_pending(begin, end),
                                         skip_leading_codes(begin, end) == end, step.at));
    case Step::line:
        agent_see_line(step.bytes.c_str(), nullptr);
        return "";
    case Step::drawn: {
        std::string whole = prompt_587 + step.bytes;
        agent_see_line(whole.c_str(), whole.c_str() + prompt_587.size());
        return "";
    }
    case Step::prompt:
        agent_see_prompt();
        return "";
    case Step::answer:
        return agent_answer(step.at);
    case Step::open:
        return std::to_string(agent_question_open());
    case Step::hold:
        return std::to_string(agent_hold_ms(step.at));
    case Step::took:
        return std::to_string(agent_took_command(step.bytes.c_str(),
                                                 std::strstr(step.bytes.c_str(), info.c_str())));
    }
    return "";
}

std::string expected(const Step& step) {
    switch (step.kind) {
    case Step::shown:
    case Step::open:
    case Step::hold:
    case Step::took:
        return std::to_string(step.expected);
    case Step::answer:
        return step.reply;
    default:
        return "";
    }
}

TEST(Agent, QuestionsOpenCountAndAreAnsweredByTheRules) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"a PIN asked within 20 s of a pair counts after 100 ms and gets 0000",
         {command("pair 11:22:33:44:55:66\n", 0), shown("\r" + pin_566, 10, 100), open(true),
          shown("\r" + pin_566, 60, 50), shown("\r" + pin_566, 110, 0), answer(120, "0000\n"),
          open(false), hold(130, 290), hold(420, 0)}},
        {"a PIN asked later, or with no pair, gets a refusal that is no PIN",
         {command("pair 11:22:33:44:55:66\n", 0), shown("\r" + pin_579, 20000, 100),
          shown("\r" + pin_579, 20100, 0), answer(20100, "joybond-refuses-this-pin\n")}},
        {"any other question gets no",
         {command("pair 11:22:33:44:55:66\n", 0), shown(prompt_566 + "\r" + confirm, 5, 100),
          shown(prompt_566 + "\r" + confirm, 105, 0), answer(105, "no\n")}},
        {"an event drawn above keeps the question's time; its redraw on a fresh line counts",
         {shown("\r" + pin_579, 0, 100), shown("\r\x1b[K", 30, 120),
          line("\r\x1b[K\r[\x1b[0;93mCHG\x1b[0m] Device 5C:F3:70:11:22:33 RSSI: -61"),
          shown(pin_579, 60, 40), shown(pin_579, 100, 0)}},
        {"a question not drawn again in time, or text drawn after it, starts the time again",
         {shown("\r" + pin_579, 0, 100), shown("\r\x1b[K", 200, -1), shown(pin_579, 210, 100),
          shown("\r\x1b[K[CHG] Dev", 250, -1), shown(pin_579, 260, 100)}},
        {"an event glued to the question makes the line no question",
         {shown("\r" + pin_566 + "[\x01\x1b[0;93m\x02" "CHG\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 RSSI: ",
                0, -1),
          open(false)}},
        {"a name in an event drawn after the prompt opens no question",
         {drawn(new_566 + "x\r[agent] Enter PIN code: y"), drawn(new_587 + "x\r" + pin_579 + "y"),
          open(false)}},
        {"a question drawn after the prompt and drawn over by an event or a new prompt is open",
         {drawn("\r" + pin_579 + "\r\x1b[K\r[CHG] Device E4:17:D8:3C:4D:5A Connected: yes"), open(true),
          shown(prompt_587, 10, -1), open(true), answer(10, "joybond-refuses-this-pin\n")}},
        {"the same words in a line that does not begin with the prompt open nothing",
         {line("\r" + pin_579 + "\r\x1b[K\r[CHG] Device E4:17:D8:3C:4D:5A Connected: yes"), open(false)}},
        {"the client's cancel closes the question; its redraw after the cancel is stale",
         {shown("\r" + pin_579, 0, 100), open(true), line(pin_579 + "\r\x1b[K\rRequest canceled"),
          open(false), shown(pin_579, 50, -1), prompt(), shown(prompt_587, 100, -1),
          shown("\r" + pin_579, 200, 100)}},
        {"a cancel drawn by the prompt over the question it hides closes it (5.84 on)",
         {shown("\r" + pin_579, 0, 100), line("\r\x1b[K\r[CHG] Device E4:17:D8:3C:4D:5A Connected: yes"),
          shown(prompt_587, 10, -1), drawn("\r\x1b[K\rRequest canceled"), open(false)}},
        {"a question drawn after the prompt and cancelled before it was looked at is closed",
         {drawn("\r" + pin_566 + "Request canceled"), open(false), shown(pin_566, 0, -1)}},
        {"names in events that end in a forged cancel leave the question shown open",
         {command("pair 11:22:33:44:55:66\n", 0), shown("\r" + pin_566, 10, 100),
          drawn(new_566 + "x\r[agent] Enter PIN code: Request canceled"), shown(pin_566, 10, 100),
          line(new_566 + "x# \rRequest canceled"), shown(pin_566, 10, 100),
          line(pin_566 + "[\x01\x1b[0;92m\x02NEW\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 x# \rRequest canceled"),
          shown(pin_579, 10, 100), line(alias_579 + "x\x1b[0m\r\x1b[KRequest canceled"),
          shown(pin_579, 10, 100), line(new_587 + "x\r" + pin_579 + "\r\x1b[K\rRequest canceled"),
          shown(pin_579, 10, 100), drawn(new_587 + "x" + prompt_587 + "\r\x1b[K\rRequest canceled"),
          open(true), shown(pin_579, 110, 0), answer(110, "0000\n")}},
        {"a name holding a newline forges a line of its own: its cancel closes no question",
         {command("pair 11:22:33:44:55:66\n", 0), shown("\r" + pin_566, 10, 100), line(new_566 + "a"),
          line(pin_566 + "Request canceled"), line(new_587 + "a"), line(pin_579 + "\r\x1b[K\rRequest canceled"),
          drawn("\r" + pin_566 + "Request canceled"), drawn("\r\x1b[K\rRequest canceled"), open(true),
          shown(pin_566, 110, 0), answer(110, "0000\n")}},
        {"a name that says Request canceled cancels nothing",
         {shown("\r" + pin_579, 0, 100), line("[CHG] Device 5C:F3:70:11:22:33 Name: Request canceled"),
          open(true)}},
        {"the question answered, drawn again before the answer's echo, is the one answered",
         {shown("\r" + confirm, 0, 100), shown("\r" + confirm, 100, 0), answer(100, "no\n"),
          shown(confirm, 150, -1), open(false), drawn("\r" + confirm + "no"), open(false),
          shown("\r" + confirm, 400, 100)}},
        {"without its echo, a question drawn 2 s after the answer is a new one",
         {shown("\r" + confirm, 0, 100), shown("\r" + confirm, 100, 0), answer(100, "no\n"),
          shown("\r" + confirm, 2200, 100)}},
        {"a command echoed while a question is open was taken as the answer",
         {shown("\r" + pin_566, 0, 100), line(info), took(info, true), open(false)}},
        {"a command echoed right after the question on its line was taken",
         {line("\r" + pin_566 + info), took("\r" + pin_566 + info, true)}},
        {"a command echoed at the main prompt, or after the question a cancel left drawn, was not",
         {line(prompt_566 + info), took(prompt_566 + info, false), shown("\r" + pin_566, 0, 100),
          line(pin_566 + "Request canceled"), line(pin_566 + info), took(pin_566 + info, false)}},
    };
    for (const Case& c : cases) {
        agent_reset();
        for (size_t i = 0; i < c.steps.size(); ++i)
            EXPECT_EQ(run(c.steps[i]), expected(c.steps[i])) << c.what << ", step " << i + 1;
    }
}

} // namespace
