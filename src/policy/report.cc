#include "policy/report.h"

#include "base/text.h"
#include "devices/registry.h"

#include <cstdio>

void print_devices() {
    std::fputs("\nDevices:\n", stdout);
    char name[4 * sizeof device_list->name];
    for (const Device* d = device_list; d != nullptr; d = d->next) {
        if (!device_listed(d))
            continue;
        escape_text(name, sizeof name, d->name);
        std::printf("\t\"%s\" %s %s %s %s %s %s\n", name, d->address, d->is_gaming ? "game" : "",
                    d->trusted ? "trusted" : "", d->paired ? "paired" : "",
                    d->connected ? "connected" : "",
                    d->need_connect ? "[need_connect]" : "[auto_connect]");
    }
}
