#include "devices/discovery.h"

#include "devices/registry.h"
#include "link/channel.h"
#include "link/tool.h"

#include <cctype>
#include <cstring>

void refresh_devices(int command_fd, int reply_fd) {
    send_command(command_fd, list_command);
    device_start_listing();
    while (char* line = read_reply_line(reply_fd))
        parse_device_line(line);
    device_forget_unlisted();
}

void parse_device_line(char* line) {
    if (std::strncmp(line, "Device ", 7) != 0)
        return;
    // Each test stops at the first failing byte, so nothing past the line's NUL is read.
    for (int pair = 0; pair < 6; ++pair) {
        const char* digits = line + 7 + 3 * pair;
        if (!std::isxdigit(static_cast<unsigned char>(digits[0])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[1])))
            return;
        if (pair < 5 && digits[2] != ':')
            return;
    }
    line[24] = '\0';
    device_find_or_add(line + 7);
}
