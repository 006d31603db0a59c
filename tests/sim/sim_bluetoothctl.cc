// A stand-in for bluetoothctl that tests place at /usr/bin/bluetoothctl.
//
// It follows the real client's conventions on a pipe: a coloured prompt in one of three
// styles, every command echoed after the prompt, reply lines ended by "\n", event lines
// tagged "[CHG]". Commands that go through the Bluetooth daemon (power, agent, scan, trust,
// pair, connect) get the prompt right after the echo (and after an "Attempting ..." line);
// their results follow, each as "<clear><line>\n<prompt>", and a prompt that changed with
// the connected device is redrawn last (5.66: "\r<new prompt>\x1b[K"). Other commands are
// answered in one piece, ended by the prompt. It holds devices with a name, an icon and
// trusted, paired and connected states, changed by "trust", "pair" (which leaves the link it
// brought up connected, bare), "connect" (which brings up the HID channels: in the sandbox,
// the controller's input device appears in /sys/class/input, as the kernel's does) and
// "block" (which disconnects it).
//
// Environment:
//   SIM_SCRIPT  a script file (optional), one directive per line, "#" starts a comment
//   SIM_LOG     a log file (optional): "start cwd=... umask=... sid=... ppid=... pid=...
//               stderr=open|closed stderr_target=<what descriptor 2 is>", then "cmd <text>"
//               per command
//   NOTIFY_SOCKET  as BlueZ's client, sends "WATCHDOG=1" there at start
//   SIM_TIMING  a timing file (optional): "<received> <answered> <command>" per command,
//               monotonic clock in microseconds, for benchmarks
//
// Directives:
//   style 5.66|5.79|5.87       prompt and event colouring of that client release
//   sync 1                     answer daemon commands in one piece too, ended by the prompt
//   late 1                     hold the results of a daemon command back until the next
//                              command arrives, then print them and pause 20 ms before its echo
//   chatter ADDR               around every "info" reply, events about ADDR ("Icon:
//                              input-gaming", "Connected: yes", "Paired: yes"): before the
//                              echo, and after the reply's prompt in the same write
//   waiting_ms N               print "Waiting to connect to bluetoothd..." and show the first
//                              prompt after N ms; -1 never
//   reply_delay_ms N           pause before answering each command
//   chunk N                    write output in pieces of at most N bytes, 1 ms apart
//   exit_on_command N          exit as command N arrives, before answering it
//   exit_on WORD               exit as the first command beginning with WORD arrives
//   close_after_reply N        after the prompt that ends reply N, close standard input, exit
//   stall_on_command N         echo command N, then never print again (still reads)
//   lifetime_ms N              exit N ms after start, whatever is going on
//   device ADDR ICON TRUSTED PAIRED CONNECTED APPEAR NAME...
//                              ICON and NAME may be "-" for none; the device is listed from
//                              the APPEAR-th "devices" command on (1: at once)
//   refuse_pair N              the first N pairings fail
//   agent_late N               the client's agent is not registered yet for the first N
//                              "default-agent" commands: "No agent is registered"
//   bearers 1                  info and events carry the BREDR. and LE. lines of BlueZ 5.84+
//   flood N COUNT LENGTH       after the prompt ending reply N, COUNT event lines of LENGTH
//                              bytes each, then the prompt again
//   keys ADDR BITMAP           its input device's keys (capabilities/key; a gamepad's by default)
//   drop ADDR N                the device loses its connection (and input device) at the N-th
//                              "devices" command
//   gone ADDR N                the device is no longer listed (nor known) from the N-th
//                              "devices" command on
//   rotate COUNT LIFETIME      COUNT phones besides, each listed under an address that lives
//                              LIFETIME listings and then gives way to a new one (staggered,
//                              so that COUNT/LIFETIME new addresses come with every listing)
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct SimDevice {
    std::string address, name, icon;
    bool trusted = false, paired = false, connected = false;
    bool input = false; // its HID channels are up: the kernel has its input device
    bool blocked = false;
    std::string keys = "ffff000000000000 0 0 0 0"; // its input device's keys: a gamepad's
    int appear = 1;
    int gone = 0; // no longer listed from this listing on; 0: never gone
};

