#include "link/channel.h"

#include "base/clock.h"
#include "base/failure.h"
#include "base/notify.h"
#include "base/text.h"
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
char awaited_echo[128] = "";
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

// A question of the tool's agent is pending: the pending bytes end with its prompt, which
// takes the next line of input as the answer. A PIN is asked while joybond pairs (the only
// pairing it starts): until pin_until (monotonic milliseconds) after its last "pair".
bool question_pending = false;
bool pin_asked = false;
int64_t pin_until = -1;
constexpr int64_t pin_window_ms = 20000;
constexpr int question_settle_ms = 100;
constexpr char question_mark = '?';
int reply_fd_seen = -1; // where the tool's output comes from

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

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Where the text from begin to end ends once trailing colour and erase-line sequences (ESC
// "[", digits and ";", then "m" or "K") are set aside. BlueZ 5.79 and later end the prompt
// with a colour reset; 5.66 ends a prompt it redraws (when the connected device changes)
// with an erase to the end of the line.
char* skip_colour_codes(char* begin, char* end) {
    while (end > begin && (end[-1] == 'm' || end[-1] == 'K')) {
        char* p = end - 1;
        while (p > begin && (is_digit(p[-1]) || p[-1] == ';'))
            --p;
        if (p - begin < 2 || p[-1] != '[' || p[-2] != '\x1b')
            break;
        end = p - 2;
    }
    return end;
}

// The "#" or ">" of a prompt ending the pending bytes, or nullptr when they hold none.
char* find_prompt_mark() {
    char* end = skip_colour_codes(read_start, fill_end);
    if (end - read_start < 3 || end[-1] != ' ' || (end[-2] != '#' && end[-2] != '>'))
        return nullptr;
    return end - 2;
}

// The colour codes (ESC "[" digits "m") that begin the bytes from p to end, passed over.
char* skip_leading_colours(char* p, char* end) {
    while (end - p >= 3 && p[0] == '\x1b' && p[1] == '[') {
        char* q = p + 2;
        while (q < end && (is_digit(*q) || *q == ';'))
            ++q;
        if (q == end || *q != 'm')
            break;
        p = q + 1;
    }
    return p;
}

// Whether the text from begin to end ends with a question of the tool's agent: after its
// last carriage return, "[agent] " and the question, ending in ": " (or "? " once seen),
// colour codes around. Sets pin_asked when it asks for a PIN.
bool ends_with_question(char* begin, char* end) {
    end = skip_colour_codes(begin, end);
    if (end - begin < 3 || end[-1] != ' ' || (end[-2] != ':' && end[-2] != question_mark))
        return false;
    char* start = end;
    while (start > begin && start[-1] != '\r')
        --start;
    if (start == begin)
        return false;
    start = skip_leading_colours(start, end);
    constexpr char label[] = "[agent] ";
    constexpr char pin[] = "Enter PIN code";
    size_t length = static_cast<size_t>(end - start);
    if (length < sizeof label - 1 || std::memcmp(start, label, sizeof label - 1) != 0)
        return false;
    pin_asked = length == sizeof label - 1 + sizeof pin + 1 &&
                std::memcmp(start + sizeof label - 1, pin, sizeof pin - 1) == 0;
    return true;
}

// Whether the pending bytes end with a question of the tool's agent. Only the tool's own
// agent prompt leaves such text pending: names are printed in whole lines, and the main
// prompt, which may hold one, ends in "# " or "> ". Its ":" becomes "?" (a main prompt's mark
// is "@"), so that it is seen once.
bool find_question() {
    char* end = skip_colour_codes(read_start, fill_end);
    if (end - read_start < 3 || end[-2] != ':' || !ends_with_question(read_start, fill_end))
        return false;
    // The tool writes a prompt in pieces: one that only passes through such text (a default
    // device's name) goes on within moments. A question stays.
    pollfd entry{reply_fd_seen, POLLIN, 0};
    if (poll(&entry, 1, question_settle_ms) != 0)
        return false;
    end[-2] = question_mark;
    return true;
}

void answer_questions(int command_fd);

// Sleeps until the tool has written more or hung up, or the reply's time is up.
void wait_readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        check_deadline();
        // A wait keeps systemd's watchdog fed: waiting, even for a Bluetooth daemon that is
        // not there yet, is no hang.
        notify_watchdog();
        int timeout = notify_interval_ms();
        if (reply_deadline >= 0) {
            int left = static_cast<int>(std::max<int64_t>(0, reply_deadline - monotonic_ms()));
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        int ready = poll(&entry, 1, timeout);
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            exit_failure("Failed to poll reply\n");
    }
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
        pin_until = monotonic_ms() + pin_window_ms;
    size_t length = std::strlen(text);
    ssize_t written = write(fd, text, length);
    if (written < 0 || static_cast<size_t>(written) != length)
        exit_failure("Failed to write command\n");
    size_t kept = std::min(std::strcspn(text, "\n"), sizeof awaited_echo - 1);
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

// Answers the pending question on the tool's input: "0000" to a PIN asked while joybond
// pairs, "no" to anything else.
void answer_question(int command_fd) {
    const char* answer = pin_asked && monotonic_ms() < pin_until ? pin_answer : refusal_answer;
    size_t length = std::strlen(answer);
    if (write(command_fd, answer, length) != static_cast<ssize_t>(length))
        exit_failure("Failed to write command\n");
    question_pending = false;
}

// Answers the questions the tool's agent has put, each followed by the prompt it shows after
// the answer, before a command goes out: the command must never become an answer.
void answer_questions(int command_fd) {
    if (reply_fd_seen < 0)
        return;
    if (!question_pending) { // what came during the sleep, the question among it
        compact();
        // Read only what leaves room in the buffer: a full one would end the next read.
        int waiting = 0;
        if (ioctl(reply_fd_seen, FIONREAD, &waiting) == 0 && waiting > 0 &&
            waiting < line_buffer + buffer_size - fill_end)
            fill_buffer(reply_fd_seen);
        question_pending = find_question();
    }
    while (question_pending) {
        answer_question(command_fd);
        reply_deadline = monotonic_ms() + reply_bound_ms;
        while (read_line(reply_fd_seen) != nullptr) {
        }
        reply_deadline = -1;
    }
}

} // namespace

