#include "devices/registry.h"

#include "base/failure.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

Device* device_list = nullptr;

namespace {

// A fixed open-addressing index over the records, so that registering a "devices" reply
// costs the same per line whatever the number of known devices. Records past its fill limit
// are not indexed; lookups then fall back to walking the chain.
constexpr size_t index_slots = 4096;
constexpr size_t index_limit = index_slots * 3 / 4;
Device* address_index[index_slots];
size_t indexed = 0;

size_t slot_of(const char* address) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (const char* p = address; *p != '\0'; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return hash & (index_slots - 1);
}

Device* find_indexed(const char* address, size_t* free_slot) {
    size_t slot = slot_of(address);
    while (address_index[slot] != nullptr) {
        if (std::strcmp(address_index[slot]->address, address) == 0)
            return address_index[slot];
        slot = (slot + 1) & (index_slots - 1);
    }
    *free_slot = slot;
    return nullptr;
}

} // namespace

Device* device_find_or_add(const char* address) {
    size_t free_slot = 0;
    if (Device* known = find_indexed(address, &free_slot))
        return known;
    if (indexed >= index_limit) {
        for (Device* device = device_list; device != nullptr; device = device->next)
            if (std::strcmp(device->address, address) == 0)
                return device;
    }
    auto* device = static_cast<Device*>(std::calloc(1, sizeof(Device)));
    char* copy = strdup(address);
    if (device == nullptr || copy == nullptr)
        exit_failure("Failed to allocate device\n");
    device->address = copy;
    device->next = device_list;
    device_list = device;
    if (indexed < index_limit) {
        address_index[free_slot] = device;
        ++indexed;
    }
    return device;
}

const char* device_label(const Device* device) {
    return device->name[0] != '\0' ? device->name : device->address;
}

void device_reset() {
    while (device_list != nullptr) {
        Device* next = device_list->next;
        std::free(device_list->address);
        std::free(device_list);
        device_list = next;
    }
    std::memset(address_index, 0, sizeof address_index);
    indexed = 0;
}
