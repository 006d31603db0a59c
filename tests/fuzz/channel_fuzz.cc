// The channel's framing fed arbitrary bytes in arbitrary read sizes: lines, prompts of every
// style, NUL bytes, escape sequences, huge lines, taken as plain lines or as the reply to a
// command. Every line handed out is a whole line within the buffer; the stream ends only
// through the fixed failure messages.
#include "fuzz_support.h"
#include "link/channel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
int null_fd = -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO); // log_dump's output
    allow_many_chunks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    channel_reset();
    // An odd first byte: the input is the reply to a command (sent where nobody reads it, and
    // taken as taken in).
    bool reply = size > 0 && (data[0] & 1);
    if (reply)
        send_command(null_fd, "info 11:22:33:44:55:66\n");
    int fd = feed_chunks(split_chunks(data, size));
    size_t calls = 0;
    if (setjmp(failure_return) == 0) {
        for (;; ++calls) {
            if (calls > 10 * size + 100)
                std::abort(); // every call takes bytes, marks a prompt or ends the stream
            char* line = reply ? read_reply_line(fd) : read_line(fd);
            if (line != nullptr && std::strlen(line) >= 8192)
                std::abort();
            if (line != nullptr && std::strchr(line, '\n') != nullptr)
                std::abort();
        }
    }
    log_dump();
    close(fd);
    return 0;
}
