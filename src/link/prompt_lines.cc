#include "link/prompt_lines.h"

#include "base/text.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {

constexpr char prompt_opening[] = "\x1b[0;94m[";
constexpr size_t kept_lines = 256;
struct ReplyLines {
    uint64_t hashes[kept_lines]; // a ring: line n at n % kept_lines
    bool opens[kept_lines];      // the line begins as a prompt does
    size_t count;
    uint64_t tail; // the hash of the prompt that ended the reply
};

struct PromptLines {
    char last[512]; // the main prompt's last line as last drawn
    size_t length;  // 0 when there is none, or it was too long to keep
    size_t mark;    // where its mark is
    ReplyLines replies[2]; // the reply being read, and the one before
    int current;
    uint64_t heads[kept_lines]; // the prompt's lines above its last
    size_t head_count;
};
PromptLines learned;

} // namespace

void keep_prompt(const char* begin, const char* end, const char* mark) {
    learned.length = std::min(static_cast<size_t>(end - begin), sizeof learned.last);
    learned.mark = static_cast<size_t>(mark - begin);
    if (learned.mark >= learned.length)
        learned.length = 0; // too long to keep: no line counts as following it
    std::memcpy(learned.last, begin, learned.length);
}

const char* after_prompt(const char* line, size_t length) {
    const char* last = learned.last;
    size_t mark = learned.mark;
    bool follows = learned.length > 0 && length >= learned.length &&
                   std::memcmp(line, last, mark) == 0 &&
                   std::memcmp(line + mark + 1, last + mark + 1, learned.length - mark - 1) == 0;
    return follows ? line + learned.length : nullptr;
}

void keep_reply_line(const char* line) {
    ReplyLines& kept = learned.replies[learned.current];
    size_t slot = kept.count++ % kept_lines;
    kept.hashes[slot] = text_hash(line, std::strlen(line));
    kept.opens[slot] = std::strncmp(line, prompt_opening, sizeof prompt_opening - 1) == 0;
}

void learn_prompt_lines(const char* tail, size_t length) {
    ReplyLines& now = learned.replies[learned.current];
    const ReplyLines& before = learned.replies[1 - learned.current];
    now.tail = text_hash(tail, length);
    if (now.tail == before.tail) {
        size_t common = 0;
        size_t limit = std::min({now.count, before.count, kept_lines});
        while (common < limit && now.hashes[(now.count - common - 1) % kept_lines] ==
                                     before.hashes[(before.count - common - 1) % kept_lines])
            ++common;
        size_t heads = common;
        while (heads > 0 && !now.opens[(now.count - heads) % kept_lines])
            --heads;
        learned.head_count = heads;
        for (size_t i = 0; i < heads; ++i)
            learned.heads[i] = now.hashes[(now.count - heads + i) % kept_lines];
    }
    learned.current = 1 - learned.current;
    learned.replies[learned.current].count = 0;
}

bool prompt_line(uint64_t hash) {
    return std::find(learned.heads, learned.heads + learned.head_count, hash) !=
           learned.heads + learned.head_count;
}

void reset_prompt_lines() {
    learned.length = learned.mark = 0;
    learned.replies[0].count = learned.replies[1].count = 0;
    learned.replies[0].tail = learned.replies[1].tail = 0;
    learned.head_count = 0;
}
