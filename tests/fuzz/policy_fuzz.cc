// A whole policy pass over a registry built from fuzzed "devices" and "info" reply lines: the
// commands sent are well formed, one at most per gaming device, and the status text in the
// status file keeps within its limits. Runs in a private /tmp, with a fake tool on pipes.
#include "devices/details.h"
#include "devices/discovery.h"
#include "devices/registry.h"
#include "fake_tool.h"
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    device_reset();
    channel_reset();
    // Each line may register a device; the lines after it are its "info" reply.
    std::string text(reinterpret_cast<const char*>(data), size);
    InfoReply reply;
    Device* replying = nullptr;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        std::string cut = line; // parse_device_line may write a NUL into its line
        parse_device_line(cut.data());
        if (device_list != replying) {
            if (replying != nullptr)
                apply_info_reply(&reply, replying);
            replying = device_list;
            start_info_reply(&reply, replying->address);
        }
        if (replying != nullptr)
            take_info_line(&reply, line.c_str());
        at = end + 1;
    }
    if (replying != nullptr)
        apply_info_reply(&reply, replying);
    size_t gaming = 0;
    for (Device* d = device_list; d != nullptr; d = d->next) {
        gaming += d->is_gaming ? 1 : 0;
        d->input = d->connected && (d->address[16] & 1); // some connected ones usable
    }

    unlink("/tmp/blue.msg");
    std::vector<std::string> sent;
    {
        FakeTool tool([](const std::string& command) { return command + "\n[bluetooth]# "; });
        if (setjmp(failure_return) == 0)
            manage_devices(tool.command_fd(), tool.reply_fd());
        else
            std::abort(); // every command was answered
        sent = tool.finish();
    }
    for (const std::string& command : sent) {
        size_t blank = command.find(' ');
        std::string verb = command.substr(0, blank);
        if ((verb != "trust" && verb != "pair" && verb != "connect") || blank == std::string::npos ||
            command.size() - blank - 1 != 17)
            std::abort();
    }
    size_t count = sent.size();
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
