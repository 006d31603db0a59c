#include "base/notify.h"

#include "base/clock.h"
#include "base/text.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

int notify_fd = -1;
sockaddr_un notify_address{};
socklen_t notify_length = 0;
int64_t watchdog_ms = -1; // the watchdog's period
int64_t last_keep_alive = -1;
uint64_t last_status = 0;

void send_datagram(const char* text) {
    if (notify_fd >= 0)
        (void)sendto(notify_fd, text, std::strlen(text), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&notify_address), notify_length);
}

} // namespace

void notify_start() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length < 2 || length >= sizeof notify_address.sun_path ||
        (path[0] != '/' && path[0] != '@'))
        return;
    notify_address.sun_family = AF_UNIX;
    std::memcpy(notify_address.sun_path, path, length);
    if (path[0] == '@')
        notify_address.sun_path[0] = '\0'; // an abstract name: no terminator counted
    notify_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (path[0] == '/'));
    notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec != nullptr && (pid == nullptr || std::atol(pid) == getpid())) {
        long long period = std::atoll(usec) / 1000;
        watchdog_ms = period > 0 ? period : -1;
    }
}

void notify_status(const char* text) {
    if (notify_fd < 0)
        return;
    uint64_t hash = text_hash(text, std::strlen(text));
    if (hash == last_status && last_status != 0)
        return;
    last_status = hash;
    // One line: the text's lines joined with "; ", each escaped.
    char message[8 + 3 * 4096] = "STATUS=";
    size_t used = 7;
    char line[4096];
    for (const char* p = text; *p != '\0';) {
        size_t length = std::strcspn(p, "\n");
        std::memcpy(line, p, length);
        line[length] = '\0';
        if (used > 7 && used + 2 < sizeof message) {
            std::memcpy(message + used, "; ", 2);
            used += 2;
        }
        used += escape_text(message + used, sizeof message - used, line);
        p += length + (p[length] == '\n');
    }
    send_datagram(message);
}

void notify_watchdog() {
    if (watchdog_ms < 0)
        return;
    int64_t now = monotonic_ms();
    if (last_keep_alive >= 0 && now - last_keep_alive < watchdog_ms / 2)
        return;
    last_keep_alive = now;
    send_datagram("WATCHDOG=1");
}

int notify_interval_ms() {
    return watchdog_ms < 0 ? -1 : static_cast<int>(watchdog_ms / 4 > 0 ? watchdog_ms / 4 : 1);
}

void notify_reset() {
    if (notify_fd >= 0)
        close(notify_fd);
    notify_fd = -1;
    watchdog_ms = last_keep_alive = -1;
    last_status = 0;
}
