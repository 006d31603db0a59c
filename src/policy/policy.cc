#include "policy/policy.h"

#include "base/notify.h"
#include "base/text.h"
#include "link/channel.h"
#include "link/tool.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The limits of the status text. The "Trusting" and "Pairing" lines stop one byte short of the
// buffer (their text ends at 4094 bytes at most), while the "Connecting" lines and the
// connected part may fill it up to 4095: readers that compare a cut status text byte for byte
// have always seen it cut this way, so the two limits stay as they are.
constexpr size_t short_limit = status_text_size - 1;
constexpr size_t full_limit = status_text_size;

// Sends "<verb> <address>" and waits for the prompt; the reply is not examined.
void send_step(int command_fd, int reply_fd, const char* verb, const Device* device) {
    char command[command_size];
    format_command(command, verb, device->address);
    send_command(command_fd, command);
    wait_prompt(reply_fd);
}

// The umask and whether joybond runs as root, read at the first status file: they stay as
// they were when the service began writing. (Plain state rather than a function's static, which
// would pull in the C++ runtime's guards.)
bool identity_read = false;
mode_t status_umask = 0;
bool as_root = false;

void read_identity() {
    status_umask = umask(0);
    umask(status_umask);
    as_root = geteuid() == 0;
    identity_read = true;
}

} // namespace

Step next_step(const Device* device) {
    if (!device_listed(device) || !device->is_gaming)
        return Step::none;
    if (!device->trusted)
        return Step::trust;
    if (!device->paired)
        return Step::pair;
    if (device->connected)
        return Step::connected;
    return device->need_connect ? Step::connect : Step::none;
}

size_t append_format(char* buffer, size_t limit, const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = strnlen(buffer, limit);
    int added;
    if (length == limit)
        added = std::vsnprintf(nullptr, 0, format, args);
    else
        added = std::vsnprintf(buffer + length, limit - length, format, args);
    va_end(args);
    return length + static_cast<size_t>(added > 0 ? added : 0);
}

void compose_status(const Device* first, char (&text)[status_text_size]) {
    char connected_text[status_text_size] = "";
    unsigned actions = 0;
    unsigned connected_count = 0;
    text[0] = '\0';
    // A name, escaped, is at most four times as long as it is.
    char label[4 * sizeof first->name];
    for (const Device* device = first; device != nullptr; device = device->next) {
        Step step = next_step(device);
        if (step == Step::none)
            continue;
        escape_text(label, sizeof label, device_label(device));
        switch (step) {
        case Step::trust:
            ++actions;
            append_format(text, short_limit, "Trusting %s...\n", label);
            break;
        case Step::pair:
            ++actions;
            append_format(text, short_limit, "Pairing %s...\n", label);
            break;
        case Step::connected:
            ++connected_count;
            append_format(connected_text, full_limit, "Connected %s...", label);
            break;
        case Step::connect:
            ++actions;
            append_format(text, full_limit, "Connecting %s...\n", label);
            break;
        case Step::none:
            break;
        }
    }
    text[status_text_size - 1] = '\0';
    connected_text[status_text_size - 1] = '\0';

    if (actions == 0 && connected_count == 0)
        std::snprintf(text, status_text_size, "Bluetooth scanning...\n");
    else if (actions == 0 && connected_count == 1)
        std::snprintf(text, status_text_size, "%s", connected_text);
    else if (actions == 0)
        std::snprintf(text, status_text_size, "Connected %u devices", connected_count);
    else if (connected_count == 1)
        append_format(text, full_limit, "%s", connected_text);
    else if (connected_count > 1)
        append_format(text, full_limit, "Connected %u devices", connected_count);
}

void write_status_file(const char* text) {
    // A new file of our own under an unpredictable name (created exclusively, so never
    // through a link someone planted), then renamed over the status path in one step.
    char temporary[] = "/tmp/.blue.msg.XXXXXX";
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd < 0)
        return;
    if (!identity_read)
        read_identity();
    size_t length = std::strlen(text);
    bool written = write(fd, text, length) == static_cast<ssize_t>(length) &&
                   fchmod(fd, 0644 & ~status_umask) == 0;
    // Run by root (by hand, say), keep the owner of the file it replaces, so that the service
    // running as a user of its own can still replace it in the sticky /tmp.
    struct stat current {};
    if (written && as_root && lstat(status_file_path, &current) == 0 && S_ISREG(current.st_mode) &&
        current.st_uid != 0)
        written = fchown(fd, current.st_uid, current.st_gid) == 0;
    if (close(fd) != 0 || !written || rename(temporary, status_file_path) != 0)
        unlink(temporary);
}

void manage_devices(int command_fd, int reply_fd) {
    for (Device* device = device_list; device != nullptr; device = device->next) {
        switch (next_step(device)) {
        case Step::trust:
            send_step(command_fd, reply_fd, trust_verb, device);
            break;
        case Step::pair:
            device->need_connect = 1; // set before "pair" goes out, for good
            send_step(command_fd, reply_fd, pair_verb, device);
            break;
        case Step::connect:
            send_step(command_fd, reply_fd, connect_verb, device);
            break;
        case Step::connected:
        case Step::none:
            break;
        }
    }
    char text[status_text_size];
    compose_status(device_list, text);
    write_status_file(text);
    notify_status(text);
}
