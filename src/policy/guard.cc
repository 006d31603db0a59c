#include "policy/guard.h"

#include "base/clock.h"
#include "devices/registry.h"
#include "link/channel.h"
#include "link/tool.h"
#include "policy/journal.h"

namespace {

int64_t quiet_until = -1;

} // namespace

void guard_controllers(int command_fd, int reply_fd) {
    for (Device* device = device_list; device != nullptr; device = device->next) {
        if (!device->stepped || device->cut_off || device->typing == 0)
            continue;
        char command[command_size];
        format_command(command, block_verb, device->address);
        send_command(command_fd, command);
        wait_prompt(reply_fd);
        device->cut_off = 1;
        quiet_until = monotonic_ms() + quiet_time_ms;
        journal_cut_off(device);
    }
}

bool guard_quiet() {
    return quiet_until >= 0 && monotonic_ms() < quiet_until;
}

void guard_reset() {
    quiet_until = -1;
}
