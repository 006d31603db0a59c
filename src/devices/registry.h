#pragma once
// The registry: one record for every device the tool has listed during this run, newest
// first. Records are never removed or freed; addresses are compared byte for byte.
#include <cstdint>

struct Device {
    char* address;     // 17 characters as the tool printed them, an owned copy
    char name[128];    // from the latest "Name:" line, empty when unknown
    int32_t is_gaming; // an info line said "Icon: input-gaming"; never cleared
    int32_t paired;
    int32_t trusted;
    int32_t connected;
    int32_t need_connect; // joybond sent "pair", so it also sends "connect"; never cleared
    Device* next;
};

// Head of the chain, the most recently discovered device first.
extern Device* device_list;

// The record with this address, created at the head when there is none. Ends the process
// with "Failed to allocate device" when memory cannot be had.
Device* device_find_or_add(const char* address);

// What status texts call the device: its name, or its address when it has none.
const char* device_label(const Device* device);

// Forgets every record. For tests only.
void device_reset();
