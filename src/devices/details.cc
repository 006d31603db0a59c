#include "devices/details.h"

#include "link/channel.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// The first place the key stands in the line with no "." right before it, or nullptr.
const char* find_key(const char* line, const char* key) {
    for (const char* at = std::strstr(line, key); at != nullptr; at = std::strstr(at + 1, key))
        if (at == line || at[-1] != '.')
            return at;
    return nullptr;
}

void copy_name(Device* device, const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    size_t length = strnlen(text, sizeof device->name - 1);
    std::memcpy(device->name, text, length);
    device->name[length] = '\0';
}

} // namespace

void refresh_info(int command_fd, int reply_fd) {
    char command[128];
    for (Device* device = device_list; device != nullptr; device = device->next) {
        std::snprintf(command, sizeof command, "info %s\n", device->address);
        send_command(command_fd, command);
        while (const char* line = read_line(reply_fd))
            parse_info_line(device, line);
    }
}

void parse_info_line(Device* device, const char* line) {
    if (const char* name = find_key(line, "Name:"))
        copy_name(device, name + 5);
    if (find_key(line, "Icon: input-gaming"))
        device->is_gaming = 1;
    if (find_key(line, "Paired: yes"))
        device->paired = 1;
    if (find_key(line, "Paired: no"))
        device->paired = 0;
    if (find_key(line, "Trusted: yes"))
        device->trusted = 1;
    if (find_key(line, "Trusted: no"))
        device->trusted = 0;
    if (find_key(line, "Connected: yes"))
        device->connected = 1;
    if (find_key(line, "Connected: no"))
        device->connected = 0;
}
