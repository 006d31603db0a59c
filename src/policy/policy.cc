#include "policy/policy.h"

#include "base/clock.h"
#include "base/notify.h"
#include "base/text.h"
#include "devices/inputs.h"
#include "link/channel.h"
#include "link/tool.h"
#include "policy/guard.h"

#include <algorithm>
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
void send_step(int command_fd, int reply_fd, const char* verb, Device* device) {
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

// Its input device coming or going is no progress: one that goes as the link goes (a pad
// switched off) would make two steps due at once, the first while the daemon still tears the
// link down. Nor is a link that comes or goes before the device is paired: a pairing brings
// its link up first and says "Paired: yes" only once it is done (on LE, seconds later, after
// encryption and reading the services), so the link coming up would send "pair" again into
// the pairing under way (a failure in the journal for a pairing that succeeds, or a page of
// the device on BR/EDR that holds the radio for seconds).
uint32_t progress_of(const Device* device) {
    return (device->trusted ? 1u : 0u) | (device->paired ? 2u : 0u) |
           (device->paired && device->connected ? 4u : 0u);
}

// Brings the device's schedule up to date with what this cycle found.
void update_schedule(Device* device, int64_t now) {
    uint32_t progress = progress_of(device);
    if (progress != device->progress) {
        // The link alone came up, the device paired before: a pad switched on brings up its
        // HID channels over it at once, and a "connect" now would cross them.
        bool link_alone = (progress ^ device->progress) == 4u && (progress & 4u) != 0;
        device->progress = progress;
        device->pause_ms = 0;
        device->step_due = link_alone ? now + link_settle_ms : 0;
        if (device->paired && device->pairing_since != 0)
            device->unproven = 1; // new keys, not yet shown to work
        if (device->paired)
            device->pairing_since = 0;
    }
    if (controller_usable(device))
        device->unproven = 0;
    // Paired, away, and found by discovery: in pairing mode again, perhaps with keys for
    // another machine. One "connect" tells.
    if (device->found) {
        device->found = 0;
        if (device->paired && !device->connected && !device->need_connect && !device->le_only)
            device->probe = 1;
    }
    if (device->back) {
        device->back = 0;
        device->pause_ms = 0;
        if (device->step_sent != 0)
            device->step_due = std::min(device->step_due, device->step_sent + first_pause_ms);
        if (device->given_up) {
            device->given_up = 0;
            device->pairing_since = device->step_due = 0;
        }
    }
}

// Whether the device's step may go now; if so, the pause after it is set.
bool take_due_step(Device* device, int64_t now) {
    if (now < device->step_due)
        return false;
    device->pause_ms =
        device->pause_ms == 0 ? first_pause_ms : std::min(2 * device->pause_ms, longest_pause_ms);
    device->step_sent = now;
    device->step_due = now + device->pause_ms;
    return true;
}

void give_up(int command_fd, int reply_fd, Device* device) {
    if (device->trusted_here && device->trusted)
        send_step(command_fd, reply_fd, untrust_verb, device);
    device->trusted_here = device->need_connect = 0;
    device->given_up = 1;
}

} // namespace

bool controller_usable(const Device* device) {
    // Where no input device can be seen at all, the link alone tells (the journal says so).
    return device->connected && (device->input || !(inputs_sight() & sees_sysfs));
}

Step next_step(const Device* device) {
    if (!device_listed(device) || !device->is_gaming || device->given_up || guard_keeps_out(device))
        return Step::none;
    if (guard_quiet() && (!device->trusted || !device->paired))
        return Step::waits;
    if (!device->trusted)
        return Step::trust;
    // A link up before it is paired, in a pairing joybond did not start: one under way that
    // a "pair" would cross (an LE device that its pairing moved to its identity address,
    // listed anew), or someone else's. Joybond's own keeps its schedule.
    if (!device->paired && device->connected && device->pairing_since == 0)
        return Step::none;
    if (!device->paired)
        return Step::pair;
    if (controller_usable(device))
        return Step::connected;
    if (device->le_only && !device->connected)
        return device->need_connect ? Step::awaited : Step::none;
    // Connected without an input device: the link pairing left up carries no HID channel yet.
    return device->need_connect || device->probe ? Step::connect : Step::none;
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
    for (const Device* device = first; device != nullptr; device = device->next) {
        if (next_step(device) == Step::waits) { // one line for them all, first
            append_format(text, short_limit, "%s", quiet_status_line);
            ++actions;
            break;
        }
    }
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
        case Step::awaited:
            ++actions;
            append_format(text, full_limit, "Connecting %s...\n", label);
            break;
        case Step::waits:
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
    int64_t now = monotonic_ms();
    for (Device* device = device_list; device != nullptr; device = device->next) {
        if (device_listed(device))
            update_schedule(device, now);
        Step step = next_step(device);
        if (step == Step::pair && device->pairing_since != 0 &&
            now - device->pairing_since >= give_up_after_ms) {
            give_up(command_fd, reply_fd, device);
            continue;
        }
        if (step != Step::trust && step != Step::pair && step != Step::connect)
            continue;
        if (!take_due_step(device, now))
            continue; // it keeps its status line meanwhile
        switch (step) {
        case Step::trust:
            device->trusted_here = 1;
            send_step(command_fd, reply_fd, trust_verb, device);
            break;
        case Step::pair:
            device->need_connect = 1; // set before "pair" goes out, until joybond gives up
            if (device->pairing_since == 0)
                device->pairing_since = now;
            send_step(command_fd, reply_fd, pair_verb, device);
            break;
        case Step::connect:
            device->probe = 0;
            device->connect_sent = now;
            send_step(command_fd, reply_fd, connect_verb, device);
            break;
        case Step::connected:
        case Step::awaited:
        case Step::waits:
        case Step::none:
            break;
        }
    }
    char text[status_text_size];
    compose_status(device_list, text);
    write_status_file(text);
    notify_status(text);
}
