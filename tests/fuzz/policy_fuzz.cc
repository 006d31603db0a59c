// A whole policy pass over a registry built from fuzzed "devices" and "info" reply lines: the
// commands sent are well formed, one at most per gaming device, and the status text in the
// status file keeps within its limits. Runs in a private /tmp.
#include "devices/details.h"
#include "devices/discovery.h"
#include "devices/registry.h"
#include "fuzz_support.h"
#include "link/channel.h"
#include "policy/policy.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enter_private_tmp();
    allow_many_chunks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    device_reset();
    channel_reset();
    // Each line may register a device; every line is applied to the newest one, as an info
    // reply would be.
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t gaming = 0;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        std::string cut = line; // parse_device_line may write a NUL into its line
        parse_device_line(cut.data());
        if (device_list != nullptr)
            parse_info_line(device_list, line.c_str());
        at = end + 1;
    }
    std::vector<std::string> prompts;
    for (Device* d = device_list; d != nullptr; d = d->next)
        if (d->is_gaming) {
            ++gaming;
            prompts.push_back("[bluetooth]# ");
        }
    size_t fed = 0;
    int reply = feed_chunks(prompts, &fed);
    if (fed < prompts.size()) { // not every command could be answered: not a case to judge
        close(reply);
        device_reset();
        return 0;
    }
    int commands[2];
    if (pipe(commands) != 0)
        std::abort();
    fcntl(commands[1], F_SETPIPE_SZ, 1 << 20);
    unlink("/tmp/blue.msg");
    if (setjmp(failure_return) == 0)
        manage_devices(commands[1], reply);
    else
        std::abort(); // one prompt was there for every command the pass could send
    close(commands[1]);
    close(reply);

    std::string sent;
    char chunk[4096];
    for (ssize_t n; (n = read(commands[0], chunk, sizeof chunk)) > 0;)
        sent.append(chunk, static_cast<size_t>(n));
    close(commands[0]);
    size_t count = 0;
    for (size_t at = 0; at < sent.size(); ++count) {
        size_t end = sent.find('\n', at);
        std::string command = sent.substr(at, end - at);
        size_t blank = command.find(' ');
        std::string verb = command.substr(0, blank);
        if ((verb != "trust" && verb != "pair" && verb != "connect") ||
            command.size() - blank - 1 != 17)
            std::abort();
        at = end + 1;
    }
    if (count > gaming)
        std::abort();

    char status[8192];
    int fd = open("/tmp/blue.msg", O_RDONLY);
    ssize_t length = fd < 0 ? -1 : read(fd, status, sizeof status);
    if (fd >= 0)
        close(fd);
    if (length < 0 || length > 4095 ||
        std::memchr(status, '\0', static_cast<size_t>(length)) != nullptr)
        std::abort();
    std::string s(status, static_cast<size_t>(length));
    if (s != "Bluetooth scanning...\n" && s.rfind("Trusting ", 0) != 0 &&
        s.rfind("Pairing ", 0) != 0 && s.rfind("Connecting ", 0) != 0 &&
        s.rfind("Connected ", 0) != 0)
        std::abort();
    device_reset();
    return 0;
}
