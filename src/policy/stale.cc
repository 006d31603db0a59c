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

// Forgets what the pairing gave the record: it goes down the road again once it is listed.
// It keeps need_connect, and so its record and its removal's time, for the life of the service.
void start_again(Device* device, int64_t now) {
    device->removed_at = now;
    device->paired = device->trusted = device->connected = 0;
    device->trusted_here = device->probe = device->unproven = 0;
    device->need_connect = 1;
    device->progress = 0;
    device->pairing_since = device->connect_sent = 0;
    device->step_due = device->pause_ms = 0;
    device->journaled = 0; // named as a new controller when it is found again
}

} // namespace

void mend_stale_pairings(int command_fd, int reply_fd) {
    int64_t now = monotonic_ms();
    while (const char* address = take_link_event())
        if (Device* device = device_find(address))
            device->link_seen_at = now;
    const char* failure = take_connect_failure();
    if (failure == nullptr)
        return;
    Device* device = device_asked(now);
    if (device == nullptr)
        return;
    bool key_missing = std::strstr(failure, "key-missing") != nullptr;
    bool answered = device->link_seen_at >= device->connect_sent;
    device->connect_sent = 0;
    if (!(key_missing || answered) || !device->is_gaming || !device->paired ||
        device->unproven || controller_usable(device) || guard_keeps_out(device))
        return;
    if (device->removed_at != 0 && now - device->removed_at < remove_again_after_ms)
        return;
    char command[command_size];
    format_command(command, remove_verb, device->address);
    for (const char* line : {static_cast<const char*>(command), scan_off_command, scan_command}) {
        send_command(command_fd, line);
        wait_prompt(reply_fd);
    }
    journal_removed(device, key_missing ? "its connect failed for a missing key"
                                        : "it answered, but its connect failed: the keys no longer match");
    start_again(device, now);
}
