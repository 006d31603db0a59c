#include "devices/inputs.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// What the service can see of the kernel's input devices.
struct InputsState {
    int uevent_fd = -1;      // where the kernel announces them, -1 for nowhere
    bool sysfs_read = true;  // /sys/class/input could be read when last looked at
};
InputsState inputs;

// The keys that type text (linux/input-event-codes.h): the top row's digits, the letters, the
// keypad's digits.
struct KeyRange {
    int first, last;
    uint32_t types;
};
constexpr KeyRange typing_ranges[] = {
    {2, 11, types_digits},   // KEY_1 .. KEY_0
    {16, 25, types_letters}, // KEY_Q .. KEY_P
    {30, 38, types_letters}, // KEY_A .. KEY_L
    {44, 50, types_letters}, // KEY_Z .. KEY_M
    {71, 73, types_digits},  // KEY_KP7 .. KEY_KP9
    {75, 77, types_digits},  // KEY_KP4 .. KEY_KP6
    {79, 82, types_digits},  // KEY_KP1 .. KEY_KP0
};

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

// The text as an address in the tool's upper case (17 characters, then the end of the text, a
// newline or a quote), or false.
bool take_address(const char* text, char (&address)[18]) {
    for (int i = 0; i < 17; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(c))
            return false;
        address[i] = static_cast<char>(std::toupper(c));
    }
    address[17] = '\0';
    return text[17] == '\0' || text[17] == '\n' || text[17] == '"';
}

// What the input device in this folder of sysfs (relative to at_fd) can type.
uint32_t typing_of(int at_fd, const char* prefix, const char* folder) {
    char path[1024];
    char bitmap[1024];
    int length = std::snprintf(path, sizeof path, "%s%s/capabilities/key", prefix, folder);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path)
        return 0;
    return read_small_file(at_fd, path, bitmap, sizeof bitmap) ? typing_keys(bitmap) : 0;
}

void close_uevents() {
    if (inputs.uevent_fd >= 0)
        close(inputs.uevent_fd);
    inputs.uevent_fd = -1;
}

} // namespace

uint32_t typing_keys(const char* bitmap) {
    constexpr int word_bits = 8 * sizeof(unsigned long);
    uint32_t types = 0;
    const char* end = bitmap + std::strlen(bitmap);
    for (int word = 0;; ++word) {
        while (end > bitmap && std::isspace(static_cast<unsigned char>(end[-1])))
            --end;
        const char* start = end;
        while (start > bitmap && std::isxdigit(static_cast<unsigned char>(start[-1])))
            --start;
        if (start == end || (start > bitmap && !std::isspace(static_cast<unsigned char>(start[-1]))))
            return types; // the words end, or what is left is no word
        if (word * word_bits <= 82) {
            unsigned long long bits = std::strtoull(start, nullptr, 16);
            for (const KeyRange& range : typing_ranges)
                for (int key = range.first; key <= range.last; ++key)
                    if (key / word_bits == word && (bits >> (key % word_bits)) & 1)
                        types |= range.types;
        }
        end = start;
    }
}

const char* typing_words(uint32_t types) {
    if ((types & types_letters) && (types & types_digits))
        return "letters and digits";
    return types & types_letters ? "letters" : types & types_digits ? "digits" : "";
}

void inputs_start() {
    inputs.uevent_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (inputs.uevent_fd >= 0 && inputs.uevent_fd <= STDERR_FILENO) {
        // Not a standard descriptor's number, which the daemon mode has closed: a stray write
        // to standard output or error must not reach it.
        int moved = fcntl(inputs.uevent_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(inputs.uevent_fd);
        inputs.uevent_fd = moved;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's own announcements
    if (inputs.uevent_fd >= 0 && bind(inputs.uevent_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        close_uevents();
    int class_fd = open(input_class_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    inputs.sysfs_read = class_fd >= 0;
    if (class_fd >= 0)
        close(class_fd);
}

int inputs_fd() {
    return inputs.uevent_fd;
}

bool take_uevent(const char* message, size_t length) {
    const char* devpath = nullptr;
    const char* uniq = nullptr;
    const char* keys = nullptr; // the announcement's own copy of capabilities/key
    bool add = false, input = false;
    for (const char* field = message; field < message + length; field += std::strlen(field) + 1) {
        if (std::strcmp(field, "ACTION=add") == 0)
            add = true;
        else if (std::strcmp(field, "SUBSYSTEM=input") == 0)
            input = true;
        else if (std::strncmp(field, "DEVPATH=", 8) == 0)
            devpath = field + 8;
        else if (std::strncmp(field, "UNIQ=\"", 6) == 0)
            uniq = field + 6;
        else if (std::strncmp(field, "KEY=", 4) == 0)
            keys = field + 4;
    }
    char address[18];
    if (!add || !input || devpath == nullptr || uniq == nullptr || !take_address(uniq, address))
        return false;
    Device* device = device_find(address);
    if (device == nullptr)
        return true;
    device->input = 1;
    device->typing |= keys != nullptr ? typing_keys(keys) : typing_of(AT_FDCWD, "/sys", devpath);
    return false;
}

bool take_input_events() {
    static char message[8192];
    bool unknown = false;
    while (inputs.uevent_fd >= 0) {
        sockaddr_nl sender{};
        iovec part{message, sizeof message - 1};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        ssize_t length = recvmsg(inputs.uevent_fd, &header, MSG_DONTWAIT);
        if (length < 0 && errno == ENOBUFS) {
            refresh_inputs(); // some were lost: sysfs has them all
            continue;
        }
        if (length < 0 && errno != EAGAIN && errno != EINTR)
            close_uevents(); // a socket that fails is watched no more: sysfs is still read
        if (length < 0)
            return unknown;
        if (sender.nl_pid != 0 || (header.msg_flags & MSG_TRUNC))
            continue; // not the kernel's
        message[length] = '\0';
        unknown = take_uevent(message, static_cast<size_t>(length)) || unknown;
    }
    return unknown;
}

void refresh_inputs() {
    bool wanted = false;
    for (Device* device = device_list; device != nullptr; device = device->next) {
        wanted = wanted || (device_listed(device) && device->is_gaming && (device->connected || device->unsure));
        device->input = 0;
        device->typing = 0;
    }
    if (!wanted)
        return;
    int class_fd = open(input_class_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    inputs.sysfs_read = class_fd >= 0;
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
            if (Device* device = device_find(address)) {
                device->input = 1;
                device->typing |= typing_of(class_fd, "", entry->d_name);
            }
        }
    }
    close(class_fd);
}

uint32_t inputs_sight() {
    return (inputs.uevent_fd >= 0 ? sees_announcements : 0u) | (inputs.sysfs_read ? sees_sysfs : 0u);
}

void inputs_reset() {
    close_uevents();
    inputs = InputsState{};
}
