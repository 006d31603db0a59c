#pragma once
// Details: every cycle, "info <address>" for each device listed in that cycle, newest first,
// to learn its name and whether it is a game controller and paired, trusted, blocked and
// connected.
//
// Device names are chosen by whoever is in radio range and may hold any text, newlines
// included, so a reply is read with care: it must begin with "Device <address>" for the
// device asked about; a field counts only as a whole line, "\t<Key>: <value>"; lines that
// are not the reply's own (event lines, prompts) may follow it, but no field after them,
// unless it is a line of the tool's prompt (the name of its default device may span lines);
// and no key may stand twice (a name with a newline in it is printed twice, as Name and
// Alias). A reply that breaks any of these changes nothing: the record keeps its values.
#include "devices/registry.h"

#include <cstdint>

// What one "info" reply says, gathered line by line.
struct InfoReply {
    char address[18];   // the device asked about
    int32_t lines;      // lines taken so far
    bool ended;         // a line that is not the reply's own has been seen
    bool doubtful;      // the reply cannot be read with confidence
    uint32_t keys_seen; // one bit per key
    uint32_t strays;    // fields after the reply's end, told apart by their hashes
    uint64_t stray_hashes[16];
    char name[128];     // cut between two characters
    // 1 or 0 where the reply says so, -1 where it does not
    int32_t is_gaming, paired, trusted, blocked, connected;
    uint32_t rssi; // a hash of the "RSSI:" value, never 0; 0 when there is none
};

// Queries every record of this cycle's listing and applies its reply to it; the others keep
// their values.
void refresh_info(int command_fd, int reply_fd);

// Starts reading the reply about the device with this address.
void start_info_reply(InfoReply* reply, const char* address);

// Takes the next line of the reply.
void take_info_line(InfoReply* reply, const char* line);

// Applies what the reply said to the record, unless it is doubtful (then Device::unsure). "Icon: input-gaming"
// marks the record for good; a key the reply does not hold leaves its field as it was, but
// for Device::le_only, which "Appearance:" without "Class:" sets and any other reply clears. An
// "RSSI:" that appears, or changes after found_again_after_ms without a change, marks the
// record back, and found (not by the first reply applied): discovery found it again. One that
// keeps changing is a device still in reach (in pairing mode, discovery finds it every cycle),
// not one that came back.
inline constexpr int64_t found_again_after_ms = 60000;
void apply_info_reply(const InfoReply* reply, Device* device);
