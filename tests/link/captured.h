#pragma once
// Bytes captured from bluetoothctl 5.66, 5.79 and 5.87 (5.84 draws as 5.79 does): its main
// prompts, the agent's PIN question as each release draws it, and event lines.
#include <string>

inline const std::string prompt_566 = "\x1b[0;94m[bluetooth]\x1b[0m# ";
inline const std::string prompt_579 = "\x1b[0;94m[bluetooth]# \x1b[0m";
inline const std::string prompt_587 = "\x1b[0;94m[bluetoothctl]> \x1b[0m";

inline const std::string pin_566 = "\x1b[1;39m[agent] Enter PIN code: \x1b[0m";
inline const std::string pin_579 = "\x1b[1;39m\x1b[1;39m[agent] Enter PIN code: \x1b[0m\x1b[0m"; // and 5.87

// An event line of 5.66 (readline's markers around the colour codes) and of 5.87.
inline const std::string event_566 = "\r\x1b[K[\x01\x1b[0;93m\x02"
                                     "CHG\x01\x1b[0m\x02] Device 11:22:33:44:55:66 Trusted: yes";
inline const std::string event_587 =
    "\r\x1b[K\r[\x1b[0;93mCHG\x1b[0m] Device 11:22:33:44:55:66 Connected: yes";

// The start of an event about a device as 5.66, 5.79 and 5.87 draw it after clearing the line:
// its name follows, whatever bytes it holds.
inline const std::string new_566 = "\r\x1b[K[\x01\x1b[0;92m\x02NEW\x01\x1b[0m\x02] Device 5C:F3:70:11:22:33 ";
inline const std::string alias_579 = "\r\x1b[K[\x1b[0;93mCHG\x1b[0m] Device 5C:F3:70:11:22:33 Alias: ";
inline const std::string new_587 = "\r\x1b[K\r[\x1b[0;92mNEW\x1b[0m] Device 5C:F3:70:11:22:33 ";
