#include "policy/journal.h"

#include "base/clock.h"
#include "base/failure.h"
#include "base/text.h"
#include "devices/inputs.h"
#include "devices/registry.h"
#include "link/notices.h"
#include "policy/policy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

bool to_journal = false;

// The last failure line written, when, and the same text seen since without being written.
uint64_t failure_hash = 0;
int64_t failure_at = 0;
unsigned failure_repeats = 0;
constexpr int64_t failure_every_ms = 60000;

// What was last said of the service's sight of input devices (devices/inputs.h): all of it,
// until it is found wanting.
uint32_t sight_told = sees_announcements | sees_sysfs;

constexpr uint32_t seen_bit = 1, trusted_bit = 2, paired_bit = 4, connected_bit = 8;

void write_line(const char* line) {
    ssize_t ignored = write(STDERR_FILENO, line, std::strlen(line));
    (void)ignored;
}

// "<priority>what name (address)", the name escaped.
void write_event(const char* what, const Device* device) {
    char name[4 * sizeof device->name];
    escape_text(name, sizeof name, device_label(device));
    char line[sizeof name + 64];
    std::snprintf(line, sizeof line, "%s %s (%s)\n", what, name, device->address);
    write_line(line);
}

void write_failure(const char* failure) {
    uint64_t hash = text_hash(failure, std::strlen(failure));
    int64_t now = monotonic_ms();
    if (hash == failure_hash && now - failure_at < failure_every_ms) {
        ++failure_repeats;
        return;
    }
    char shown[4 * 128];
    escape_text(shown, sizeof shown, failure);
    char line[sizeof shown + 64];
    if (hash == failure_hash && failure_repeats > 0)
        std::snprintf(line, sizeof line, "<3>%s (and %u times more in the last minute)\n", shown,
                      failure_repeats);
    else
        std::snprintf(line, sizeof line, "<3>%s\n", shown);
    write_line(line);
    failure_hash = hash;
    failure_at = now;
    failure_repeats = 0;
}

} // namespace

void journal_start() {
    to_journal = error_is_journal();
}

void journal_cut_off(const Device* device) {
    if (!to_journal)
        return;
    char what[96];
    std::snprintf(what, sizeof what, "it poses as a game controller and can type %s",
                  typing_words(device->could_type));
    char name[4 * sizeof device->name];
    escape_text(name, sizeof name, device_label(device));
    char line[sizeof name + sizeof what + 64];
    std::snprintf(line, sizeof line, "<3>Cut off %s (%s): %s\n", name, device->address, what);
    write_line(line);
}

void journal_removed(const Device* device, const char* why) {
    if (!to_journal)
        return;
    char name[4 * sizeof device->name];
    escape_text(name, sizeof name, device_label(device));
    char line[sizeof name + 160];
    std::snprintf(line, sizeof line, "<4>Removed the pairing of %s (%s), to pair it again: %s\n", name,
                  device->address, why);
    write_line(line);
}

void journal_sight() {
    uint32_t sight = inputs_sight();
    uint32_t lost = sight_told & ~sight;
    bool regained = sight == (sees_announcements | sees_sysfs) && sight != sight_told;
    sight_told = sight;
    if (!to_journal)
        return;
    if (lost & sees_sysfs)
        write_line("<3>Cannot read /sys/class/input: no input device is seen, so no guard against "
                   "devices posing as controllers, and a controller counts as connected on its "
                   "link alone\n");
    else if (lost & sees_announcements)
        write_line("<3>Cannot hear the kernel's uevents: input devices are seen once a second, so a "
                   "device posing as a controller may type for up to a second\n");
    if (regained)
        write_line("<6>Sees input devices again\n");
}

void journal_devices() {
    const char* failure = take_failure_line(); // taken in every case, so none goes stale
    journal_sight();
    if (!to_journal)
        return;
    if (failure != nullptr)
        write_failure(failure);
    for (Device* device = device_list; device != nullptr; device = device->next) {
        if (!device_listed(device) || !device->is_gaming || device->block_sent != 0)
            continue; // a device the guard blocked is named once, when the daemon refuses it
        bool usable = controller_usable(device);
        uint32_t now = seen_bit | (device->trusted ? trusted_bit : 0) |
                       (device->paired ? paired_bit : 0) | (usable ? connected_bit : 0);
        uint32_t before = device->journaled;
        device->journaled = now;
        if (!(before & seen_bit)) {
            write_event("<6>New controller", device);
            continue;
        }
        uint32_t gained = now & ~before;
        if (gained & trusted_bit)
            write_event("<6>Trusted", device);
        if (gained & paired_bit)
            write_event("<6>Paired", device);
        if (gained & connected_bit)
            write_event("<6>Connected", device);
        if (before & ~now & connected_bit)
            write_event("<4>Connection lost:", device);
    }
}

void journal_reset() {
    to_journal = false;
    sight_told = sees_announcements | sees_sysfs;
    failure_hash = 0;
    failure_at = 0;
    failure_repeats = 0;
}
