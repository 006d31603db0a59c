#include "base/failure.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

void exit_failure(const char* message) {
    ssize_t ignored = write(STDERR_FILENO, message, std::strlen(message));
    (void)ignored;
    std::exit(1);
}
