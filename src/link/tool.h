#pragma once
// What joybond says to bluetoothctl: the tool's path and every command it sends. Every
// command is one line ending in "\n"; a reply is every line up to the next prompt. What comes
// back is read where it is used: lines and prompts by the channel, "Device" lines by
// discovery, the fields of an "info" reply by details.
#include <cstddef>
#include <cstdio>

inline constexpr char tool_path[] = "/usr/bin/bluetoothctl";

// Sent once, in this order, each followed by the wait for the prompt.
inline constexpr const char* setup_commands[] = {
    "power on\n",
    "agent NoInputNoOutput\n",
    "default-agent\n",
    "scan on\n",
};

// Every cycle: the devices the tool knows, then the details of each.
inline constexpr char list_command[] = "devices\n";
inline constexpr char info_verb[] = "info";

// The policy's steps, one per game controller and cycle.
inline constexpr char trust_verb[] = "trust";
inline constexpr char pair_verb[] = "pair";
inline constexpr char connect_verb[] = "connect";

// Commands about one device are "<verb> <address>\n", cut to fit 128 bytes.
inline constexpr size_t command_size = 128;
inline void format_command(char (&command)[command_size], const char* verb, const char* address) {
    std::snprintf(command, sizeof command, "%s %s\n", verb, address);
}
