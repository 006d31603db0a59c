#include "link/notices.h"

#include <cstring>

namespace {

struct Notices {
    bool daemon_lost;      // until taken
    bool default_agent;    // until taken
    bool failure_pending;  // failure_line holds one not taken yet
    char failure_line[128];
    char failure_taken[128];
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
    }
}

void notice_pending(Pending shown) {
    if (shown == Pending::daemon_gone)
        notices.daemon_lost = true;
}

const char* take_failure_line() {
    if (!notices.failure_pending)
        return nullptr;
    notices.failure_pending = false;
    std::memcpy(notices.failure_taken, notices.failure_line, sizeof notices.failure_taken);
    return notices.failure_taken;
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
    notices.daemon_lost = false;
    notices.default_agent = false;
}
