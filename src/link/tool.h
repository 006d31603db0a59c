#pragma once
// What joybond says to bluetoothctl: the tool's path and every command it sends. Every
// command is one line ending in "\n"; a reply is every line up to the next prompt. What comes
// back is read where it is used: lines and prompts by the channel, "Device" lines by
// discovery, the fields of an "info" reply by details.
#include <cstddef>
#include <cstdio>

inline constexpr char tool_path[] = "/usr/bin/bluetoothctl";

// The agent the tool registers by itself as it starts, and so the default agent once set-up
// has said "default-agent": one without input or output. Without it the tool registers one
// that can type and confirm, and the set-up's "agent NoInputNoOutput" only finds an agent
// already there.
inline constexpr char tool_agent_option[] = "--agent";
inline constexpr char tool_agent_capability[] = "NoInputNoOutput";

// The answers to the agent's questions ("[agent] ...: "): the PIN that older and low-cost
// game controllers use, for a PIN asked while joybond is pairing; to any other PIN question a
// refusal that cannot be a PIN (the client passes whatever line it reads as the PIN, and the
// Bluetooth daemon takes 1 to 16 bytes: this is 24, so it answers "Invalid PIN length" and
// the pairing fails); and "no" to a passkey, a confirmation or an authorization.
inline constexpr char pin_answer[] = "0000\n";
inline constexpr char pin_refusal_answer[] = "joybond-refuses-this-pin\n";
inline constexpr char refusal_answer[] = "no\n";
static_assert(sizeof pin_refusal_answer - 2 > 16, "a refusal must be no PIN the daemon takes");

// Sent in this order, each followed by the wait for the prompt: at start, and again whenever
// the adapter or the Bluetooth daemon comes back. The agent's two go again until the tool
// says "Default agent request successful" (link/notices.h).
inline constexpr char power_command[] = "power on\n";
inline constexpr char agent_command[] = "agent NoInputNoOutput\n";
inline constexpr char default_agent_command[] = "default-agent\n";
inline constexpr char scan_command[] = "scan on\n";
inline constexpr const char* setup_commands[] = {power_command, agent_command,
                                                 default_agent_command, scan_command};

// Every other cycle: the default adapter, whether there is one and whether it is powered and
// discovering.
inline constexpr char show_command[] = "show\n";

// Every cycle: the devices the tool knows, then the details of each.
inline constexpr char list_command[] = "devices\n";
inline constexpr char info_verb[] = "info";

// The policy's steps, one per game controller and cycle.
inline constexpr char trust_verb[] = "trust";
inline constexpr char pair_verb[] = "pair";
inline constexpr char connect_verb[] = "connect";
// Gives back the trust joybond gave a controller it could not pair.
inline constexpr char untrust_verb[] = "untrust";
// Cuts off a device posing as a controller that can type: the daemon disconnects it and
// refuses it from then on.
inline constexpr char block_verb[] = "block";

// Removes a controller's stale pairing (policy/stale.h): the daemon forgets the device. Then
// discovery starts afresh, so that a new inquiry finds it at once, not when the one under way
// ends (up to 10.24 s).
inline constexpr char remove_verb[] = "remove";
inline constexpr char scan_off_command[] = "scan off\n";

// Commands about one device are "<verb> <address>\n", cut to fit 128 bytes.
inline constexpr size_t command_size = 128;
inline void format_command(char (&command)[command_size], const char* verb, const char* address) {
    std::snprintf(command, sizeof command, "%s %s\n", verb, address);
}
