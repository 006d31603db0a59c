#include "link/agent.h"

#include "link/tool.h"

#include <cstring>

namespace {

constexpr int64_t pin_window_ms = 20000;    // after a "pair", a PIN asked is the pairing's
constexpr int64_t question_settle_ms = 100; // shown this long, a question counts
constexpr int64_t redraw_ms = 50;           // how long the tool may take to draw one again
constexpr int64_t after_answer_ms = 300;    // no command this long after an answer
constexpr int64_t answer_echo_ms = 2000;    // how long an answer's echo is waited for at most

constexpr size_t answer_size = 32;
static_assert(sizeof pin_answer <= answer_size && sizeof pin_refusal_answer <= answer_size &&
              sizeof refusal_answer <= answer_size);

// From BlueZ 5.84 on, the tool draws its main prompt over a question when its default device
// changes, and still takes the next line as the answer: a question stays open, whatever is
// drawn after it, until it is answered or cancelled.
struct AgentState {
    bool open = false;               // a question was shown, and not answered or cancelled
    bool canceled = false;           // the tool said so: what it draws next is that question, stale
    bool after_cancel = false;       // the line handed out last came right after a cancel
    bool question_looked_at = false; // the pending bytes showed a question when looked at
    bool drawing_looked_at = false;  // they showed the tool's prompt or question: the line
                                     // being read begins with the tool's own drawing
    bool pin_asked = false;          // it asks for a PIN
    int64_t question_since = -1;     // since when the question has been the last thing shown
    bool question_pending = false;   // the question counted: it ended a wait
    int64_t pin_until = -1;          // a PIN asked before then is asked by joybond's pairing
    int64_t answered_at = -1;        // when a question was answered last
    char answer_echo[answer_size] = ""; // that answer, until the tool echoes it: a question
                                        // drawn before (again, after an event) is the one answered
};
AgentState agent;

} // namespace

void agent_see_command(const char* command, int64_t now) {
    if (std::strncmp(command, pair_verb, sizeof pair_verb - 1) == 0)
        agent.pin_until = now + pin_window_ms;
}

void agent_see_line(const char* line, const char* rest) {
    // A question the tool drew after its prompt and drew over (an event, or its prompt again)
    // before it was looked at still takes the next line.
    bool echo = agent.answer_echo[0] != '\0' && std::strstr(line, agent.answer_echo) != nullptr;
    Pending drawn = rest != nullptr && !agent.question_looked_at && !echo ? drawn_question(rest)
                                                                          : Pending::nothing;
    if (echo)
        agent.answer_echo[0] = '\0';
    bool was_open = agent.open;
    if (is_question(drawn)) {
        agent.open = true;
        agent.pin_asked = drawn == Pending::pin_question;
    }
    // A cancel counts where the tool drew it: on a line whose start was shown as its prompt
    // or question when looked at, or right after a question drawn on the line itself, which
    // is then the one cancelled. A name that holds a newline can draw both on a line of its
    // own, which comes in one write with the event's start and is never looked at: a
    // question open before it stays open (answered at the main prompt, at worst).
    bool looked_at = agent.drawing_looked_at;
    agent.question_looked_at = agent.drawing_looked_at = false;
    agent.after_cancel = agent.canceled;
    agent.canceled = is_cancel_line(line, rest) &&
                     (looked_at || (is_question(drawn) && !was_open));
    if (agent.canceled) {
        agent.open = agent.question_pending = false;
        agent.answer_echo[0] = '\0';
    }
}

void agent_see_prompt() {
    agent.canceled = false;
    agent.drawing_looked_at = true;
}

int64_t agent_look(Pending shown, bool blank, int64_t now) {
    bool question = is_question(shown);
    if (question || shown == Pending::prompt)
        agent.drawing_looked_at = true;
    bool answered = agent.answer_echo[0] != '\0' && now - agent.answered_at < answer_echo_ms;
    if (question && (agent.canceled || answered))
        return -1; // drawn again after a cancel, or the question answered drawn again
    if (question) {
        agent.question_looked_at = true;
        agent.open = true;
        agent.pin_asked = shown == Pending::pin_question;
    }
    if (!question || agent.question_pending) {
        // A blank partial line says nothing either way: a question shown before is waited
        // for a little longer.
        int64_t left = agent.question_since + question_settle_ms + redraw_ms - now;
        if (!blank || agent.question_pending || agent.question_since < 0 || left <= 0) {
            agent.question_since = -1;
            return -1;
        }
        return left;
    }
    if (agent.question_since < 0)
        agent.question_since = now;
    int64_t left = agent.question_since + question_settle_ms - now;
    if (left > 0)
        return left;
    agent.question_since = -1;
    agent.question_pending = true;
    return 0;
}

bool agent_question_open() {
    return agent.open;
}

const char* agent_answer(int64_t now) {
    const char* answer = !agent.pin_asked          ? refusal_answer
                         : now < agent.pin_until ? pin_answer
                                                 : pin_refusal_answer;
    agent.open = agent.question_pending = false;
    agent.answered_at = now;
    size_t length = std::strlen(answer) - 1; // without its newline
    std::memcpy(agent.answer_echo, answer, length);
    agent.answer_echo[length] = '\0';
    return answer;
}

int64_t agent_hold_ms(int64_t now) {
    return agent.answered_at < 0 ? 0 : agent.answered_at + after_answer_ms - now;
}

bool agent_took_command(const char* line, const char* echo) {
    if (agent.after_cancel || !(agent.open || is_question(recognize_pending(line, echo))))
        return false;
    agent.open = agent.question_pending = false;
    return true;
}

void agent_reset() {
    agent = AgentState{};
}
