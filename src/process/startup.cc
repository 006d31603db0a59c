#include "process/startup.h"

#include "base/failure.h"
#include "link/tool.h"
#include "process/service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

void open_standard_descriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower descriptors are open, so this one is the lowest free number.
        if (open("/dev/null", O_RDWR) != fd)
            exit_failure("Failed to open standard descriptors\n");
    }
}

namespace {

// bluetoothctl draws its prompt and the echo of our commands with readline, which takes its
// screen from the environment: with no TERM (as under systemd), a dumb or narrow terminal, a
// long prompt scrolls the input line sideways and the echo never appears whole; a user's
// readline init file can do the same. The tool gets one screen whoever started joybond: a
// vt100 (from ncurses-base, in every Debian) as wide as no prompt can be, and no init file.
// systemd's notify variables are joybond's own: the tool must not speak for it.
void set_tool_environment() {
    setenv("TERM", "vt100", 1);
    setenv("COLUMNS", "4096", 1);
    setenv("LINES", "24", 1);
    setenv("INPUTRC", "/dev/null", 1);
    for (const char* name :
         {"TERMINFO", "TERMINFO_DIRS", "TERMCAP", "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        unsetenv(name);
}

} // namespace

void spawn_controller(int* command_fd, int* reply_fd) {
    int to_tool[2];
    int from_tool[2];
    if (pipe(to_tool) != 0 || pipe(from_tool) != 0)
        exit_failure("Failed to create pipes\n");
    pid_t child = fork();
    if (child == -1)
        exit_failure("Failed to fork\n");
    if (child == 0) {
        // A tool without its input or output is no tool: it is not started.
        if (dup2(to_tool[0], STDIN_FILENO) == STDIN_FILENO &&
            dup2(from_tool[1], STDOUT_FILENO) == STDOUT_FILENO) {
            close(to_tool[0]);
            close(to_tool[1]);
            close(from_tool[0]);
            close(from_tool[1]);
            set_tool_environment();
            execl(tool_path, tool_path, tool_agent_option, tool_agent_capability,
                  static_cast<char*>(nullptr));
        }
        const char message[] = "Failed to run bluetoothctl\n";
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        _exit(1); // not exit(): the parent's stdio buffers and exit handlers are not ours
    }
    *command_fd = to_tool[1];
    *reply_fd = from_tool[0];
    close(to_tool[0]);
    close(from_tool[1]);
}

void daemonize() {
    pid_t child = fork();
    if (child < 0)
        exit_failure("Failed to fork daemon\n");
    if (child > 0)
        std::exit(0);
    // The invoker has its status: from now on nothing of ours, the tool included, holds its
    // terminal, pipes or files (a caller reading our standard error sees its end at once).
    int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3 && null_fd >= 0; ++fd)
        dup2(null_fd, fd);
    if (null_fd > 2)
        close(null_fd);
    umask(0);
    if (setsid() < 0)
        exit_failure("Failed to set sid\n");
    if (chdir("/") < 0)
        exit_failure("Failed to change dir\n");
    int command_fd = -1;
    int reply_fd = -1;
    spawn_controller(&command_fd, &reply_fd);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    run_service(command_fd, reply_fd, false);
}

void run_foreground() {
    // A static buffer for the console report, so that device records and their addresses stay
    // the only memory taken at run time. Same buffering as stdio would choose.
    static char report_buffer[BUFSIZ];
    setvbuf(stdout, report_buffer, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, sizeof report_buffer);
    int command_fd = -1;
    int reply_fd = -1;
    spawn_controller(&command_fd, &reply_fd);
    run_service(command_fd, reply_fd, true);
}
