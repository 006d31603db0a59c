#pragma once
// The kernel's input devices that Bluetooth devices bring: what makes a controller usable,
// and what it can do once connected. Every input device of a Bluetooth HID connection (the
// kernel's, or the daemon's through uhid) carries the remote address, lower case, as its uniq
// (/sys/class/input/inputN/uniq), and its keys in capabilities/key. A link that is up says
// "Connected: yes" before any such device exists: the link pairing leaves up carries no HID
// channel. The kernel announces each input device as it comes (a uevent); sysfs is looked at
// once a cycle as well. Read from uevents and sysfs alone, never an input device's events.
#include "devices/registry.h"

#include <cstddef>
#include <cstdint>

inline constexpr char input_class_path[] = "/sys/class/input";

// What an input device's keys let it type: letters (A to Z) and digits (the top row's and the
// keypad's): text, such as a command in a terminal that has the focus.
inline constexpr uint32_t types_letters = 1;
inline constexpr uint32_t types_digits = 2;

// The typing_keys of a capabilities/key bitmap as the kernel prints it for this process:
// hexadecimal words of a long each, most significant first.
uint32_t typing_keys(const char* bitmap);

// "letters and digits", "letters" or "digits", for the journal; "" for none.
const char* typing_words(uint32_t types);

// Opens the kernel's uevent socket (NETLINK_KOBJECT_UEVENT), where input devices are announced
// as they come; where there is none, only the look at sysfs once a cycle sees them. Looks
// whether sysfs can be read.
void inputs_start();

// What the service can see of input devices (inputs_sight): the kernel's announcements, and
// sysfs (/sys/class/input), as last tried. Without sysfs, no input device is seen at all.
inline constexpr uint32_t sees_announcements = 1;
inline constexpr uint32_t sees_sysfs = 2;
uint32_t inputs_sight();

// The uevent socket, readable when the kernel announced something (take_input_events); -1
// where there is none, or it failed.
int inputs_fd();

// One announcement of the kernel's, its fields NUL-separated: an input device that came for a
// known record marks it (Device::input, Device::typing from the keys it announces, or else
// those in sysfs). Returns whether one came for an address no record has: a device the client
// has not listed under it yet (an LE device that the pairing moved to its identity address).
bool take_uevent(const char* message, size_t length);

// Takes what the kernel announced since, as take_uevent does, and returns whether an input
// device came for an address no record has. Announcements come only from the kernel; others
// are passed over. Where some were lost, sysfs is read instead. Returns at once where there is
// no socket.
bool take_input_events();

// Marks the records whose address an input device carries (Device::input) and what their
// input devices can type (Device::typing), and clears the marks of the others. Reads sysfs
// only while a game controller of this listing says it is connected, or its details could
// not be read with confidence: no other record's mark counts.
void refresh_inputs();

// Closes the uevent socket. For tests only.
void inputs_reset();
