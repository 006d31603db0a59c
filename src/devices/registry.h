#pragma once
// The registry: one record for every device the tool has listed lately, newest first. Each
// cycle's "devices" reply is a listing; records not listed for forget_after listings are
// forgotten and freed, except those joybond sent "pair" to, which stay for the life of the
// service. Addresses are compared byte for byte.
#include <cstdint>

struct Device {
    char* address;     // 17 characters as the tool printed them, an owned copy
    char name[128];    // from the latest "Name:" line, empty when unknown
    int32_t is_gaming; // an info line said "Icon: input-gaming"; never cleared
    int32_t paired;
    int32_t trusted;
    int32_t connected;
    int32_t need_connect; // joybond sent "pair", so it also sends "connect"; never cleared
    uint32_t listed;      // the listing that last named it
    uint32_t journaled;   // its state as the journal was last told (policy/journal.h)
    Device* next;
};

// Head of the chain, the most recently discovered device first.
extern Device* device_list;

// Listings missed before a record is forgotten: five minutes at least, as a cycle takes a
// second at least. BlueZ itself drops a device it has not seen for about 30 seconds.
inline constexpr uint32_t forget_after = 300;

// The record with this address, created at the head when there is none; either way listed
// in the current listing. Ends the process with "Failed to allocate device" when memory
// cannot be had.
Device* device_find_or_add(const char* address);

// A new listing begins: no record is listed in it yet.
void device_start_listing();

// Whether the current listing named the record.
bool device_listed(const Device* device);

// Forgets, and frees, every record the last forget_after listings did not name, unless
// joybond paired it.
void device_forget_unlisted();

// What status texts call the device: its name, or its address when it has none.
const char* device_label(const Device* device);

// Forgets every record. For tests only.
void device_reset();
