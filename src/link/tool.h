#pragma once
// What joybond says to bluetoothctl and what it looks for in the answers.
// Every command is one line ending in "\n"; a reply is every line up to the next prompt.

inline constexpr char tool_path[] = "/usr/bin/bluetoothctl";

// Sent once, in this order, each followed by the wait for the prompt.
inline constexpr const char* setup_commands[] = {
    "power on\n",
    "agent NoInputNoOutput\n",
    "default-agent\n",
    "scan on\n",
};
