#pragma once
// Discovery: every cycle, "devices" makes sure each device the tool lists has a record.

// Sends "devices" and registers every well-formed "Device <address>" line of the reply as
// this cycle's listing; then forgets the records that have long gone unlisted.
void refresh_devices(int command_fd, int reply_fd);

// Registers the device when the line begins "Device " and six hex pairs joined by ":".
// Writes a NUL right after the address, inside the line.
void parse_device_line(char* line);
