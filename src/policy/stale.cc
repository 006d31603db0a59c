#include "policy/stale.h"

#include "base/clock.h"
#include "devices/registry.h"
#include "link/channel.h"
#include "link/notices.h"
#include "link/tool.h"
#include "policy/guard.h"
#include "policy/journal.h"
#include "policy/policy.h"

#include <cstring>
#include <initializer_list>

namespace {

// The one device a "connect" went out to lately, or nullptr (none, or several).
Device* device_asked(int64_t now) {
    Device* asked = nullptr;
    for (Device* device = device_list; device != nullptr; device = device->next) {
        if (device->connect_sent == 0 || now - device->connect_sent > connect_answer_ms)
            continue;
        if (asked != nullptr)
            return nullptr;
        asked = device;
    }
    return asked;
}

// Forgets what the pairing gave the record: it goes down the road again once it is listed
// (found anew), its first step due at once; none goes to it before, to the device the daemon
// no longer has. It keeps need_connect, and so its record and its removal's time, for the life
// of the service.
void start_again(Device* device, int64_t now) {
    device_unlist(device);
    device->removed_at = now;
    device->paired = device->trusted = device->connected = 0;
    device->trusted_here = device->probe = device->unproven = 0;
    device->need_connect = 1;
    device->progress = 0;
    device->pairing_since = device->connect_sent = 0;
    device->step_due = device->pause_ms = 0;
    device->journaled = 0; // named as a new controller when it is found again
}

// Whether the pairing is one that may be removed: a controller's, paired and not usable, not
// made in this run and unproven since, not kept out by the guard, nor removed lately.
bool removable(const Device* device, int64_t now) {
    return device->is_gaming && device->paired && !device->unproven && !controller_usable(device) &&
           !guard_keeps_out(device) &&
           (device->removed_at == 0 || now - device->removed_at >= remove_again_after_ms);
}

void remove_pairing(int command_fd, int reply_fd, Device* device, int64_t now, const char* why) {
    char command[command_size];
    format_command(command, remove_verb, device->address);
    for (const char* line : {static_cast<const char*>(command), scan_off_command, scan_command}) {
        send_command(command_fd, line);
        wait_prompt(reply_fd);
    }
    journal_removed(device, why);
    start_again(device, now);
}

} // namespace

void mend_stale_pairings(int command_fd, int reply_fd) {
    int64_t now = monotonic_ms();
    bool up = false;
    int64_t at = 0;
    while (const char* address = take_link_event(&up, &at))
        if (Device* device = device_find(address))
            (up ? device->link_up_at : device->link_down_at) = at;
    for (Device* device = device_list; device != nullptr; device = device->next)
        if (device->le_only && device->connected && device->link_up_at != 0 &&
            now - device->link_up_at >= le_keys_wait_ms && device_listed(device) &&
            removable(device, now))
            remove_pairing(
                command_fd, reply_fd, device, now,
                "its link came up, but it never became usable: the keys no longer match");
    const char* failure = take_connect_failure();
    if (failure == nullptr)
        return;
    Device* device = device_asked(now);
    if (device == nullptr)
        return;
    bool key_missing = std::strstr(failure, "key-missing") != nullptr;
    bool answered = device->link_down_at >= device->connect_sent;
    device->connect_sent = 0;
    if ((key_missing || answered) && removable(device, now))
        remove_pairing(command_fd, reply_fd, device, now,
                       key_missing
                           ? "its connect failed for a missing key"
                           : "it answered, but its connect failed: the keys no longer match");
}
