#include "fuzz_support.h"

#include "sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

jmp_buf failure_return;
const char* failure_message = nullptr;

// The service's exit_failure, replaced for fuzzing: back to the harness instead of exit(1).
void exit_failure(const char* message) {
    check_failure_message(message);
    failure_message = message;
    longjmp(failure_return, 1);
}

// Fuzzing never writes to the journal.
bool error_is_journal() {
    return false;
}

// The pause after each command only slows fuzzing down.
extern "C" int usleep(useconds_t) {
    return 0;
}

void check_failure_message(const char* message) {
    static const char* const known[] = {
        "Failed to read 0\n",     "Failed to read -1\n",       "Failed to set not blocking\n",
        "Failed to poll reply\n", "Failed to write command\n", "Failed to allocate device\n"};
    for (const char* k : known)
        if (std::strcmp(k, message) == 0)
            return;
    std::fprintf(stderr, "unexpected failure message: %s", message);
    std::abort();
}

int feed_chunks(const std::vector<std::string>& chunks, size_t* written) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0)
        std::abort();
    int buffer = 64 << 20;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    size_t count = 0;
    for (const std::string& chunk : chunks) {
        if (send(ends[1], chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0)
            break; // the socket is full: the rest is left out
        ++count;
    }
    close(ends[1]);
    if (written != nullptr)
        *written = count;
    return ends[0];
}

void allow_many_chunks() {
    if (unshare(CLONE_NEWNET) != 0)
        return;
    int fd = open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY);
    if (fd >= 0) {
        ssize_t ignored = write(fd, "1000000", 7);
        (void)ignored;
        close(fd);
    }
}

std::vector<std::string> split_chunks(const uint8_t* data, size_t size) {
    std::vector<std::string> chunks;
    for (size_t at = 0; at < size;) {
        size_t length = data[at] == 0 ? 1 : data[at];
        ++at;
        length = std::min(length, size - at);
        if (length == 0)
            break;
        chunks.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    return chunks;
}

void enter_private_tmp() {
    if (std::string why = sandbox_fresh_tmp(); !why.empty()) {
        std::fprintf(stderr, "this target needs a private /tmp (run as root): %s\n", why.c_str());
        std::abort();
    }
}
