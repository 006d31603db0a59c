/* The floor for memory figures: a minimal C program that only sleeps. */
#include <unistd.h>

int main(void) {
    for (;;)
        pause();
}
