#pragma once
// Console report of the foreground mode: one line per known device, newest first.

// Prints an empty line, "Devices:", then per device a tab, its name in double quotes, its
// address, "game", "trusted", "paired", "connected" (each left empty when not so) and
// "[need_connect]" or "[auto_connect]".
void print_devices();
