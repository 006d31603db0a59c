#include "policy/guard.h"

#include "base/clock.h"
#include "devices/registry.h"
#include "link/channel.h"
#include "link/tool.h"
#include "policy/journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct GuardState {
    int64_t quiet_until = -1; // monotonic milliseconds; -1 for none
};
GuardState guard;

constexpr char quiet_file[] = "quiet-until";

// The path of a file in the state directory the service manager gave joybond (its first
// one), or false when there is none.
bool state_path(char (&path)[256], const char* file) {
    const char* directory = std::getenv("STATE_DIRECTORY");
    if (directory == nullptr || directory[0] != '/')
        return false;
    size_t length = std::strcspn(directory, ":");
    int written = std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(length), directory, file);
    return written > 0 && static_cast<size_t>(written) < sizeof path;
}

// Keeps the quiet time's end for a later run, replacing the file in one rename.
void keep_quiet_time(int64_t left_ms) {
    char path[256], temporary[256 + 8];
    if (!state_path(path, quiet_file))
        return;
    std::snprintf(temporary, sizeof temporary, "%s.new", path);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char text[32];
    int length = std::snprintf(text, sizeof text, "%lld\n", static_cast<long long>(realtime_ms() + left_ms));
    bool written = write(fd, text, static_cast<size_t>(length)) == length;
    if (close(fd) != 0 || !written || rename(temporary, path) != 0)
        unlink(temporary);
}

void start_quiet_time(int64_t now) {
    guard.quiet_until = now + quiet_time_ms;
    keep_quiet_time(quiet_time_ms);
}

} // namespace

void guard_start() {
    char path[256], text[32] = "";
    if (!state_path(path, quiet_file))
        return;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    text[length > 0 ? length : 0] = '\0';
    char* end = nullptr;
    long long until = std::strtoll(text, &end, 10);
    if (end == text || (*end != '\n' && *end != '\0'))
        return;
    // A clock set back (a handheld without a clock of its own) never makes it longer.
    int64_t left = until - realtime_ms();
    if (left > quiet_time_ms)
        left = quiet_time_ms;
    if (left > 0)
        guard.quiet_until = monotonic_ms() + left;
}

void guard_controllers(int command_fd, int reply_fd) {
    for (Device* device = device_list; device != nullptr; device = device->next) {
        if (device->cut_off)
            continue;
        if (device->block_sent != 0 && device->blocked) {
            device->cut_off = 1; // the daemon refuses it now
            journal_cut_off(device);
            continue;
        }
        int64_t now = monotonic_ms();
        bool types = device->is_gaming && device->typing != 0 && !device->blocked;
        if (device->block_sent == 0 ? !types : now - device->block_sent < block_again_ms)
            continue;
        if (device->block_sent == 0) {
            device->could_type = device->typing;
            start_quiet_time(now);
        }
        device->block_sent = now;
        char command[command_size];
        format_command(command, block_verb, device->address);
        send_command(command_fd, command);
        wait_prompt(reply_fd);
    }
}

bool guard_quiet() {
    return guard.quiet_until >= 0 && monotonic_ms() < guard.quiet_until;
}

bool guard_keeps_out(const Device* device) {
    return device->blocked || device->block_sent != 0;
}

void guard_reset() {
    guard = GuardState{};
}
