// parse_device_line on an arbitrary line, and the same bytes, split at their newlines, as an
// "info" reply; each line in a heap block of exactly its size, so that a read past its end is
// caught. What they record stays in bounds.
#include "devices/details.h"
#include "devices/discovery.h"
#include "devices/registry.h"
#include "fuzz_support.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

bool is_address(const char* a) {
    if (std::strlen(a) != 17)
        return false;
    for (int i = 0; i < 17; ++i)
        if (i % 3 == 2 ? a[i] != ':' : !std::isxdigit(static_cast<unsigned char>(a[i])))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* line = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(line, data, size);
    line[size] = '\0';

    device_reset();
    parse_device_line(line);
    for (Device* d = device_list; d != nullptr; d = d->next)
        if (!is_address(d->address))
            std::abort();

    std::memcpy(line, data, size); // parse_device_line may have cut it
    Device* d = device_find_or_add("11:22:33:44:55:66");
    InfoReply reply;
    start_info_reply(&reply, d->address);
    for (char* at = line; at != nullptr;) {
        char* end = std::strchr(at, '\n');
        size_t length = end != nullptr ? static_cast<size_t>(end - at) : std::strlen(at);
        char* own = static_cast<char*>(std::malloc(length + 1));
        std::memcpy(own, at, length);
        own[length] = '\0';
        take_info_line(&reply, own);
        std::free(own);
        at = end != nullptr ? end + 1 : nullptr;
    }
    apply_info_reply(&reply, d);
    if (strnlen(d->name, sizeof d->name) >= sizeof d->name)
        std::abort();
    for (int32_t flag : {d->is_gaming, d->paired, d->trusted, d->connected, d->need_connect})
        if (flag != 0 && flag != 1)
            std::abort();

    device_reset();
    std::free(line);
    return 0;
}