struct Script {
    std::string style = "5.66";
    bool sync = false, late = false, bearers = false;
    std::string chatter, exit_on;
    long waiting_ms = 0, reply_delay_ms = 0, lifetime_ms = 0;
    size_t chunk = 0;
    int exit_on_command = 0, close_after_reply = 0, stall_on_command = 0, refuse_pair = 0;
    int agent_late = 0;
    int flood_after = 0, rotate_count = 0, rotate_lifetime = 1;
    long flood_count = 0;
    size_t flood_length = 0;
    std::vector<std::pair<std::string, int>> drops;
    std::vector<SimDevice> devices;
};

Script script;
int log_fd = -1;
int timing_fd = -1;
int devices_calls = 0;
std::string held; // results that "late" holds back
auto started = std::chrono::steady_clock::now();

void append_to(int fd, const std::string& line) {
    if (fd >= 0 && write(fd, line.data(), line.size()) < 0)
        _exit(1);
}

void note(const std::string& text) {
    append_to(log_fd, text + "\n");
}

long long monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void end_if_expired() {
    auto elapsed = std::chrono::steady_clock::now() - started;
    if (script.lifetime_ms > 0 && elapsed >= std::chrono::milliseconds(script.lifetime_ms)) {
        note("exit lifetime");
        _exit(0);
    }
}

void pause_ms(long ms) {
    for (; ms > 0; ms -= 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms > 20 ? 20 : ms));
        end_if_expired();
    }
}

void emit(const std::string& text) {
    size_t step = script.chunk > 0 ? script.chunk : text.size();
    for (size_t at = 0; at < text.size(); at += step) {
        if (at > 0)
            pause_ms(1);
        if (write(STDOUT_FILENO, text.data() + at, std::min(step, text.size() - at)) < 0)
            _exit(1);
    }
}

std::string prompt() {
    std::string shown = script.style == "5.87" ? "bluetoothctl" : "bluetooth";
    for (const SimDevice& d : script.devices)
        if (d.connected && !d.name.empty()) {
            shown = d.name;
            break;
        }
    if (script.style == "5.79")
        return "\x1b[0;94m[" + shown + "]# \x1b[0m";
    if (script.style == "5.87")
        return "\x1b[0;94m[" + shown + "]> \x1b[0m";
    return "\x1b[0;94m[" + shown + "]\x1b[0m# ";
}

std::string tagged(const std::string& text) {
    if (script.style == "5.66")
        return "[\x01\x1b[0;93m\x02"
               "CHG\x01\x1b[0m\x02] " +
               text + "\n";
    return "[\x1b[0;93mCHG\x1b[0m] " + text + "\n";
}

// What the client prints to clear its prompt before a line that arrives while it is idle.
std::string clear_prompt() {
    return script.style == "5.79" ? "" : script.style == "5.87" ? "\r\x1b[K\r" : "\r\x1b[K";
}

// Event lines printed while idle, each followed by the prompt drawn again.
std::string idle_events(const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& text : texts)
        out += clear_prompt() + tagged(text) + prompt();
    return out;
}

std::string chatter(const std::vector<std::string>& keys) {
    std::vector<std::string> texts;
    for (const std::string& key : keys)
        texts.push_back("Device " + script.chatter + " " + key);
    return script.chatter.empty() ? "" : idle_events(texts);
}

std::string yes_no(bool value) {
    return value ? "yes" : "no";
}

std::string info_reply(const SimDevice& d) {
    std::string out = "Device " + d.address + " (public)\n";
    std::string name = d.name.empty() ? d.address : d.name;
    if (!d.name.empty())
        out += "\tName: " + d.name + "\n";
    out += "\tAlias: " + name + "\n\tClass: 0x00000508\n";
    if (!d.icon.empty())
        out += "\tIcon: " + d.icon + "\n";
    out += "\tPaired: " + yes_no(d.paired) + "\n\tTrusted: " + yes_no(d.trusted) +
           "\n\tBlocked: " + yes_no(d.blocked) + "\n\tConnected: " + yes_no(d.connected) + "\n";
    if (script.bearers)
        out += "\tBREDR.Paired: " + yes_no(d.paired) +
               "\n\tBREDR.Connected: " + yes_no(d.connected) +
               "\n\tLE.Paired: no\n\tLE.Connected: no\n";
    return out + "\tLegacyPairing: no\n"
                 "\tUUID: Human Interface Device... (00001124-0000-1000-8000-00805f9b34fb)\n"
                 "\tManufacturerData Key: 0x0045\n\tManufacturerData Value:\n"
                 "  01 02 03 04                                      ....            \n"
                 "\tRSSI: -60\n";
}

