#include "base/text.h"

#include <cstring>

namespace {

// The length of the valid UTF-8 character of two to four bytes at p (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
size_t utf8_length(const unsigned char* p) {
    auto follows = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    unsigned char c = p[0];
    if (c >= 0xC2 && c <= 0xDF)
        return follows(p[1]) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned char low = c == 0xE0 ? 0xA0 : 0x80;
        unsigned char high = c == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && follows(p[2]) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned char low = c == 0xF0 ? 0x90 : 0x80;
        unsigned char high = c == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && follows(p[2]) && follows(p[3]) ? 4 : 0;
    }
    return 0;
}

bool is_digit(char c) {
    return (c >= '0' && c <= '9') || c == ';';
}

// The length of bluetoothctl's own code at p, or 0: ESC "[" digits and ";" then "m" or "K",
// with a carriage return before it; readline's markers \x01 and \x02.
size_t tool_code_length(const char* p) {
    if (*p == '\x01' || *p == '\x02')
        return 1;
    size_t start = *p == '\r' ? 1 : 0;
    if (p[start] != '\x1b' || p[start + 1] != '[')
        return 0;
    size_t end = start + 2;
    while (is_digit(p[end]))
        ++end;
    return p[end] == 'm' || p[end] == 'K' ? end + 1 : 0;
}

} // namespace

size_t escape_text(char* out, size_t size, const char* in, bool drop_tool_codes) {
    static const char hex[] = "0123456789abcdef";
    size_t used = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    while (*p != '\0' && size > 0) {
        if (size_t code =
                drop_tool_codes ? tool_code_length(reinterpret_cast<const char*>(p)) : 0) {
            p += code;
            continue;
        }
        size_t length = *p < 0x80 ? 1 : utf8_length(p);
        bool shown = length > 1 ? !(p[0] == 0xC2 && p[1] < 0xA0) // C1 controls
                                : length == 1 && *p >= 0x20 && *p != 0x7F;
        // The tab that indents the tool's own fields.
        shown = shown ||
                (drop_tool_codes && *p == '\t' && p == reinterpret_cast<const unsigned char*>(in));
        size_t width = shown ? length : 4;
        if (used + width >= size)
            break;
        if (shown) {
            std::memcpy(out + used, p, length);
        } else {
            length = 1; // each byte of what is not shown gets an escape of its own
            out[used] = '\\';
            out[used + 1] = 'x';
            out[used + 2] = hex[*p >> 4];
            out[used + 3] = hex[*p & 15];
        }
        used += width;
        p += length;
    }
    if (size > 0)
        out[used] = '\0';
    return used;
}

size_t utf8_cut(const char* text, size_t length) {
    size_t start = length;
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80 &&
           length - start < 3)
        --start;
    if (start == 0 || static_cast<unsigned char>(text[start - 1]) < 0xC0)
        return length; // ends in ASCII or in bytes that are no character anyway
    size_t lead = start - 1;
    size_t whole = utf8_length(reinterpret_cast<const unsigned char*>(text + lead));
    // A character cut short goes whole; one complete within the length, or bytes that are no
    // character, stay.
    return whole != 0 && lead + whole > length ? lead : length;
}

uint64_t text_hash(const char* text, size_t length) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ull;
    return hash;
}
