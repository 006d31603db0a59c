#pragma once
// Text that comes from outside (device names, the tool's output) made safe to show, and
// lines told apart cheaply.
#include <cstddef>
#include <cstdint>

// Copies `in` to `out` (at most size bytes with the NUL) so that it can reach a terminal or a
// file that others show: valid UTF-8 passes byte for byte, but every control character (C0,
// DEL and C1) and every byte that is not part of valid UTF-8 is written as "\xNN". What does
// not fit is cut between characters, never inside one or inside an escape. With
// drop_tool_codes, bluetoothctl's own colour and erase-line codes (ESC "[" digits "m" or "K",
// a carriage return before one, readline's \x01 and \x02 markers) are left out instead, and a
// tab that begins the text (the tool's own indentation) stays.
// Returns the length written.
size_t escape_text(char* out, size_t size, const char* in, bool drop_tool_codes = false);

// The length of the longest start of text[0..length) that ends between two characters of
// UTF-8: a character cut at that length is left out whole.
size_t utf8_cut(const char* text, size_t length);

// A 64-bit hash of the text's length bytes (FNV-1a).
uint64_t text_hash(const char* text, size_t length);
