#include "link/channel.h"

#include "base/clock.h"
#include "base/failure.h"
#include "base/notify.h"
#include "base/text.h"
#include "link/agent.h"
#include "link/notices.h"
#include "link/prompt_lines.h"
#include "link/screen.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr long buffer_size = 8192;
char line_buffer[buffer_size];
char* read_start = line_buffer;
char* fill_end = line_buffer;
int reply_fd_seen = -1; // where the tool's output comes from

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

constexpr char answered_mark = '?'; // replaces the ":" of a question counted, as "@" a prompt's mark

void check_deadline() {
    if (reply_deadline >= 0 && monotonic_ms() >= reply_deadline)
        exit_failure("Failed to get a reply from bluetoothctl\n");
}

// Keeps the main prompt that ends the pending bytes as the one last seen, and marks it (its
// "#" or ">" becomes "@"), so that it ends one wait only.
void take_prompt() {
    const char* end = skip_trailing_codes(read_start, fill_end);
    char* mark = const_cast<char*>(end) - 2;
    keep_prompt(read_start, end, mark);
    *mark = '@';
    agent_see_prompt();
}

// Looks at what the partial line pending shows, for the tool's notices and the agent's
// question; a question that counts now is marked, so that it counts once. Returns as
// agent_look does.
int64_t look_at_pending(Pending shown) {
    notice_pending(shown);
    bool blank = skip_leading_codes(read_start, fill_end) == fill_end;
    int64_t wait = agent_look(shown, blank, monotonic_ms());
    if (wait == 0)
        const_cast<char*>(skip_trailing_codes(read_start, fill_end))[-2] = answered_mark;
    return wait;
}

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

void compact() {
    if (read_start != line_buffer) {
        long pending = fill_end - read_start;
        std::memmove(line_buffer, read_start, static_cast<size_t>(pending));
        read_start = line_buffer;
        fill_end = line_buffer + pending;
    }
}

// Hands out the line from read_start to the newline at its end, showing the agent and the
// notices what follows the main prompt as it was last seen, when the line begins with it.
char* hand_out(char* newline) {
    *newline = '\0';
    char* line = read_start;
    read_start = newline + 1;
    const char* rest = after_prompt(line, static_cast<size_t>(newline - line));
    agent_see_line(line, rest);
    notice_line(rest);
    log_push(line);
    return line;
}

// Answers the questions the tool's agent has put, each followed by the prompt it shows after
// the answer, before a command goes out: the command must never become an answer. What came
// meanwhile is read first (lines before the next command's echo are passed over anyway); a
// question still shown is answered once it counts, one hidden by the main prompt at once.
// After an answer, the command waits out the agent's hold with no new question.
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
        int64_t wait = look_at_pending(recognize_pending(read_start, fill_end));
        if (!agent_question_open()) {
            int64_t left = agent_hold_ms(monotonic_ms());
            if (left <= 0)
                return;
            wait_readable(reply_fd_seen, left); // the asker's next question, if it has one
            continue;
        }
        if (wait > 0) { // shown, and not long enough yet
            wait_readable(reply_fd_seen, wait);
            continue;
        }
        send_line(command_fd, agent_answer(monotonic_ms()));
        int64_t deadline = reply_deadline;
        reply_deadline = monotonic_ms() + reply_bound_ms;
        while (read_line(reply_fd_seen) != nullptr) {
        }
        reply_deadline = deadline;
    }
}

} // namespace

void send_command(int fd, const char* text) {
    answer_questions(fd);
    agent_see_command(text, monotonic_ms());
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

char* read_line(int fd) {
    reply_fd_seen = fd;
    compact();
    for (;;) {
        fill_buffer(fd);
        if (char* newline = pending_newline())
            return hand_out(newline);
        Pending shown = recognize_pending(read_start, fill_end);
        if (shown == Pending::prompt) {
            take_prompt();
            return nullptr;
        }
        int64_t wait = look_at_pending(shown);
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
                learn_prompt_lines(read_start, static_cast<size_t>(fill_end - read_start));
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
        if (agent_took_command(line, echo)) {
            // Asked just as the command went out, the question took the command as its
            // answer (drawn first after the prompt, again after an event, or hidden by the
            // main prompt): the command goes again, and the tool is back at its prompt.
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

void log_push(const char* line) {
    int32_t slot = write_index;
    write_index = (write_index + 1) % log_slots;
    if (write_index == read_index)
        read_index = (write_index + 1) % log_slots;
    size_t length = strnlen(line, log_line_size - 1);
    std::memcpy(recent_log[slot], line, length);
    recent_log[slot][length] = '\0';
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
    reply_fd_seen = -1;
    agent_reset();
    reset_notices();
    reset_prompt_lines();
}
