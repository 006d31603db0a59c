#pragma once
// The registry: one record for every device the tool has listed lately, newest first. Each
// cycle's "devices" reply is a listing; records not listed for forget_after listings are
// forgotten and freed, except those joybond sent "pair" to, which stay for the life of the
// service. Addresses are compared byte for byte.
#include <cstdint>

struct Device {
    // The registry's facts: what the tool listed and said of the device (discovery.h,
    // details.h) and what the kernel has for it (inputs.h). Nothing here is joybond's doing.
    char* address;     // 17 characters as the tool printed them, an owned copy
    char name[128];    // from the latest "Name:" line, empty when unknown
    int32_t is_gaming; // an info line said "Icon: input-gaming"; never cleared
    int32_t paired;
    int32_t trusted;
    int32_t connected;
    int32_t blocked;      // its details say "Blocked: yes": the daemon refuses it
    int32_t le_only;      // its details give an appearance and no class: known on LE alone
    int32_t unsure;       // its last "info" reply could not be read with confidence
    uint32_t rssi;        // a hash of the last "RSSI:" its details showed, 0 for none
    int64_t rssi_changed; // when that last changed
    uint32_t listed;      // the listing that last named it
    int32_t back;         // listed again after it was gone, or found again (details.h)
    int32_t found;        // found again by discovery (details.h), until the policy takes it
    int32_t details_read; // an "info" reply about it was applied
    int64_t link_up_at;   // when the tool last said its link came up, 0 for never
    int64_t link_down_at; // when the tool last said its link went, 0 for never
    int32_t input;        // an input device of the kernel's carries its address (inputs.h)
    uint32_t typing;      // what its input devices can type (inputs.h: types_letters...)
    // The policy's schedule of its steps (policy/policy.h); times in monotonic milliseconds,
    // 0 for none.
    int32_t need_connect;  // joybond sent "pair", so it also sends "connect"; cleared when
                           // joybond gives up on pairing it
    int64_t step_sent;     // when its last step went out
    int64_t step_due;      // when a step may go again
    int64_t pause_ms;      // the pause that step_due ends
    int64_t pairing_since; // when joybond first sent "pair" since it was last paired
    uint32_t progress;     // trusted, paired and connected as the schedule last saw them
    int32_t trusted_here;  // joybond sent "trust" in this run
    int32_t given_up;      // joybond gave up pairing it: no step, not named, until it is back
    int32_t probe;         // paired, away and found by discovery: one "connect" tells whether
                           // its pairing still holds (policy/stale.h)
    int64_t connect_sent;  // when its last "connect" went out, until its failure is taken
    int32_t unproven;      // joybond paired it in this run and it was not usable since
    // The stale pairings' mark (policy/stale.h).
    int64_t removed_at; // when joybond last removed its pairing, 0 for never
    // The journal's: its state as the journal was last told (policy/journal.h).
    uint32_t journaled;
    // The guard's marks (policy/guard.h).
    int64_t block_sent;  // when joybond last sent it "block", 0 for never: it gets no step
    uint32_t could_type; // what its input devices could type when it was first blocked
    int32_t cut_off;     // the daemon said it is blocked since: named in the journal
    Device* next;
};

// Head of the chain, the most recently discovered device first.
extern Device* device_list;

// Listings missed before a record that is listed again counts as back (a device the daemon
// forgot and found again): more than a listing lost now and then.
inline constexpr uint32_t back_after = 5;

// Listings missed before a record is forgotten: five minutes at least, as a cycle takes a
// second at least. BlueZ itself drops a device it has not seen for about 30 seconds.
inline constexpr uint32_t forget_after = 300;

// The record with this address, created at the head when there is none; either way listed
// in the current listing, and marked back when it missed back_after listings or more. Ends
// the process with "Failed to allocate device" when memory cannot be had.
Device* device_find_or_add(const char* address);

// The record with this address, or nullptr.
Device* device_find(const char* address);

// A new listing begins: no record is listed in it yet.
void device_start_listing();

// Whether the current listing named the record.
bool device_listed(const Device* device);

// The daemon forgot the device ("remove"): the record counts as not listed until a listing
// names it again.
void device_unlist(Device* device);

// Forgets, and frees, every record the last forget_after listings did not name, unless
// joybond paired it.
void device_forget_unlisted();

// What status texts call the device: its name, or its address when it has none.
const char* device_label(const Device* device);

// Forgets every record. For tests only.
void device_reset();
