#include "devices/registry.h"

#include "base/failure.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

Device* device_list = nullptr;

namespace {

uint32_t listing = 0;

// A fixed open-addressing index over the records, so that registering a "devices" reply
// costs the same per line whatever the number of known devices. Records past its fill limit
// are not indexed; lookups then also walk the chain.
constexpr size_t index_slots = 4096;
constexpr size_t index_limit = index_slots * 3 / 4;
constexpr size_t slot_mask = index_slots - 1;
Device* address_index[index_slots];
size_t indexed = 0;
size_t unindexed = 0;

size_t slot_of(const char* address) {
    uint32_t hash = 2166136261u; // FNV-1a
    for (const char* p = address; *p != '\0'; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return hash & slot_mask;
}

// The indexed record with the address, or nullptr and the free slot where it would go.
Device* find_indexed(const char* address, size_t* free_slot) {
    size_t slot = slot_of(address);
    while (address_index[slot] != nullptr) {
        if (std::strcmp(address_index[slot]->address, address) == 0)
            return address_index[slot];
        slot = (slot + 1) & slot_mask;
    }
    *free_slot = slot;
    return nullptr;
}

// Takes the record out of the index, moving back the records after it that its slot had
// pushed along, so that every lookup still ends at the first free slot.
void unindex(const Device* device) {
    size_t hole = slot_of(device->address);
    while (address_index[hole] != device) {
        if (address_index[hole] == nullptr) {
            --unindexed; // it was one of those past the fill limit
            return;
        }
        hole = (hole + 1) & slot_mask;
    }
    for (size_t next = (hole + 1) & slot_mask; address_index[next] != nullptr;
         next = (next + 1) & slot_mask) {
        size_t home = slot_of(address_index[next]->address);
        if (((next - home) & slot_mask) >= ((next - hole) & slot_mask)) {
            address_index[hole] = address_index[next];
            hole = next;
        }
    }
    address_index[hole] = nullptr;
    --indexed;
}

Device* find(const char* address, size_t* free_slot) {
    if (Device* known = find_indexed(address, free_slot))
        return known;
    if (unindexed > 0)
        for (Device* device = device_list; device != nullptr; device = device->next)
            if (std::strcmp(device->address, address) == 0)
                return device;
    return nullptr;
}

} // namespace

Device* device_find(const char* address) {
    size_t free_slot = 0;
    return find(address, &free_slot);
}

Device* device_find_or_add(const char* address) {
    size_t free_slot = 0;
    Device* device = find(address, &free_slot);
    if (device == nullptr) {
        device = static_cast<Device*>(std::calloc(1, sizeof(Device)));
        char* copy = strdup(address);
        if (device == nullptr || copy == nullptr)
            exit_failure("Failed to allocate device\n");
        device->address = copy;
        device->next = device_list;
        device_list = device;
        if (indexed < index_limit) {
            address_index[free_slot] = device;
            ++indexed;
        } else {
            ++unindexed;
        }
    } else if (listing - device->listed > back_after) {
        device->back = 1;
    }
    device->listed = listing;
    return device;
}

void device_start_listing() {
    ++listing;
}

bool device_listed(const Device* device) {
    return device->listed == listing;
}

void device_unlist(Device* device) {
    device->listed = listing - 1;
}

void device_forget_unlisted() {
    for (Device** link = &device_list; *link != nullptr;) {
        Device* device = *link;
        if (device->need_connect || listing - device->listed < forget_after) {
            link = &device->next;
            continue;
        }
        *link = device->next;
        unindex(device);
        std::free(device->address);
        std::free(device);
    }
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
    indexed = unindexed = 0;
    listing = 0;
}
