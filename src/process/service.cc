#include "process/service.h"

#include "base/clock.h"
#include "base/notify.h"
#include "devices/adapter.h"
#include "devices/details.h"
#include "devices/discovery.h"
#include "devices/inputs.h"
#include "link/channel.h"
#include "link/notices.h"
#include "link/tool.h"
#include "policy/guard.h"
#include "policy/journal.h"
#include "policy/policy.h"
#include "policy/report.h"
#include "policy/stale.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

namespace {

// Whether the tool has said, since the last set-up, that the daemon took its agent as the
// default one. The tool reads commands as soon as it reaches the daemon, and registers its
// own agent a moment later: a "default-agent" read in between fails ("No agent is
// registered"), and an agent another program registered first stays the default.
bool agent_default = false;

void send_and_wait(int command_fd, int reply_fd, const char* command) {
    send_command(command_fd, command);
    wait_prompt(reply_fd);
}

void set_up(int command_fd, int reply_fd) {
    take_default_agent_set(); // said before this set-up: no answer to it
    agent_default = false;
    for (const char* command : setup_commands)
        send_and_wait(command_fd, reply_fd, command);
}

// Asks again for the tool's agent to be the default one, until the tool says it is.
void keep_agent(int command_fd, int reply_fd) {
    agent_default = agent_default || take_default_agent_set();
    if (agent_default)
        return;
    for (const char* command : {agent_command, default_agent_command})
        send_and_wait(command_fd, reply_fd, command);
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

// Whether an input device came for an address the registry does not know, since the last
// wait between cycles: the next wait is cut short.
bool unknown_input = false;

// Cuts off every game controller that has an input device that can type, as soon as the
// kernel says so: between commands, and while the cycle waits.
void guard(int command_fd, int reply_fd) {
    unknown_input = take_input_events() || unknown_input;
    guard_controllers(command_fd, reply_fd);
}

// The pause between cycles: a second, over which the kernel's announcements are acted on as
// they come. It ends early when an input device came for an address the registry does not
// know: the next cycle lists and reads the device at once (an LE device that its pairing
// moved to its identity address, whose keyboard would wait a cycle otherwise).
void wait_cycle(int command_fd, int reply_fd) {
    int64_t until = monotonic_ms() + 1000;
    for (int64_t left = 1000; left > 0 && !unknown_input; left = until - monotonic_ms()) {
        pollfd entry{inputs_fd(), POLLIN, 0};
        if (poll(&entry, entry.fd >= 0 ? 1 : 0, static_cast<int>(left)) > 0)
            guard(command_fd, reply_fd);
    }
    unknown_input = false;
}

} // namespace

void run_service(int command_fd, int reply_fd, bool report) {
    notify_start();
    journal_start();
    inputs_start();
    journal_sight();
    guard_start();
    notify_status("Waiting for bluetoothctl and the Bluetooth daemon...");
    wait_prompt(reply_fd);
    set_up(command_fd, reply_fd);
    take_daemon_lost(); // waited for at start, and set up now
    for (uint32_t cycle = 0;; ++cycle) {
        wait_cycle(command_fd, reply_fd);
        notify_watchdog();
        if (cycle % adapter_check_period == adapter_check_period - 1) { // from the second cycle on
            keep_agent(command_fd, reply_fd);
            keep_adapter(command_fd, reply_fd);
        }
        refresh_devices(command_fd, reply_fd);
        guard(command_fd, reply_fd);
        refresh_info(command_fd, reply_fd);
        refresh_inputs();
        guard(command_fd, reply_fd);
        journal_devices();
        mend_stale_pairings(command_fd, reply_fd);
        manage_devices(command_fd, reply_fd);
        guard(command_fd, reply_fd);
        if (report) {
            log_dump();
            print_devices();
            std::fflush(stdout); // reach a pipe or file every cycle, not in buffered bursts
        }
    }
}
