#pragma once
// Console report of the foreground mode: one line per device listed in this cycle, newest
// first (what the cycle saw and acted on; records kept from earlier listings are left out).

// Prints an empty line, "Devices:", then per device a tab, its name in double quotes, its
// address, "game", "trusted", "paired", "connected" (each left empty when not so) and
// "[need_connect]" or "[auto_connect]". Names are escaped as in the status text.
void print_devices();
