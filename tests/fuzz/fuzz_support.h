#pragma once
// What the fuzz targets share: a failure exit that returns to the harness instead of ending
// the process, a channel fed in exact chunks, and a private /tmp for the status file.
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Set by exit_failure before it jumps back to failure_return (armed by the harness).
extern jmp_buf failure_return;
extern const char* failure_message;

// Aborts unless the message is one of the service's fixed failure messages.
void check_failure_message(const char* message);

// A socket pair whose reading end returns one written chunk per read, as a pipe does when
// the tool writes slowly. Returns the reading end; the writing end is closed once every chunk
// that fits has been written (*written tells how many), so reading ends with end of stream.
int feed_chunks(const std::vector<std::string>& chunks, size_t* written = nullptr);

// Best effort: a private network namespace whose AF_UNIX sockets queue many packets, so that
// feed_chunks takes long inputs whole. The host's settings are not touched.
void allow_many_chunks();

// Splits fuzz input into chunks: a length byte (0 is taken as 1), then that many bytes.
std::vector<std::string> split_chunks(const uint8_t* data, size_t size);

// Enters a private mount namespace with a tmpfs on /tmp, so the status file written by the
// policy never touches the host's. Aborts with a message where that cannot be done.
void enter_private_tmp();
