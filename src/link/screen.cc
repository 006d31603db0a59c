#include "link/screen.h"

#include <cstring>
#include <initializer_list>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The end of the code (ESC "[" digits/";" then "m" or "K") that begins at p, or nullptr.
const char* code_end(const char* p, const char* end) {
    if (end - p < 3 || p[0] != '\x1b' || p[1] != '[')
        return nullptr;
    const char* q = p + 2;
    while (q < end && (is_digit(*q) || *q == ';'))
        ++q;
    return q < end && (*q == 'm' || *q == 'K') ? q + 1 : nullptr;
}

// The question's own text: printable ASCII, none of the brackets, escapes or prompt marks that
// an event or a main prompt glued to it would bring.
bool plain_question(const char* begin, const char* end) {
    if (begin == end)
        return false;
    for (const char* p = begin; p < end; ++p)
        if (*p < 0x20 || *p > 0x7e || *p == '[' || *p == ']' || *p == '#' || *p == '>')
            return false;
    return true;
}

// Whether the text from start to end is the agent's question and nothing else:
// "[agent] <question>: ".
Pending question_at(const char* start, const char* end) {
    constexpr char label[] = "[agent] ";
    constexpr size_t label_length = sizeof label - 1;
    if (end - start < static_cast<long>(label_length) + 2 ||
        std::memcmp(start, label, label_length) != 0 || end[-2] != ':' || end[-1] != ' ')
        return Pending::nothing;
    const char* question = start + label_length;
    const char* question_end = end - 2;
    if (!plain_question(question, question_end))
        return Pending::nothing;
    constexpr char pin[] = "Enter PIN code";
    bool asks_pin = question_end - question == sizeof pin - 1 &&
                    std::memcmp(question, pin, sizeof pin - 1) == 0;
    return asks_pin ? Pending::pin_question : Pending::question;
}

// The end of the agent's question ("[agent] <question>: ") that begins right at start, or
// nullptr; its kind in *shown.
const char* question_from(const char* start, const char* end, Pending* shown) {
    const char* colon = start;
    while ((colon = static_cast<const char*>(
                std::memchr(colon, ':', static_cast<size_t>(end - colon)))) &&
           colon + 1 < end && colon[1] != ' ')
        ++colon;
    if (colon == nullptr || colon + 1 >= end)
        return nullptr;
    *shown = question_at(start, colon + 2);
    return *shown == Pending::nothing ? nullptr : colon + 2;
}

} // namespace

const char* skip_trailing_codes(const char* begin, const char* end) {
    while (end > begin && (end[-1] == 'm' || end[-1] == 'K')) {
        const char* p = end - 1;
        while (p > begin && (is_digit(p[-1]) || p[-1] == ';'))
            --p;
        if (p - begin < 2 || p[-1] != '[' || p[-2] != '\x1b')
            break;
        end = p - 2;
    }
    return end;
}

const char* skip_leading_codes(const char* begin, const char* end) {
    for (;;) {
        if (begin < end && *begin == '\r') {
            ++begin;
        } else if (const char* after = code_end(begin, end)) {
            begin = after;
        } else {
            return begin;
        }
    }
}

Pending recognize_pending(const char* begin, const char* end) {
    end = skip_trailing_codes(begin, end);
    constexpr char waiting[] = "Waiting to connect to bluetoothd...";
    constexpr long waiting_length = sizeof waiting - 1;
    if (end - begin >= waiting_length &&
        std::memcmp(end - waiting_length, waiting, waiting_length) == 0) {
        const char* start = end - waiting_length;
        if (start == begin || start[-1] == '\r' || start[-1] == '\n' ||
            skip_trailing_codes(begin, start) != start)
            return Pending::daemon_gone;
    }
    if (end - begin < 3 || end[-1] != ' ')
        return Pending::nothing;
    if (end[-2] == '#' || end[-2] == '>')
        return Pending::prompt;
    if (end[-2] != ':')
        return Pending::nothing;
    // The question begins after the last carriage return, or at the start of the line.
    const char* start = end;
    while (start > begin && start[-1] != '\r' && start[-1] != '\n')
        --start;
    while (const char* after = code_end(start, end))
        start = after;
    return question_at(start, end);
}

