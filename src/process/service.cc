#include "process/service.h"

#include "base/notify.h"
#include "devices/adapter.h"
#include "devices/details.h"
#include "devices/discovery.h"
#include "link/channel.h"
#include "link/notices.h"
#include "link/tool.h"
#include "policy/journal.h"
#include "policy/policy.h"
#include "policy/report.h"

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

void set_up(int command_fd, int reply_fd) {
    for (const char* command : setup_commands) {
        send_command(command_fd, command);
        wait_prompt(reply_fd);
    }
}

// The adapter as the last "show" found it: none (it went, or the Bluetooth daemon did), and
// whether it has been seen powered since it came.
bool adapter_missing = false;
bool adapter_powered_seen = false;

// Sets the adapter up again when one appears where there was none (late, back after it went,
// under another name, or with a daemon that came back), or when it is powered but no longer
// discovering. One that was seen powered and is powered off now stays off: someone turned
// it off.
void keep_adapter(int command_fd, int reply_fd) {
    if (take_daemon_lost()) // it answers nothing while away, so "show" may never see it gone
        adapter_missing = true;
    AdapterState adapter = read_adapter(command_fd, reply_fd);
    if (adapter.present == 0) {
        adapter_missing = true;
        adapter_powered_seen = false;
        return;
    }
    if (adapter.present != 1)
        return; // the reply said nothing for sure: nothing changes
    bool new_one = adapter_missing || (adapter.powered == 0 && !adapter_powered_seen);
    if (new_one || (adapter.powered == 1 && adapter.discovering == 0)) {
        set_up(command_fd, reply_fd);
        adapter_missing = false;
    }
    if (adapter.powered == 1)
        adapter_powered_seen = true;
}

} // namespace

void run_service(int command_fd, int reply_fd, bool report) {
    notify_start();
    journal_start();
    notify_status("Waiting for bluetoothctl and the Bluetooth daemon...");
    wait_prompt(reply_fd);
    set_up(command_fd, reply_fd);
    take_daemon_lost(); // waited for at start, and set up now
    for (uint32_t cycle = 0;; ++cycle) {
        sleep(1);
        notify_watchdog();
        if (cycle % adapter_check_period == adapter_check_period - 1) // from the second cycle on
            keep_adapter(command_fd, reply_fd);
        refresh_devices(command_fd, reply_fd);
        refresh_info(command_fd, reply_fd);
        journal_devices();
        manage_devices(command_fd, reply_fd);
        if (report) {
            log_dump();
            print_devices();
            std::fflush(stdout); // reach a pipe or file every cycle, not in buffered bursts
        }
    }
}
