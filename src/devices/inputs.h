#pragma once
// The kernel's input devices that game controllers bring: what makes a controller usable.
// Every input device of a Bluetooth HID connection (the kernel's, or the daemon's through
// uhid) carries the remote address, lower case, as its uniq (/sys/class/input/inputN/uniq).
// A link that is up says "Connected: yes" before any such device exists: the link pairing
// leaves up carries no HID channel. Read from sysfs alone, never an input device's events.
#include "devices/registry.h"

inline constexpr char input_class_path[] = "/sys/class/input";

// Marks the records whose address an input device carries (Device::input), and clears the
// mark of the others. Reads sysfs only while a game controller of this listing says it is
// connected: no other record's mark counts.
void refresh_inputs();