Pending drawn_question(const char* rest) {
    const char* end = rest + std::strlen(rest);
    const char* start = skip_leading_codes(rest, end);
    if (std::memchr(rest, '\r', static_cast<size_t>(start - rest)) == nullptr)
        return Pending::nothing;
    // The question starts the line again, and runs to its ": "; whatever follows was drawn
    // over it.
    Pending shown = Pending::nothing;
    question_from(start, end, &shown);
    return shown;
}

bool is_cancel_line(const char* line, const char* rest) {
    bool after_prompt = rest != nullptr;
    const char* drawing = after_prompt ? rest : line;
    constexpr char cancel[] = "Request canceled";
    size_t length = std::strlen(drawing);
    if (length < sizeof cancel - 1 ||
        std::strcmp(drawing + length - (sizeof cancel - 1), cancel) != 0)
        return false;
    const char* end = drawing + length - (sizeof cancel - 1);
    const char* start = skip_leading_codes(drawing, end);
    if (after_prompt && start == end)
        return true; // the main prompt drawn over the question
    // The question right at the start (after the prompt, drawn there after a carriage return),
    // then only carriage returns and codes: the client cleared its line to print the cancel.
    if (after_prompt && std::memchr(drawing, '\r', static_cast<size_t>(start - drawing)) == nullptr)
        return false;
    Pending shown = Pending::nothing;
    const char* after = question_from(start, end, &shown);
    return after != nullptr && skip_leading_codes(after, end) == end;
}

const char* failure_words(const char* rest) {
    rest = skip_leading_codes(rest, rest + std::strlen(rest));
    for (const char* words : {"Failed to pair: ", "Failed to connect: ", "Failed to set trust: "})
        if (std::strncmp(rest, words, std::strlen(words)) == 0)
            return rest;
    return nullptr;
}

const char* link_event_address(const char* rest) {
    const char* end = rest + std::strlen(rest);
    // Each piece of the event in turn, with the client's colour codes, and readline's markers
    // around them, allowed between them.
    auto skip_codes = [end](const char* at) {
        for (const char* after = nullptr; at != after;) {
            after = at;
            at = skip_leading_codes(at, end);
            while (at < end && (*at == '\x01' || *at == '\x02'))
                ++at;
        }
        return at;
    };
    const char* at = skip_codes(rest);
    // The prompt drawn again first, when the default device changes with the link:
    // "[<name>]# " ("> " from 5.79 on), a name with no control character in it (one with any
    // is no redraw).
    const char* inside = at < end && *at == '[' ? skip_codes(at + 1) : end;
    if (inside < end && (end - inside < 3 || std::memcmp(inside, "CHG", 3) != 0)) {
        const char* close = at + 1;
        while (close < end && *close != ']' && static_cast<unsigned char>(*close) >= ' ')
            ++close;
        const char* after = close < end && *close == ']' ? skip_codes(close + 1) : end;
        if (end - after < 2 || (after[0] != '#' && after[0] != '>') || after[1] != ' ')
            return nullptr;
        at = after + 2;
    }
    for (const char* piece : {"[", "CHG", "] Device "}) {
        at = skip_codes(at);
        size_t length = std::strlen(piece);
        if (static_cast<size_t>(end - at) < length || std::memcmp(at, piece, length) != 0)
            return nullptr;
        at += length;
    }
    constexpr long address_length = 17;
    constexpr char state[] = " Connected: ";
    constexpr long state_length = sizeof state - 1;
    if (end - at < address_length + state_length + 2)
        return nullptr;
    const char* value = at + address_length + state_length;
    if (std::memcmp(at + address_length, state, state_length) != 0)
        return nullptr;
    const char* value_end = skip_trailing_codes(value, end);
    bool yes = value_end - value == 3 && std::memcmp(value, "yes", 3) == 0;
    bool no = value_end - value == 2 && std::memcmp(value, "no", 2) == 0;
    return yes || no ? at : nullptr;
}
