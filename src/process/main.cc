// joybond: keeps Bluetooth game controllers trusted, paired and connected.
#include "process/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    open_standard_descriptors();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-f") != 0) {
            std::fputs("Syntax: joybond [-f]\n", stdout);
            std::exit(1);
        }
    }
    if (argc > 1) // every argument was "-f"
        run_foreground();
    daemonize();
}
