#pragma once
// Connection policy: once a cycle, move every game controller one step (trust, pair,
// connect) closer to connected, and rewrite the status file "/tmp/blue.msg" with what is
// going on. "connect" goes only to devices joybond paired itself.
#include <cstddef>

inline constexpr char status_file_path[] = "/tmp/blue.msg";

// One policy pass over the registry, newest device first, then the status file update.
void manage_devices(int command_fd, int reply_fd);

// Appends formatted text after the buffer's content, keeping content and terminator within
// limit bytes (cutting what does not fit). Writes nothing when the first limit bytes hold
// no terminator. Returns the old length plus the full length of the formatted text.
size_t append_format(char* buffer, size_t limit, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Replaces the status file's content with the text. Never follows a link and never waits on
// a FIFO planted at that path; a file that cannot be opened is skipped silently.
void write_status_file(const char* text);