bool listed(const SimDevice& d) {
    return d.appear <= devices_calls && (d.gone == 0 || devices_calls < d.gone);
}

// The phone in rotation slot i under its address of the current listing.
SimDevice rotated(int slot) {
    int generation = (devices_calls - 1 + slot * script.rotate_lifetime / script.rotate_count) /
                     script.rotate_lifetime;
    char address[18];
    std::snprintf(address, sizeof address, "20:%02X:%02X:%02X:%02X:01", slot & 0xff,
                  (generation >> 16) & 0xff, (generation >> 8) & 0xff, generation & 0xff);
    SimDevice d;
    d.address = address;
    d.name = "Phone " + std::to_string(slot);
    d.icon = "phone";
    return d;
}

// The kernel's input device of a controller whose HID channels are up: in the sandbox, the
// input class is ours, and input<N>/uniq holds the address in lower case, as the kernel's
// does. Elsewhere nothing is written.
void set_input(SimDevice& d, bool up) {
    d.input = up;
    std::string folder = "/sys/class/input/input" + std::to_string(&d - script.devices.data() + 100);
    std::string uniq = folder + "/uniq";
    if (!up) {
        unlink(uniq.c_str());
        unlink((folder + "/capabilities/key").c_str());
        rmdir((folder + "/capabilities").c_str());
        rmdir(folder.c_str());
        return;
    }
    mkdir(folder.c_str(), 0755);
    mkdir((folder + "/capabilities").c_str(), 0755);
    std::string address = d.address;
    for (char& c : address)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::pair<std::string, std::string> files[] = {{uniq, address},
                                                         {folder + "/capabilities/key", d.keys}};
    for (const auto& [path, text] : files) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        append_to(fd, text + "\n");
        if (fd >= 0)
            close(fd);
    }
}

bool known(const SimDevice* d) {
    return d >= script.devices.data() && d < script.devices.data() + script.devices.size();
}

std::string list_devices() {
    ++devices_calls;
    for (const auto& [dropped, at] : script.drops)
        for (SimDevice& d : script.devices)
            if (d.address == dropped && at == devices_calls) {
                d.connected = false;
                set_input(d, false);
            }
    std::string out;
    for (const SimDevice& d : script.devices)
        if (listed(d))
            out += "Device " + d.address + " " + (d.name.empty() ? d.address : d.name) + "\n";
    for (int slot = 0; slot < script.rotate_count; ++slot) {
        SimDevice d = rotated(slot);
        out += "Device " + d.address + " " + d.name + "\n";
    }
    return out;
}

std::string answer(const std::string& command) {
    std::istringstream words(command);
    std::string verb, address;
    words >> verb >> address;
    if (command == "power on")
        return "Changing power on succeeded\n";
    if (command == "agent NoInputNoOutput")
        return "Agent registered\n";
    if (command == "default-agent" && script.agent_late > 0 && script.agent_late--)
        return "No agent is registered\n";
    if (command == "default-agent")
        return "Default agent request successful\n";
    if (command == "scan on")
        return "Discovery started\n" + tagged("Controller 00:1A:7D:DA:71:13 Discovering: yes");
    if (command == "devices")
        return list_devices();
    if (command == "show")
        return "Controller 00:1A:7D:DA:71:13 (public)\n\tName: sim\n\tAlias: sim\n\tClass: "
               "0x0000010c\n"
               "\tPowered: yes\n\tDiscoverable: no\n\tDiscoverableTimeout: 0x000000b4\n\tPairable: "
               "yes\n"
               "\tUUID: PnP Information           (00001200-0000-1000-8000-00805f9b34fb)\n"
               "\tUUID: Generic Access Profile    (00001800-0000-1000-8000-00805f9b34fb)\n"
               "\tModalias: usb:v1D6Bp0245d050A\n\tDiscovering: yes\n";
    if (verb != "info" && verb != "trust" && verb != "pair" && verb != "connect" && verb != "block")
        return "Invalid command in menu main: " + verb + "\n";
    SimDevice* d = nullptr;
    for (SimDevice& candidate : script.devices)
        if (candidate.address == address && listed(candidate))
            d = &candidate;
    SimDevice phone;
    for (int slot = 0; slot < script.rotate_count && d == nullptr; ++slot)
        if ((phone = rotated(slot)).address == address)
            d = &phone;
    if (d == nullptr)
        return "Device " + address + " not available\n";
    std::string about = "Device " + address + " ";
    if (verb == "info")
        return info_reply(*d);
    if (verb == "block") { // the daemon disconnects it, and refuses it from then on
        d->blocked = true;
        d->connected = false;
        if (known(d))
            set_input(*d, false);
        return tagged(about + "Blocked: yes") + "Changing " + address + " block succeeded\n";
    }
    if (verb == "trust") {
        d->trusted = true;
        return tagged(about + "Trusted: yes") + "Changing " + address + " trust succeeded\n";
    }
    if (verb == "pair") {
        std::string out = "Attempting to pair with " + address + "\n";
        if (script.refuse_pair > 0 && script.refuse_pair--)
            return out + "Failed to pair: org.bluez.Error.AuthenticationFailed\n";
        // The link the pairing brings up stays, bare: no HID channel, no input device.
        if (!d->connected)
            out += tagged(about + "Connected: yes");
        d->paired = d->connected = true;
        out += tagged(about + "Paired: yes");
        if (script.bearers)
            out += tagged(about + "BREDR.Paired: yes");
        return out + "Pairing successful\n";
    }
    d->connected = true;
    if (known(d))
        set_input(*d, true);
    std::string out =
        "Attempting to connect to " + address + "\n" + tagged(about + "Connected: yes");
    if (script.bearers)
        out += tagged(about + "LE.Connected: no");
    return out + "Connection successful\n";
}

