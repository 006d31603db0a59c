#include "link/channel.h"

#include "base/clock.h"
#include "base/failure.h"
#include "base/notify.h"
#include "base/text.h"
#include "link/screen.h"
#include "link/tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr long buffer_size = 8192;
char line_buffer[buffer_size];
char* read_start = line_buffer;
char* fill_end = line_buffer;

constexpr int32_t log_slots = 16;
constexpr size_t log_line_size = 128;
char recent_log[log_slots][log_line_size];
int32_t write_index = 0;
int32_t read_index = 0;

// The command whose reply is being read: its text without the "\n", the pipe it went down,
// and whether its echo has been seen. Nothing is outstanding at start.
char awaited_echo[130] = ""; // with room for the "\n" and terminator when sent again
int awaited_fd = -1;
bool echo_seen = true;

// When the reply to the last command must have ended (monotonic milliseconds), or -1 while
// nothing is outstanding: before the first command, the wait for the tool's first prompt has
// no end, as the Bluetooth daemon may take its time to appear.
int64_t reply_deadline = -1;

// The prompt's lines above its last: once a connected device has become the tool's default,
// its name is in every prompt, and a name may hold newlines. The lines of each reply are kept
// as hashes; where two replies in a row end with the same prompt, what they have in common at
// their ends, from a line that opens a prompt on, is the prompt.
constexpr char prompt_opening[] = "\x1b[0;94m[";
constexpr size_t kept_lines = 256;
struct ReplyLines {
    uint64_t hashes[kept_lines]; // a ring: line n at n % kept_lines
    bool opens[kept_lines];      // the line begins as a prompt does
    size_t count;
    uint64_t tail; // the hash of the prompt that ended the reply
};
ReplyLines reply_lines[2];
int current_reply = 0;
uint64_t prompt_heads[kept_lines];
size_t prompt_head_count = 0;

// The tool's agent and its questions. A question is the partial line the tool shows last, and
// it takes the next line of input as its answer; it counts once it has stayed the last thing
// shown for question_settle_ms, events drawn above it meanwhile (a name cut by a read goes on
// within moments, into a line and the main prompt). A PIN is asked while joybond pairs (the
// only pairing it starts): until pin_until (monotonic milliseconds) after its last "pair".
//
// A question stays open, whatever is drawn after it, until it is answered or the tool says it
// was cancelled: from BlueZ 5.84 on, the tool draws its main prompt over a question when its
// default device changes, and still takes the next line as the answer.
constexpr size_t answer_size = 32;
static_assert(sizeof pin_answer <= answer_size && sizeof pin_refusal_answer <= answer_size &&
              sizeof refusal_answer <= answer_size);
struct AgentState {
    bool open = false;             // a question was shown, and not answered or cancelled
    bool canceled = false;         // the tool said so: what it draws next is that question, stale
    bool after_cancel = false;     // the line handed out last came right after a cancel
    bool question_looked_at = false; // the pending bytes showed a question when looked at
    bool pin_asked = false;        // it asks for a PIN
    int64_t question_since = -1;   // since when the question has been the last thing shown
    bool question_pending = false; // the question counted: it ended a wait, its ":" now "?"
    int64_t pin_until = -1;
    int64_t answered_at = -1;      // when a question was answered last
    char answer_echo[answer_size] = ""; // that answer, until the tool echoes it: a question
                                        // drawn before (again, after an event) is the one answered
};
AgentState agent;
constexpr int64_t pin_window_ms = 20000;
constexpr int64_t question_settle_ms = 100;
constexpr int64_t redraw_ms = 50; // how long the tool may take to draw a question again
// How long no command goes out after an answer: an asker puts its next question as soon as it
// has the answer (a phone asks to pair, then for a service), and a command that crossed it
// would become that answer.
constexpr int64_t after_answer_ms = 300;
constexpr int64_t answer_echo_ms = 2000; // how long an answer's echo is waited for at most
constexpr char answered_mark = '?'; // replaces the ":" of a question counted, as "@" a prompt's mark
int reply_fd_seen = -1;             // where the tool's output comes from

