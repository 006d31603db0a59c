#pragma once
// The tool's main prompt: its last line as the tool last drew it, which the tool's own lines
// begin with (those it prints while the prompt is shown), and its lines above. Once a connected device has become the tool's default, its name is
// in every prompt, and a name may hold newlines, so the prompt spans lines above its last.
// The lines of each reply are kept as hashes; where two replies in a row end with the same
// prompt, what they have in common at their ends, from a line that opens a prompt on, is
// taken as the prompt's lines. Those neither count nor void a reply (devices/details.h).
#include <cstddef>
#include <cstdint>

// The main prompt the tool drew: its text from begin to end (its trailing codes set aside),
// its mark ("#" or ">") at mark.
void keep_prompt(const char* begin, const char* end, const char* mark);

// What follows the main prompt in the line of length bytes, when the line begins with the
// prompt as last drawn (its mark as drawn, or marked seen), else nullptr.
const char* after_prompt(const char* line, size_t length);

// A line of the reply being read.
void keep_reply_line(const char* line);

// The prompt whose last line is tail (length bytes, pending) ended the reply: its lines are
// compared with the previous reply's, and the next reply begins.
void learn_prompt_lines(const char* tail, size_t length);

// Whether the line with this hash (text_hash) is one of the lines the prompt spans above its
// last, as the ends of the last two replies showed.
bool prompt_line(uint64_t hash);

// Forgets the prompt, every reply and the prompt's lines. For tests (through channel_reset).
void reset_prompt_lines();
