#include "policy/report.h"

#include "devices/registry.h"

#include <cstdio>

void print_devices() {
    std::fputs("\nDevices:\n", stdout);
    for (const Device* d = device_list; d != nullptr; d = d->next)
        if (device_listed(d))
            std::printf("\t\"%s\" %s %s %s %s %s %s\n", d->name, d->address, d->is_gaming ? "game" : "",
                        d->trusted ? "trusted" : "", d->paired ? "paired" : "",
                        d->connected ? "connected" : "",
                        d->need_connect ? "[need_connect]" : "[auto_connect]");
}