// The tool said it lost the Bluetooth daemon, until taken.
bool daemon_lost = false;

// The tool's last failure line for a step, until taken.
char failure_line[128];
bool failure_pending = false;
char failure_taken[128];

// The main prompt as last seen, for telling the tool's own lines: those it prints while the
// prompt is shown begin with it (its mark "#", ">" or, once seen, "@").
char prompt_text[512];
size_t prompt_length = 0;
size_t prompt_mark = 0;

void check_deadline() {
    if (reply_deadline >= 0 && monotonic_ms() >= reply_deadline)
        exit_failure("Failed to get a reply from bluetoothctl\n");
}

void keep_reply_line(const char* line) {
    ReplyLines& kept = reply_lines[current_reply];
    size_t slot = kept.count++ % kept_lines;
    kept.hashes[slot] = text_hash(line, std::strlen(line));
    kept.opens[slot] = std::strncmp(line, prompt_opening, sizeof prompt_opening - 1) == 0;
}

// The prompt `tail` (its last line, pending) has ended the reply: compares its lines with
// the previous reply's.
void learn_prompt(const char* tail, size_t length) {
    ReplyLines& now = reply_lines[current_reply];
    const ReplyLines& before = reply_lines[1 - current_reply];
    now.tail = text_hash(tail, length);
    if (now.tail == before.tail) {
        size_t common = 0;
        size_t limit = std::min({now.count, before.count, kept_lines});
        while (common < limit && now.hashes[(now.count - common - 1) % kept_lines] ==
                                     before.hashes[(before.count - common - 1) % kept_lines])
            ++common;
        size_t heads = common;
        while (heads > 0 && !now.opens[(now.count - heads) % kept_lines])
            --heads;
        prompt_head_count = heads;
        for (size_t i = 0; i < heads; ++i)
            prompt_heads[i] = now.hashes[(now.count - heads + i) % kept_lines];
    }
    current_reply = 1 - current_reply;
    reply_lines[current_reply].count = 0;
}

// The "#" or ">" of a prompt ending the pending bytes, or nullptr when they hold none.
char* find_prompt_mark() {
    if (recognize_pending(read_start, fill_end) != Pending::prompt)
        return nullptr;
    return const_cast<char*>(skip_trailing_codes(read_start, fill_end)) - 2;
}