char* read_line(int fd) {
    reply_fd_seen = fd;
    compact();
    for (;;) {
        fill_buffer(fd);
        auto* newline = static_cast<char*>(
            std::memchr(read_start, '\n', static_cast<size_t>(fill_end - read_start)));
        if (newline != nullptr) {
            *newline = '\0';
            char* line = read_start;
            read_start = newline + 1;
            log_push(line);
            return line;
        }
        if (char* mark = find_prompt_mark()) {
            *mark = '@';
            return nullptr;
        }
        if (find_question()) {
            question_pending = true;
            return nullptr;
        }
        // A full buffer gets its next read attempt at once: it asks for zero bytes and fails.
        if (fill_end < line_buffer + buffer_size)
            wait_readable(fd);
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
        if (ends_with_question(line, echo)) {
            // Asked just as the command went out, the question took the command as its
            // answer (a question seen before the echo is left to that): the command goes
            // again, and the tool is back at its prompt.
            question_pending = false;
            size_t length = std::strlen(awaited_echo);
            awaited_echo[length] = '\n';
            ssize_t written = write(awaited_fd, awaited_echo, length + 1);
            awaited_echo[length] = '\0';
            if (written != static_cast<ssize_t>(length + 1))
                exit_failure("Failed to write command\n");
            continue;
        }
        echo_seen = true;
    }
}

void wait_prompt(int fd) {
    while (read_reply_line(fd) != nullptr) {
    }
}

namespace {
char failure_line[128];
bool failure_pending = false;
char failure_taken[128];
} // namespace

const char* take_failure_line() {
    if (!failure_pending)
        return nullptr;
    failure_pending = false;
    std::memcpy(failure_taken, failure_line, sizeof failure_taken);
    return failure_taken;
}

void log_push(const char* line) {
    // The client's failure lines for the policy's steps.
    for (const char* words : {"Failed to pair", "Failed to connect", "Failed to set trust"}) {
        if (const char* failure = std::strstr(line, words)) {
            size_t length = strnlen(failure, sizeof failure_line - 1);
            std::memcpy(failure_line, failure, length);
            failure_line[length] = '\0';
            failure_pending = true;
        }
    }
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
    question_pending = pin_asked = false;
    pin_until = -1;
    reply_fd_seen = -1;
    failure_pending = false;
    reply_lines[0].count = reply_lines[1].count = 0;
    reply_lines[0].tail = reply_lines[1].tail = 0;
    prompt_head_count = 0;
}
