#include "link/channel.h"

#include "base/failure.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
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

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Where the pending bytes end once trailing colour and erase-line sequences (ESC "[",
// digits and ";", then "m" or "K") are set aside. BlueZ 5.79 and later end the prompt with a
// colour reset; 5.66 ends a prompt it redraws (when the connected device changes) with an
// erase to the end of the line.
char* skip_colour_codes(char* end) {
    while (end > read_start && (end[-1] == 'm' || end[-1] == 'K')) {
        char* p = end - 1;
        while (p > read_start && (is_digit(p[-1]) || p[-1] == ';'))
            --p;
        if (p - read_start < 2 || p[-1] != '[' || p[-2] != '\x1b')
            break;
        end = p - 2;
    }
    return end;
}

// The "#" or ">" of a prompt ending the pending bytes, or nullptr when they hold none.
char* find_prompt_mark() {
    char* end = skip_colour_codes(fill_end);
    if (end - read_start < 3 || end[-1] != ' ' || (end[-2] != '#' && end[-2] != '>'))
        return nullptr;
    return end - 2;
}

// Sleeps until the tool has written more or hung up.
void wait_readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    while (poll(&entry, 1, -1) < 0) {
        if (errno != EINTR)
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
    size_t length = std::strlen(text);
    ssize_t written = write(fd, text, length);
    if (written < 0 || static_cast<size_t>(written) != length)
        exit_failure("Failed to write command\n");
    size_t kept = std::min(std::strcspn(text, "\n"), sizeof awaited_echo - 1);
    std::memcpy(awaited_echo, text, kept);
    awaited_echo[kept] = '\0';
    awaited_fd = fd;
    echo_seen = false;
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
    if (read_start != line_buffer) {
        long pending = fill_end - read_start;
        std::memmove(line_buffer, read_start, static_cast<size_t>(pending));
        read_start = line_buffer;
        fill_end = line_buffer + pending;
    }
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
        // A full buffer gets its next read attempt at once: it asks for zero bytes and fails.
        if (fill_end < line_buffer + buffer_size)
            wait_readable(fd);
    }
}

char* read_reply_line(int fd) {
    for (;;) {
        char* line = read_line(fd);
        if (echo_seen)
            return line;
        // Before the echo: results and events of earlier commands, and their prompts. The
        // echo only counts once the tool has read the whole command: one printed before that
        // is text inside something else, such as a device's name.
        if (line != nullptr && std::strstr(line, awaited_echo) != nullptr && command_taken())
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
    for (int32_t slot = read_index; slot != write_index; slot = (slot + 1) % log_slots) {
        std::fputs(recent_log[slot], stdout);
        std::fputc('\n', stdout);
    }
}

void channel_reset() {
    read_start = fill_end = line_buffer;
    write_index = read_index = 0;
    awaited_echo[0] = '\0';
    awaited_fd = -1;
    echo_seen = true;
}