// Looks at what the pending bytes, a partial line, show: a question shown opens it, and it
// counts once it has been shown, with nothing but events above it, for question_settle_ms
// (then its ":" becomes "?", so that it counts once). Returns how long to wait before looking
// again, 0 when a question counts now, or -1 when none is shown.
int64_t look_for_question() {
    Pending shown = recognize_pending(read_start, fill_end);
    if (shown == Pending::daemon_gone)
        daemon_lost = true;
    bool question = is_question(shown);
    int64_t now = monotonic_ms();
    bool answered = agent.answer_echo[0] != '\0' && now - agent.answered_at < answer_echo_ms;
    if (question && (agent.canceled || answered))
        return -1;
    if (question) {
        agent.question_looked_at = true;
        agent.open = true;
        agent.pin_asked = shown == Pending::pin_question;
    }
    if (!question || agent.question_pending) {
        // An empty partial line (an event line just ended, the prompt not drawn again yet) or
        // a carriage return and erase codes say nothing either way: a question shown before
        // is waited for a little longer.
        int64_t left = agent.question_since + question_settle_ms + redraw_ms - now;
        if (skip_leading_codes(read_start, fill_end) != fill_end || agent.question_pending ||
            agent.question_since < 0 || left <= 0) {
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
    char* colon = const_cast<char*>(skip_trailing_codes(read_start, fill_end)) - 2;
    *colon = answered_mark;
    agent.question_since = -1;
    agent.question_pending = true;
    return 0;
}

void answer_questions(int command_fd);

// Sleeps until the tool has written more or hung up, the reply's time is up, or limit_ms have
// passed (no limit when negative).
void wait_readable(int fd, int64_t limit_ms = -1) {
    pollfd entry{fd, POLLIN, 0};
    int64_t until = limit_ms < 0 ? -1 : monotonic_ms() + limit_ms;
    for (;;) {
        check_deadline();
        // A wait keeps systemd's watchdog fed: waiting, even for a Bluetooth daemon that is
        // not there yet, is no hang.
        notify_watchdog();
        int64_t timeout = notify_interval_ms();
        for (int64_t end : {reply_deadline, until}) {
            if (end < 0)
                continue;
            int64_t left = std::max<int64_t>(0, end - monotonic_ms());
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        int ready = poll(&entry, 1, static_cast<int>(timeout));
        if (ready > 0 || (until >= 0 && monotonic_ms() >= until))
            return;
        if (ready < 0 && errno != EINTR)
            exit_failure("Failed to poll reply\n");
    }
}

// Writes a line of input (a command or an answer) in one write.
void send_line(int command_fd, const char* text) {
    size_t length = std::strlen(text);
    if (write(command_fd, text, length) != static_cast<ssize_t>(length))
        exit_failure("Failed to write command\n");
}

// The newline that ends the next pending line, or nullptr.
char* pending_newline() {
    return static_cast<char*>(
        std::memchr(read_start, '\n', static_cast<size_t>(fill_end - read_start)));
}

// Whether the tool has taken in the whole of the last command: nothing of it is left in the
// pipe. A descriptor that cannot tell is taken at its word.
bool command_taken() {
    int unread = 0;
    return awaited_fd < 0 || ioctl(awaited_fd, FIONREAD, &unread) != 0 || unread == 0;
}

} // namespace

void send_command(int fd, const char* text) {
    answer_questions(fd);
    if (std::strncmp(text, pair_verb, sizeof pair_verb - 1) == 0)
        agent.pin_until = monotonic_ms() + pin_window_ms;
    send_line(fd, text);
    size_t kept = std::min(std::strcspn(text, "\n"), sizeof awaited_echo - 3);
    std::memcpy(awaited_echo, text, kept);
    awaited_echo[kept] = '\0';
    awaited_fd = fd;
    echo_seen = false;
    reply_deadline = monotonic_ms() + reply_bound_ms;
    usleep(500);
}

void fill_buffer(int fd) {
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0)
        exit_failure("Failed to set not blocking\n");
    ssize_t count = read(fd, fill_end, static_cast<size_t>(line_buffer + buffer_size - fill_end));
    if (count > 0) {
        fill_end += count;
        return;
    }
    if (count < 0 && errno == EAGAIN)
        return;
    char message[32];
    std::snprintf(message, sizeof message, "Failed to read %d\n", static_cast<int>(count));
    exit_failure(message);
}

namespace {

void compact() {
    if (read_start != line_buffer) {
        long pending = fill_end - read_start;
        std::memmove(line_buffer, read_start, static_cast<size_t>(pending));
        read_start = line_buffer;
        fill_end = line_buffer + pending;
    }
}

// Hands out the line from read_start to the newline at its end. The tool's failure lines for
// a step follow its main prompt as it was last seen; the same words anywhere else (in a name,
// in an event line) are not the tool's.
char* hand_out(char* newline) {
    *newline = '\0';
    char* line = read_start;
    read_start = newline + 1;
    size_t length = static_cast<size_t>(newline - line);
    bool after_prompt = prompt_length > 0 && length >= prompt_length &&
                        std::memcmp(line, prompt_text, prompt_mark) == 0 &&
                        std::memcmp(line + prompt_mark + 1, prompt_text + prompt_mark + 1,
                                    prompt_length - prompt_mark - 1) == 0;
    // A question the tool drew after its prompt and drew over (an event, or its prompt again)
    // before it was looked at still takes the next line.
    bool echo = agent.answer_echo[0] != '\0' && std::strstr(line, agent.answer_echo) != nullptr;
    Pending drawn = after_prompt && !agent.question_looked_at && !echo
                        ? drawn_question(line + prompt_length)
                        : Pending::nothing;
    if (echo)
        agent.answer_echo[0] = '\0';
    if (is_question(drawn)) {
        agent.open = true;
        agent.pin_asked = drawn == Pending::pin_question;
    }
    agent.question_looked_at = false;
    agent.after_cancel = agent.canceled;
    agent.canceled = is_cancel_line(line);
    if (agent.canceled) {
        agent.open = agent.question_pending = false;
        agent.answer_echo[0] = '\0';
    }
    if (const char* failure = after_prompt ? failure_words(line + prompt_length) : nullptr) {
        size_t kept = strnlen(failure, sizeof failure_line - 1);
        std::memcpy(failure_line, failure, kept);
        failure_line[kept] = '\0';
        failure_pending = true;
    }
    log_push(line);
    return line;
}

// Answers the question the tool's agent has put, on the tool's input: "0000" to a PIN asked
// while joybond pairs, a refusal that is no PIN to any other PIN, "no" to the rest.
void answer_question(int command_fd) {
    const char* answer = !agent.pin_asked                    ? refusal_answer
                         : monotonic_ms() < agent.pin_until ? pin_answer
                                                             : pin_refusal_answer;
    send_line(command_fd, answer);
    agent.open = agent.question_pending = false;
    agent.answered_at = monotonic_ms();
    size_t length = std::strlen(answer) - 1; // without its newline
    std::memcpy(agent.answer_echo, answer, length);
    agent.answer_echo[length] = '\0';
}

// Answers the questions the tool's agent has put, each followed by the prompt it shows after
// the answer, before a command goes out: the command must never become an answer. What came
// meanwhile is read first (lines before the next command's echo are passed over anyway); a
// question still shown is answered once it counts, one hidden by the main prompt at once.
// After an answer, the command waits until after_answer_ms have passed with no new question.
void answer_questions(int command_fd) {
    if (reply_fd_seen < 0)
        return;
    for (;;) {
        // Everything that came, in as many reads as it takes, its lines handed out. A full
        // buffer is not read into: its next read would end the service.
        for (int waiting = 0;;) {
            compact();
            if (char* newline = pending_newline()) {
                hand_out(newline);
                continue;
            }
            if (fill_end == line_buffer + buffer_size ||
                ioctl(reply_fd_seen, FIONREAD, &waiting) != 0 || waiting == 0)
                break;
            fill_buffer(reply_fd_seen);
        }
        int64_t wait = look_for_question();
        if (!agent.open) {
            int64_t left =
                agent.answered_at < 0 ? 0 : agent.answered_at + after_answer_ms - monotonic_ms();
            if (left <= 0)
                return;
            wait_readable(reply_fd_seen, left); // the asker's next question, if it has one
            continue;
        }
        if (wait > 0) { // shown, and not long enough yet
            wait_readable(reply_fd_seen, wait);
            continue;
        }
        answer_question(command_fd);
        int64_t deadline = reply_deadline;
        reply_deadline = monotonic_ms() + reply_bound_ms;
        while (read_line(reply_fd_seen) != nullptr) {
        }
        reply_deadline = deadline;
    }
}

} // namespace

char* read_line(int fd) {
    reply_fd_seen = fd;
    compact();
    for (;;) {
        fill_buffer(fd);
        if (char* newline = pending_newline())
            return hand_out(newline);
        if (char* mark = find_prompt_mark()) {
            const char* end = skip_trailing_codes(read_start, fill_end);
            prompt_length = std::min(static_cast<size_t>(end - read_start), sizeof prompt_text);
            prompt_mark = static_cast<size_t>(mark - read_start);
            if (prompt_mark >= prompt_length)
                prompt_length = 0; // too long to keep: no line counts as following it
            std::memcpy(prompt_text, read_start, prompt_length);
            *mark = '@';
            agent.canceled = false;
            return nullptr;
        }
        int64_t wait = look_for_question();
        if (wait == 0)
            return nullptr; // a question ends a wait as a prompt does
        // A full buffer gets its next read attempt at once: it asks for zero bytes and fails.
        if (fill_end < line_buffer + buffer_size)
            wait_readable(fd, wait);
    }
}

char* read_reply_line(int fd) {
    for (;;) {
        char* line = read_line(fd);
        if (echo_seen) {
            if (line != nullptr) {
                check_deadline(); // a flood of lines with no prompt is no reply either
                keep_reply_line(line);
            } else if (reply_deadline >= 0) {
                learn_prompt(read_start, static_cast<size_t>(fill_end - read_start));
                reply_deadline = -1;
            }
            return line;
        }
        check_deadline();
        // Before the echo: results and events of earlier commands, and their prompts. The
        // echo only counts once the tool has read the whole command: one printed before that
        // is text inside something else, such as a device's name.
        char* echo = line != nullptr ? std::strstr(line, awaited_echo) : nullptr;
        if (echo == nullptr || !command_taken())
            continue;
        if (!agent.after_cancel && (agent.open || is_question(recognize_pending(line, echo)))) {
            // Asked just as the command went out, the question took the command as its
            // answer (drawn first after the prompt, again after an event, or hidden by the
            // main prompt): the command goes again, and the tool is back at its prompt.
            agent.open = agent.question_pending = false;
            size_t length = std::strlen(awaited_echo);
            awaited_echo[length] = '\n';
            awaited_echo[length + 1] = '\0';
            send_line(awaited_fd, awaited_echo);
            awaited_echo[length] = '\0';
            continue;
        }
        echo_seen = true;
    }
}

void wait_prompt(int fd) {
    while (read_reply_line(fd) != nullptr) {
    }
}

bool take_daemon_lost() {
    bool lost = daemon_lost;
    daemon_lost = false;
    return lost;
}

const char* take_failure_line() {
    if (!failure_pending)
        return nullptr;
    failure_pending = false;
    std::memcpy(failure_taken, failure_line, sizeof failure_taken);
    return failure_taken;
}

void log_push(const char* line) {
    int32_t slot = write_index;
    write_index = (write_index + 1) % log_slots;
    if (write_index == read_index)
        read_index = (write_index + 1) % log_slots;
    size_t length = strnlen(line, log_line_size - 1);
    std::memcpy(recent_log[slot], line, length);
    recent_log[slot][length] = '\0';
}

bool prompt_line(uint64_t hash) {
    return std::find(prompt_heads, prompt_heads + prompt_head_count, hash) !=
           prompt_heads + prompt_head_count;
}

void log_dump() {
    std::fputs("---\n", stdout);
    char shown[4 * log_line_size];
    for (int32_t slot = read_index; slot != write_index; slot = (slot + 1) % log_slots) {
        escape_text(shown, sizeof shown, recent_log[slot], true);
        std::fputs(shown, stdout);
        std::fputc('\n', stdout);
    }
}

void channel_reset() {
    read_start = fill_end = line_buffer;
    write_index = read_index = 0;
    awaited_echo[0] = '\0';
    awaited_fd = -1;
    echo_seen = true;
    reply_deadline = -1;
    agent = AgentState{};
    prompt_length = prompt_mark = 0;
    reply_fd_seen = -1;
    failure_pending = false;
    daemon_lost = false;
    reply_lines[0].count = reply_lines[1].count = 0;
    reply_lines[0].tail = reply_lines[1].tail = 0;
    prompt_head_count = 0;
}
