#include "link/notices.h"

#include "base/clock.h"

#include <cstring>

namespace {

struct LinkEvent {
    char address[18];
    bool up;
    int64_t at; // when joybond read it
};

struct Notices {
    bool daemon_lost;     // until taken
    bool default_agent;   // until taken
    bool failure_pending; // failure_line holds one not taken yet
    char failure_line[128];
    char failure_taken[128];
    bool connect_failure_pending; // connect_failure holds one not taken yet
    char connect_failure[128];
    char connect_failure_taken[128];
    int link_events; // kept in link_event, oldest first
    LinkEvent link_event[link_events_kept];
    LinkEvent link_event_taken;
};
Notices notices;

} // namespace

void notice_line(const char* rest) {
    if (rest == nullptr)
        return;
    constexpr char agent_set[] = "Default agent request successful";
    if (std::strcmp(skip_leading_codes(rest, rest + std::strlen(rest)), agent_set) == 0)
        notices.default_agent = true;
    if (const char* failure = failure_words(rest)) {
        size_t kept = strnlen(failure, sizeof notices.failure_line - 1);
        std::memcpy(notices.failure_line, failure, kept);
        notices.failure_line[kept] = '\0';
        notices.failure_pending = true;
        constexpr char connect_words[] = "Failed to connect: ";
        if (std::strncmp(failure, connect_words, sizeof connect_words - 1) == 0) {
            std::memcpy(notices.connect_failure, notices.failure_line,
                        sizeof notices.connect_failure);
            notices.connect_failure_pending = true;
        }
    }
    if (const char* address = link_event_address(rest)) {
        if (notices.link_events == link_events_kept) { // the oldest makes room
            std::memmove(notices.link_event, notices.link_event + 1,
                         sizeof notices.link_event - sizeof notices.link_event[0]);
            --notices.link_events;
        }
        LinkEvent& kept = notices.link_event[notices.link_events++];
        std::memcpy(kept.address, address, 17);
        kept.address[17] = '\0';
        kept.up = address[17 + std::strlen(" Connected: ")] == 'y';
        kept.at = monotonic_ms();
    }
}

void notice_pending(Pending shown) {
    if (shown == Pending::daemon_gone)
        notices.daemon_lost = true;
}

namespace {

// A line kept until taken: copied where it stays valid until the next take.
const char* take_kept(bool& pending, const char (&kept)[128], char (&taken)[128]) {
    if (!pending)
        return nullptr;
    pending = false;
    std::memcpy(taken, kept, sizeof taken);
    return taken;
}

} // namespace

const char* take_failure_line() {
    return take_kept(notices.failure_pending, notices.failure_line, notices.failure_taken);
}

const char* take_connect_failure() {
    return take_kept(notices.connect_failure_pending, notices.connect_failure,
                     notices.connect_failure_taken);
}

const char* take_link_event(bool* up, int64_t* at) {
    if (notices.link_events == 0)
        return nullptr;
    notices.link_event_taken = notices.link_event[0];
    std::memmove(notices.link_event, notices.link_event + 1,
                 sizeof notices.link_event - sizeof notices.link_event[0]);
    --notices.link_events;
    *up = notices.link_event_taken.up;
    *at = notices.link_event_taken.at;
    return notices.link_event_taken.address;
}

bool take_default_agent_set() {
    bool set = notices.default_agent;
    notices.default_agent = false;
    return set;
}

bool take_daemon_lost() {
    bool lost = notices.daemon_lost;
    notices.daemon_lost = false;
    return lost;
}

void reset_notices() {
    notices.failure_pending = false;
    notices.connect_failure_pending = false;
    notices.link_events = 0;
    notices.daemon_lost = false;
    notices.default_agent = false;
}
