#include "devices/details.h"

#include "base/clock.h"
#include "base/text.h"
#include "link/channel.h"
#include "link/prompt_lines.h"
#include "link/tool.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>

namespace {

// The fields a reply may hold, each as the start of a whole line. "\tBREDR.Paired:" and
// "\tLE.Connected:" of newer clients speak of one bearer only and are none of them.
enum Key {
    name_key,
    alias_key,
    icon_key,
    paired_key,
    trusted_key,
    blocked_key,
    connected_key,
    rssi_key,
    class_key,
    appearance_key
};
constexpr const char* key_texts[] = {
    "\tName:",    "\tAlias:",     "\tIcon:", "\tPaired:", "\tTrusted:",
    "\tBlocked:", "\tConnected:", "\tRSSI:", "\tClass:",  "\tAppearance:"};

// "yes" 1, "no" 0, anything else -1.
int32_t yes_no(const char* value) {
    if (std::strcmp(value, " yes") == 0)
        return 1;
    return std::strcmp(value, " no") == 0 ? 0 : -1;
}

void take_field(InfoReply* reply, Key key, const char* value) {
    switch (key) {
    case name_key: {
        while (std::isspace(static_cast<unsigned char>(*value)))
            ++value;
        size_t length = utf8_cut(value, strnlen(value, sizeof reply->name - 1));
        std::memcpy(reply->name, value, length);
        reply->name[length] = '\0';
        break;
    }
    case alias_key:
    case class_key:
    case appearance_key:
        break;
    case icon_key:
        reply->is_gaming = std::strcmp(value, " input-gaming") == 0 ? 1 : 0;
        break;
    case paired_key:
        reply->paired = yes_no(value);
        break;
    case trusted_key:
        reply->trusted = yes_no(value);
        break;
    case blocked_key:
        reply->blocked = yes_no(value);
        break;
    case connected_key:
        reply->connected = yes_no(value);
        break;
    case rssi_key:
        reply->rssi = static_cast<uint32_t>(text_hash(value, std::strlen(value))) | 1;
        break;
    }
}

} // namespace

void start_info_reply(InfoReply* reply, const char* address) {
    *reply = InfoReply{};
    std::snprintf(reply->address, sizeof reply->address, "%s", address);
    reply->is_gaming = reply->paired = reply->trusted = reply->blocked = reply->connected = -1;
}

void take_info_line(InfoReply* reply, const char* line) {
    if (reply->lines++ == 0) {
        // "Device <address> (public)", or "... not available": anything else is no reply
        // to this question, such as one to another running late.
        if (std::strncmp(line, "Device ", 7) != 0 ||
            strncasecmp(line + 7, reply->address, 17) != 0 || line[24] != ' ')
            reply->doubtful = true;
        return;
    }
    // The reply's own lines are indented: fields by a tab, hex dumps by blanks.
    if (line[0] != '\t' && line[0] != ' ') {
        reply->ended = true;
        return;
    }
    for (int key = name_key; key <= appearance_key; ++key) {
        size_t length = std::strlen(key_texts[key]);
        if (std::strncmp(line, key_texts[key], length) != 0)
            continue;
        if (reply->ended) {
            // A field among what followed the reply: the tool's prompt, when the name of its
            // default device spans lines, or else something that makes the reply doubtful.
            if (reply->strays == std::size(reply->stray_hashes))
                reply->doubtful = true;
            else
                reply->stray_hashes[reply->strays++] = text_hash(line, std::strlen(line));
            return;
        }
        uint32_t bit = 1u << key;
        if (reply->keys_seen & bit)
            reply->doubtful = true;
        reply->keys_seen |= bit;
        take_field(reply, static_cast<Key>(key), line + length);
        return;
    }
}

void apply_info_reply(const InfoReply* reply, Device* device) {
    device->unsure = 1;
    if (reply->doubtful || reply->lines == 0)
        return;
    for (uint32_t i = 0; i < reply->strays; ++i)
        if (!prompt_line(reply->stray_hashes[i]))
            return;
    device->unsure = 0;
    if (reply->keys_seen & (1u << name_key))
        std::memcpy(device->name, reply->name, sizeof device->name);
    if (reply->is_gaming == 1)
        device->is_gaming = 1;
    if (reply->paired >= 0)
        device->paired = reply->paired;
    if (reply->trusted >= 0)
        device->trusted = reply->trusted;
    if (reply->blocked >= 0)
        device->blocked = reply->blocked;
    if (reply->connected >= 0)
        device->connected = reply->connected;
    // Seen over LE alone: a class comes with every inquiry, an appearance with advertising.
    device->le_only = (reply->keys_seen & (1u << appearance_key)) != 0 &&
                      (reply->keys_seen & (1u << class_key)) == 0;
    if (reply->rssi != device->rssi && reply->rssi != 0) {
        int64_t now = monotonic_ms();
        if (device->rssi_changed == 0 || now - device->rssi_changed >= found_again_after_ms) {
            device->back = 1;
            // one its first reply shows may be an earlier discovery's, not this one's
            device->found = device->details_read;
        }
        device->rssi_changed = now;
    }
    device->rssi = reply->rssi;
    device->details_read = 1;
}

void refresh_info(int command_fd, int reply_fd) {
    char command[command_size];
    InfoReply reply;
    for (Device* device = device_list; device != nullptr; device = device->next) {
        if (!device_listed(device))
            continue;
        format_command(command, info_verb, device->address);
        send_command(command_fd, command);
        start_info_reply(&reply, device->address);
        while (const char* line = read_reply_line(reply_fd))
            take_info_line(&reply, line);
        apply_info_reply(&reply, device);
    }
}
