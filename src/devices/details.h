#pragma once
// Details: every cycle, "info <address>" for each record, newest first, to learn its name
// and whether it is a game controller and paired, trusted and connected.
#include "devices/registry.h"

// Queries every record and applies each line of its reply to it.
void refresh_info(int command_fd, int reply_fd);

// Applies one reply line to the record: "Name:", "Icon: input-gaming", "Paired: yes|no",
// "Trusted: yes|no", "Connected: yes|no", found anywhere in the line but not right after
// a "." (BlueZ's "LE.Paired:" and "BREDR.Connected:" speak of one bearer only).
void parse_info_line(Device* device, const char* line);
