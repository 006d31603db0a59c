#pragma once
// Talking to systemd, when it runs us and asks for it (no library): the status text and the
// watchdog's keep-alive, each one datagram to NOTIFY_SOCKET (a path, or an abstract name
// beginning with "@"). Without NOTIFY_SOCKET nothing is sent; without WATCHDOG_USEC (or with
// a WATCHDOG_PID that is not ours) no keep-alive is.
#include <cstdint>

// Reads the environment and opens the socket; once, at start.
void notify_start();

// "STATUS=" and the status text on one line: its lines joined with "; ", control characters
// escaped as on the console; sent only when it changed.
void notify_status(const char* text);

// "WATCHDOG=1", at most every half watchdog period: call it as often as the loop turns.
void notify_watchdog();

// How long a wait may last before it must call notify_watchdog(), in milliseconds; -1 when
// no watchdog is asked for.
int notify_interval_ms();

// Forgets the socket and what was sent. For tests only.
void notify_reset();
