#include "policy/policy.h"

#include "devices/registry.h"
#include "link/channel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t text_size = 4096;

// Sends "<verb> <address>\n" and waits for the prompt; the reply is not examined.
void send_and_wait(int command_fd, int reply_fd, const char* verb, const Device* device) {
    char command[128];
    std::snprintf(command, sizeof command, "%s %s\n", verb, device->address);
    send_command(command_fd, command);
    wait_prompt(reply_fd);
}

} // namespace

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

void write_status_file(const char* text) {
    int fd = open(status_file_path,
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, text, std::strlen(text));
    (void)ignored;
    close(fd);
}

void manage_devices(int command_fd, int reply_fd) {
    char status_text[text_size] = "";
    char connected_text[text_size] = "";
    unsigned actions = 0;
    unsigned connected_count = 0;

    for (Device* device = device_list; device != nullptr; device = device->next) {
        const char* label = device_label(device);
        if (!device->is_gaming)
            continue;
        if (!device->trusted) {
            send_and_wait(command_fd, reply_fd, "trust", device);
            ++actions;
            append_format(status_text, text_size - 1, "Trusting %s...\n", label);
        } else if (!device->paired) {
            device->need_connect = 1;
            send_and_wait(command_fd, reply_fd, "pair", device);
            ++actions;
            append_format(status_text, text_size - 1, "Pairing %s...\n", label);
        } else if (device->connected) {
            append_format(connected_text, text_size, "Connected %s...", label);
            ++connected_count;
        } else if (device->need_connect) {
            send_and_wait(command_fd, reply_fd, "connect", device);
            ++actions;
            append_format(status_text, text_size, "Connecting %s...\n", label);
        }
    }
    status_text[text_size - 1] = '\0';
    connected_text[text_size - 1] = '\0';

    if (actions == 0 && connected_count == 0)
        std::snprintf(status_text, text_size, "Bluetooth scanning...\n");
    else if (actions == 0 && connected_count == 1)
        std::snprintf(status_text, text_size, "%s", connected_text);
    else if (actions == 0)
        std::snprintf(status_text, text_size, "Connected %u devices", connected_count);
    else if (connected_count == 1)
        append_format(status_text, text_size, "%s", connected_text);
    else if (connected_count > 1)
        append_format(status_text, text_size, "Connected %u devices", connected_count);
    write_status_file(status_text);
}
