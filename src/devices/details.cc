#include "devices/details.h"

#include "link/channel.h"
#include "link/tool.h"

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

// The state keys, tested in this order on every line: where one line holds both forms of a
// key, the "no" form comes last and wins.
struct StateKey {
    const char* key;
    int32_t Device::*field;
    int32_t value;
};
constexpr StateKey state_keys[] = {
    {"Icon: input-gaming", &Device::is_gaming, 1}, // never set back to 0
    {"Paired: yes", &Device::paired, 1},           {"Paired: no", &Device::paired, 0},
    {"Trusted: yes", &Device::trusted, 1},         {"Trusted: no", &Device::trusted, 0},
    {"Connected: yes", &Device::connected, 1},     {"Connected: no", &Device::connected, 0},
};

} // namespace

void refresh_info(int command_fd, int reply_fd) {
    char command[command_size];
    for (Device* device = device_list; device != nullptr; device = device->next) {
        format_command(command, info_verb, device->address);
        send_command(command_fd, command);
        while (const char* line = read_line(reply_fd))
            parse_info_line(device, line);
    }
}

void parse_info_line(Device* device, const char* line) {
    if (const char* name = find_key(line, "Name:"))
        copy_name(device, name + 5);
    for (const StateKey& state : state_keys)
        if (find_key(line, state.key))
            device->*state.field = state.value;
}
