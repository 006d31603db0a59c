#include "devices/inputs.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The first size - 1 bytes of a small file, NUL-terminated; false when it cannot be read.
bool read_small_file(int at_fd, const char* path, char* text, size_t size) {
    int fd = openat(at_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t length = read(fd, text, size - 1);
    close(fd);
    text[length > 0 ? length : 0] = '\0';
    return length > 0;
}

// The text as an address in the tool's upper case (17 characters, then the end of the text or
// a newline), or false.
bool take_address(const char* text, char (&address)[18]) {
    for (int i = 0; i < 17; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(c))
            return false;
        address[i] = static_cast<char>(std::toupper(c));
    }
    address[17] = '\0';
    return text[17] == '\0' || text[17] == '\n';
}

} // namespace

void refresh_inputs() {
    bool wanted = false;
    for (Device* device = device_list; device != nullptr; device = device->next) {
        wanted = wanted || (device_listed(device) && device->is_gaming && device->connected);
        device->input = 0;
    }
    if (!wanted)
        return;
    int class_fd = open(input_class_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (class_fd < 0)
        return;
    // The entries read straight into a buffer of our own: nothing is allocated.
    alignas(dirent64) static char entries[4096];
    for (;;) {
        long length = syscall(SYS_getdents64, class_fd, entries, sizeof entries);
        if (length <= 0)
            break;
        for (long at = 0; at < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            at += entry->d_reclen;
            char path[300];
            char uniq[20];
            char address[18];
            std::snprintf(path, sizeof path, "%s/uniq", entry->d_name);
            if (std::strncmp(entry->d_name, "input", 5) != 0 ||
                !read_small_file(class_fd, path, uniq, sizeof uniq) || !take_address(uniq, address))
                continue;
            if (Device* device = device_find(address))
                device->input = 1;
        }
    }
    close(class_fd);
}