bool goes_through_daemon(const std::string& command) {
    for (const char* verb :
         {"power", "agent", "default-agent", "scan", "trust", "pair", "connect", "block"})
        if (command.rfind(verb, 0) == 0)
            return true;
    return false;
}

// Answers as the real client does: daemon commands get the prompt at once and their results
// afterwards, one by one, each redrawing the prompt ("late" holds those back).
void answer_command(const std::string& command) {
    std::string before = prompt(); // the prompt as it was; the answer may change it
    std::string reply = answer(command);
    if (script.sync || !goes_through_daemon(command)) {
        bool info = command.rfind("info ", 0) == 0;
        emit(reply + prompt() + (info ? chatter({"Paired: yes"}) : ""));
        return;
    }
    std::istringstream lines(reply);
    std::string line, results;
    if (reply.rfind("Attempting", 0) == 0 && std::getline(lines, line))
        emit(line + "\n" + before);
    else
        emit(before);
    while (std::getline(lines, line))
        results += clear_prompt() + line + "\n" + before;
    std::string now = prompt();
    if (now != before) // changed with the connected device: 5.66 ends it with an erase code
        results += script.style == "5.66" ? "\r" + now + "\x1b[K" : clear_prompt() + now;
    if (script.late)
        held += results;
    else
        emit(results);
}

void flood() {
    std::string line = "[CHG] Device 11:22:33:44:55:66 RSSI: -60 ";
    line.resize(script.flood_length, 'x');
    std::string lines;
    for (long i = 0; i < script.flood_count; ++i) {
        lines += line + "\n";
        if (lines.size() > 65536) {
            emit(lines);
            lines.clear();
        }
    }
    emit(lines + prompt());
}

void load_script(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        if (!(words >> key) || key[0] == '#')
            continue;
        if (key == "style")
            words >> script.style;
        else if (key == "sync")
            words >> script.sync;
        else if (key == "late")
            words >> script.late;
        else if (key == "chatter")
            words >> script.chatter;
        else if (key == "waiting_ms")
            words >> script.waiting_ms;
        else if (key == "reply_delay_ms")
            words >> script.reply_delay_ms;
        else if (key == "chunk")
            words >> script.chunk;
        else if (key == "exit_on_command")
            words >> script.exit_on_command;
        else if (key == "exit_on")
            words >> script.exit_on;
        else if (key == "close_after_reply")
            words >> script.close_after_reply;
        else if (key == "stall_on_command")
            words >> script.stall_on_command;
        else if (key == "lifetime_ms")
            words >> script.lifetime_ms;
        else if (key == "refuse_pair")
            words >> script.refuse_pair;
        else if (key == "agent_late")
            words >> script.agent_late;
        else if (key == "bearers")
            words >> script.bearers;
        else if (key == "flood")
            words >> script.flood_after >> script.flood_count >> script.flood_length;
        else if (key == "rotate")
            words >> script.rotate_count >> script.rotate_lifetime;
        else if (key == "drop") {
            std::pair<std::string, int> drop;
            words >> drop.first >> drop.second;
            script.drops.push_back(drop);
        } else if (key == "keys") {
            std::string address;
            words >> address;
            for (SimDevice& d : script.devices)
                if (d.address == address)
                    std::getline(words >> std::ws, d.keys);
        } else if (key == "gone") {
            std::string address;
            int at = 0;
            words >> address >> at;
            for (SimDevice& d : script.devices)
                if (d.address == address)
                    d.gone = at;
        } else if (key == "device") {
            SimDevice d;
            words >> d.address >> d.icon >> d.trusted >> d.paired >> d.connected >> d.appear;
            std::getline(words >> std::ws, d.name);
            for (std::string* text : {&d.icon, &d.name})
                if (*text == "-")
                    text->clear();
            script.devices.push_back(d);
        } else {
            std::fprintf(stderr, "sim_bluetoothctl: unknown directive %s\n", key.c_str());
            std::exit(2);
        }
    }
}

