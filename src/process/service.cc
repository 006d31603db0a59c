#include "process/service.h"

#include "devices/details.h"
#include "devices/discovery.h"
#include "link/channel.h"
#include "link/tool.h"
#include "policy/policy.h"
#include "policy/report.h"

#include <cstdio>
#include <unistd.h>

void run_service(int command_fd, int reply_fd, bool report) {
    wait_prompt(reply_fd);
    for (const char* command : setup_commands) {
        send_command(command_fd, command);
        wait_prompt(reply_fd);
    }
    for (;;) {
        sleep(1);
        refresh_devices(command_fd, reply_fd);
        refresh_info(command_fd, reply_fd);
        manage_devices(command_fd, reply_fd);
        if (report) {
            log_dump();
            print_devices();
            std::fflush(stdout); // reach a pipe or file every cycle, not in buffered bursts
        }
    }
}
