#include "devices/adapter.h"

#include "base/text.h"
#include "link/channel.h"
#include "link/prompt_lines.h"
#include "link/tool.h"

#include <cstring>
#include <iterator>

namespace {

constexpr const char* adapter_keys[] = {"\tPowered:", "\tDiscovering:"};

int32_t yes_no(const char* value) {
    if (std::strcmp(value, " yes") == 0)
        return 1;
    return std::strcmp(value, " no") == 0 ? 0 : -1;
}

} // namespace

AdapterState read_adapter(int command_fd, int reply_fd) {
    AdapterState state{-1, -1, -1};
    int32_t values[2] = {-1, -1};
    uint32_t seen = 0;
    uint64_t strays[8];
    size_t stray_count = 0;
    bool ended = false;
    bool doubtful = false;
    int lines = 0;
    send_command(command_fd, show_command);
    while (const char* line = read_reply_line(reply_fd)) {
        if (lines++ == 0) {
            if (std::strcmp(line, "No default controller available") == 0)
                state.present = 0;
            else if (std::strncmp(line, "Controller ", 11) == 0 && strnlen(line, 29) > 29 - 1 &&
                     line[28] == ' ')
                state.present = 1;
            else
                doubtful = true;
            continue;
        }
        if (line[0] != '\t' && line[0] != ' ') {
            ended = true;
            continue;
        }
        for (int key = 0; key < 2; ++key) {
            size_t length = std::strlen(adapter_keys[key]);
            if (std::strncmp(line, adapter_keys[key], length) != 0)
                continue;
            if (ended) {
                // After the reply: a line of the tool's prompt, or else doubt.
                if (stray_count == std::size(strays))
                    doubtful = true;
                else
                    strays[stray_count++] = text_hash(line, std::strlen(line));
            } else {
                doubtful = doubtful || (seen & (1u << key)) != 0 || state.present != 1;
                seen |= 1u << key;
                values[key] = yes_no(line + length);
            }
        }
    }
    for (size_t i = 0; i < stray_count; ++i)
        doubtful = doubtful || !prompt_line(strays[i]);
    if (doubtful)
        return AdapterState{-1, -1, -1};
    state.powered = values[0];
    state.discovering = values[1];
    return state;
}