void log_start(bool stderr_given) {
    char cwd[4096] = "?";
    if (getcwd(cwd, sizeof cwd) == nullptr)
        std::strcpy(cwd, "?");
    mode_t mask = umask(0);
    umask(mask);
    char target[4096] = "";
    ssize_t length = readlink("/proc/self/fd/2", target, sizeof target - 1);
    target[length > 0 ? length : 0] = '\0';
    char line[8600];
    std::snprintf(line, sizeof line,
                  "start cwd=%s umask=%04o sid=%d ppid=%d pid=%d stderr=%s stderr_target=%s", cwd,
                  static_cast<unsigned>(mask), static_cast<int>(getsid(0)),
                  static_cast<int>(getppid()), static_cast<int>(getpid()),
                  stderr_given ? "open" : "closed", target);
    note(line);
}

} // namespace

int main() {
    // Whether the standard error it was given is open, before any file it opens takes it.
    bool stderr_given = fcntl(STDERR_FILENO, F_GETFD) != -1;
    if (const char* path = std::getenv("SIM_SCRIPT"))
        load_script(path);
    if (const char* path = std::getenv("SIM_LOG"))
        log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (const char* path = std::getenv("SIM_TIMING"))
        timing_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    log_start(stderr_given);
    for (SimDevice& d : script.devices) // controllers connected already, usable
        if (d.connected && d.icon.rfind("input-", 0) == 0)
            set_input(d, true);
    // As BlueZ's main loop does when given NOTIFY_SOCKET: it speaks to systemd by itself.
    if (const char* path = std::getenv("NOTIFY_SOCKET"); path != nullptr && path[0] == '/') {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        const char message[] = "WATCHDOG=1";
        (void)sendto(fd, message, sizeof message - 1, 0, reinterpret_cast<sockaddr*>(&address),
                     sizeof address);
        close(fd);
    }

    if (script.waiting_ms != 0) {
        emit("Waiting to connect to bluetoothd...\n");
        pause_ms(script.waiting_ms < 0 ? 1L << 40 : script.waiting_ms);
    }
    emit(prompt());

    std::string pending;
    int commands = 0;
    bool stalled = false;
    char chunk[4096];
    for (;;) {
        pollfd entry{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&entry, 1, 20);
        end_if_expired();
        if (ready <= 0)
            continue;
        long long received = monotonic_us();
        ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count <= 0) {
            note("exit input closed");
            return 0;
        }
        pending.append(chunk, static_cast<size_t>(count));
        for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
            std::string command = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            ++commands;
            note("cmd " + command);
            if (commands == script.exit_on_command ||
                (!script.exit_on.empty() && command.rfind(script.exit_on, 0) == 0)) {
                note("exit on command");
                return 0;
            }
            if (stalled)
                continue;
            if (!held.empty()) { // results running late, read before this command's echo
                emit(held);
                held.clear();
                pause_ms(20);
            }
            if (command.rfind("info ", 0) == 0)
                emit(chatter({"Icon: input-gaming", "Connected: yes"}));
            emit(command + "\n");
            if (commands == script.stall_on_command) {
                stalled = true;
                continue;
            }
            pause_ms(script.reply_delay_ms);
            // Input closes before the prompt goes out, so the next command meets no reader.
            if (commands == script.close_after_reply)
                close(STDIN_FILENO);
            answer_command(command);
            append_to(timing_fd, std::to_string(received) + " " + std::to_string(monotonic_us()) +
                                     " " + command + "\n");
            if (commands == script.close_after_reply) {
                note("exit after reply");
                return 0;
            }
            if (commands == script.flood_after)
                flood();
        }
    }
}
