#pragma once
// Controller channel: commands go out on the tool's input pipe, its output comes back
// as lines and prompts, and a command's reply begins after its echo and ends within a bound.
// It owns both pipes: it also writes the answers the agent chooses (link/agent.h) before a
// command goes out, and shows every line it hands out to the agent, the notices
// (link/notices.h) and the prompt's lines (link/prompt_lines.h). Keeps the 15 most recent
// lines for the console report. Every failure ends the process with a "Failed to ..."
// message and status 1.
#include <cstdint>

// How long the tool may take to end a reply with its prompt, in milliseconds: real clients
// answer within milliseconds, a few seconds on a busy machine. A tool silent for longer has
// stopped answering: the service ends with "Failed to get a reply from bluetoothctl".
inline constexpr int64_t reply_bound_ms = 30000;

// Writes the whole command in one write, then pauses 500 microseconds. Its reply is what
// read_reply_line hands out next, within reply_bound_ms.
void send_command(int fd, const char* text);

// One non-blocking read attempt into the free part of the receive buffer.
void fill_buffer(int fd);

// The next complete line, NUL-terminated inside the receive buffer and valid until the
// next call; nullptr when a prompt ends the pending bytes (its "#" or ">" becomes "@").
// Sleeps in poll() while there is nothing new to look at.
char* read_line(int fd);

// The next line of the reply to the last command sent, or nullptr at the prompt that ends
// it. A reply begins after the tool's echo of the command, which counts only once the tool
// has read the whole command: what comes before (late results and events, with their
// prompts) is passed over. Before any command, the first prompt ends the wait.
char* read_reply_line(int fd);

// Discards the reply to the last command, up to its prompt.
void wait_prompt(int fd);

// Keeps a copy of the line (cut to 127 bytes) in the ring of recent lines.
void log_push(const char* line);

// Prints "---" and then the recent lines, oldest first, on standard output, control
// characters and bytes that are not UTF-8 escaped, the tool's colour codes left out.
void log_dump();

// Empties the receive buffer and the ring, forgets the last command, and resets the agent,
// the notices and the prompt's lines. For tests only.
void channel_reset();
