// A stand-in for bluetoothctl that tests place at /usr/bin/bluetoothctl.
//
// It follows the real client's conventions on a pipe: a coloured prompt in one of three
// styles, every command echoed after the prompt, reply lines ended by "\n", event lines
// tagged "[CHG]", and a new prompt after each reply. Its log's start line tells its working
// directory, umask, session, parent, pid and whether its standard error is open. It holds a set of devices with name,
// icon and trusted, paired and connected states and changes them on "trust", "pair" and
// "connect".
//
// Environment:
//   SIM_SCRIPT  a script file (optional), one directive per line, "#" starts a comment
//   SIM_LOG     a log file (optional): a "start ..." line, then "cmd <text>" per command
//   SIM_TIMING  a timing file (optional): "<received> <answered> <command>" per command,
//               monotonic clock in microseconds, for benchmarks
//
// Directives:
//   style 5.66|5.79|5.87       prompt and event colouring of that client release
//   waiting_ms N               print "Waiting to connect to bluetoothd..." and show the first
//                              prompt after N ms; -1 never
//   reply_delay_ms N           pause before answering each command
//   chunk N                    write output in pieces of at most N bytes, 1 ms apart
//   exit_on_command N          exit as command N arrives, before answering it
//   close_after_reply N        after the prompt that ends reply N, close standard input, exit
//   stall_on_command N         echo command N, then never print again (still reads)
//   lifetime_ms N              exit N ms after start, whatever is going on
//   device ADDR ICON TRUSTED PAIRED CONNECTED APPEAR NAME...
//                              ICON and NAME may be "-" for none; the device is listed from
//                              the APPEAR-th "devices" command on (1: at once)
//   refuse trust|pair|connect N  the first N such commands fail
//   bearers 1                  info and events carry the BREDR. and LE. lines of BlueZ 5.84+
//   async 1                    answer like the real client does for commands that go through
//                              the Bluetooth daemon (power, agent, scan, trust, pair, connect):
//                              the prompt right after the echo (and after an "Attempting ..."
//                              line), then each result as "\r\x1b[K<line>\n<prompt>"; a prompt
//                              that changes with the connected device is redrawn last, in
//                              5.66 as "\r<new prompt>\x1b[K" as the real client does
//   flood N COUNT LENGTH       after the prompt ending reply N, COUNT event lines of LENGTH
//                              bytes each, then the prompt again
//   drop ADDR N                the device loses its connection at the N-th "devices" command
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct SimDevice {
    std::string address;
    std::string name;
    std::string icon;
    bool trusted = false;
    bool paired = false;
    bool connected = false;
    int appear = 1;
};

struct Script {
    std::string style = "5.66";
    long waiting_ms = 0;
    long reply_delay_ms = 0;
    size_t chunk = 0;
    int exit_on_command = 0;
    int close_after_reply = 0;
    int stall_on_command = 0;
    long lifetime_ms = 0;
    int refuse_trust = 0;
    int refuse_pair = 0;
    int refuse_connect = 0;
    bool bearers = false;
    bool async = false;
    std::vector<std::pair<std::string, int>> drops;
    int flood_after = 0;
    long flood_count = 0;
    size_t flood_length = 0;
    std::vector<SimDevice> devices;
};

Script script;
int log_fd = -1;
int timing_fd = -1;
int devices_calls = 0;
bool stderr_given = false;
auto started = std::chrono::steady_clock::now();

void note(const std::string& text) {
    if (log_fd < 0)
        return;
    std::string line = text + "\n";
    ssize_t ignored = write(log_fd, line.data(), line.size());
    (void)ignored;
}

long long monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void note_timing(long long received, const std::string& command) {
    if (timing_fd < 0)
        return;
    std::string line =
        std::to_string(received) + " " + std::to_string(monotonic_us()) + " " + command + "\n";
    ssize_t ignored = write(timing_fd, line.data(), line.size());
    (void)ignored;
}

long elapsed_ms() {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - started)
                                 .count());
}

void end_if_expired() {
    if (script.lifetime_ms > 0 && elapsed_ms() >= script.lifetime_ms) {
        note("exit lifetime");
        _exit(0);
    }
}

void pause_ms(long ms) {
    while (ms > 0) {
        long step = ms > 20 ? 20 : ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        ms -= step;
        end_if_expired();
    }
}

void emit(const std::string& text) {
    size_t step = script.chunk > 0 ? script.chunk : text.size();
    for (size_t at = 0; at < text.size(); at += step) {
        if (at > 0)
            pause_ms(1);
        size_t length = std::min(step, text.size() - at);
        if (write(STDOUT_FILENO, text.data() + at, length) < 0)
            _exit(1);
    }
}

const SimDevice* connected_device() {
    for (const SimDevice& d : script.devices)
        if (d.connected)
            return &d;
    return nullptr;
}

std::string prompt() {
    const SimDevice* d = connected_device();
    bool named = d != nullptr && !d->name.empty();
    if (script.style == "5.79")
        return "\x1b[0;94m[" + (named ? d->name : std::string("bluetooth")) + "]# \x1b[0m";
    if (script.style == "5.87")
        return "\x1b[0;94m[" + (named ? d->name : std::string("bluetoothctl")) + "]> \x1b[0m";
    return "\x1b[0;94m[" + (named ? d->name : std::string("bluetooth")) + "]\x1b[0m# ";
}

std::string colour_of(const std::string& tag) {
    if (tag == "NEW")
        return "0;92";
    if (tag == "DEL")
        return "0;91";
    return "0;93";
}

std::string tagged(const std::string& tag, const std::string& text) {
    if (script.style == "5.66")
        return "[\x01\x1b[" + colour_of(tag) + "m\x02" + tag + "\x01\x1b[0m\x02] " + text + "\n";
    return "[\x1b[" + colour_of(tag) + "m" + tag + "\x1b[0m] " + text + "\n";
}

// What the client prints to clear its prompt before a line that arrives while it is idle.
std::string clear_prompt() {
    return script.style == "5.79" ? "" : script.style == "5.87" ? "\r\x1b[K\r" : "\r\x1b[K";
}

std::string yes_no(bool value) {
    return value ? "yes" : "no";
}

SimDevice* find_listed(const std::string& address) {
    for (SimDevice& d : script.devices)
        if (d.address == address && d.appear <= devices_calls)
            return &d;
    return nullptr;
}

std::string info_reply(const SimDevice& d) {
    std::string out = "Device " + d.address + " (public)\n";
    if (!d.name.empty())
        out += "\tName: " + d.name + "\n\tAlias: " + d.name + "\n";
    else
        out += "\tAlias: " + d.address + "\n";
    out += "\tClass: 0x00000508\n";
    if (!d.icon.empty())
        out += "\tIcon: " + d.icon + "\n";
    out += "\tPaired: " + yes_no(d.paired) + "\n";
    out += "\tTrusted: " + yes_no(d.trusted) + "\n";
    out += "\tBlocked: no\n";
    out += "\tConnected: " + yes_no(d.connected) + "\n";
    if (script.bearers) {
        out += "\tBREDR.Paired: " + yes_no(d.paired) + "\n";
        out += "\tBREDR.Connected: " + yes_no(d.connected) + "\n";
        out += "\tLE.Paired: no\n\tLE.Connected: no\n";
    }
    out += "\tLegacyPairing: no\n";
    out += "\tUUID: Human Interface Device... (00001124-0000-1000-8000-00805f9b34fb)\n";
    return out;
}

std::string answer(const std::string& command) {
    std::istringstream words(command);
    std::string verb;
    std::string address;
    words >> verb >> address;
    if (command == "power on")
        return "Changing power on succeeded\n";
    if (command == "agent NoInputNoOutput")
        return "Agent registered\n";
    if (command == "default-agent")
        return "Default agent request successful\n";
    if (command == "scan on")
        return "Discovery started\n" +
               tagged("CHG", "Controller 00:1A:7D:DA:71:13 Discovering: yes");
    if (command == "devices") {
        ++devices_calls;
        for (const auto& [dropped, at] : script.drops)
            for (SimDevice& d : script.devices)
                if (d.address == dropped && at == devices_calls)
                    d.connected = false;
        std::string out;
        for (const SimDevice& d : script.devices)
            if (d.appear <= devices_calls)
                out += "Device " + d.address + " " + (d.name.empty() ? d.address : d.name) + "\n";
        return out;
    }
    if (verb != "info" && verb != "trust" && verb != "pair" && verb != "connect")
        return "Invalid command in menu main: " + verb + "\n";
    SimDevice* d = find_listed(address);
    if (d == nullptr)
        return "Device " + address + " not available\n";
    if (verb == "info")
        return info_reply(*d);
    if (verb == "trust") {
        if (script.refuse_trust > 0 && script.refuse_trust--)
            return "Changing " + address + " trust failed\n";
        d->trusted = true;
        return tagged("CHG", "Device " + address + " Trusted: yes") + "Changing " + address +
               " trust succeeded\n";
    }
    if (verb == "pair") {
        std::string out = "Attempting to pair with " + address + "\n";
        if (script.refuse_pair > 0 && script.refuse_pair--)
            return out + "Failed to pair: org.bluez.Error.AuthenticationFailed\n";
        d->paired = true;
        out += tagged("CHG", "Device " + address + " Paired: yes");
        if (script.bearers)
            out += tagged("CHG", "Device " + address + " BREDR.Paired: yes");
        return out + "Pairing successful\n";
    }
    std::string out = "Attempting to connect to " + address + "\n";
    if (script.refuse_connect > 0 && script.refuse_connect--)
        return out + "Failed to connect: org.bluez.Error.Failed\n";
    d->connected = true;
    out += tagged("CHG", "Device " + address + " Connected: yes");
    if (script.bearers)
        out += tagged("CHG", "Device " + address + " LE.Connected: no");
    return out + "Connection successful\n";
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
        else if (key == "waiting_ms")
            words >> script.waiting_ms;
        else if (key == "reply_delay_ms")
            words >> script.reply_delay_ms;
        else if (key == "chunk")
            words >> script.chunk;
        else if (key == "exit_on_command")
            words >> script.exit_on_command;
        else if (key == "close_after_reply")
            words >> script.close_after_reply;
        else if (key == "stall_on_command")
            words >> script.stall_on_command;
        else if (key == "lifetime_ms")
            words >> script.lifetime_ms;
        else if (key == "bearers")
            words >> script.bearers;
        else if (key == "async")
            words >> script.async;
        else if (key == "flood")
            words >> script.flood_after >> script.flood_count >> script.flood_length;
        else if (key == "drop") {
            std::pair<std::string, int> drop;
            words >> drop.first >> drop.second;
            script.drops.push_back(drop);
        } else if (key == "refuse") {
            std::string what;
            int count = 0;
            words >> what >> count;
            (what == "trust"  ? script.refuse_trust
             : what == "pair" ? script.refuse_pair
                              : script.refuse_connect) = count;
        } else if (key == "device") {
            SimDevice d;
            words >> d.address >> d.icon >> d.trusted >> d.paired >> d.connected >> d.appear;
            std::getline(words >> std::ws, d.name);
            if (d.icon == "-")
                d.icon.clear();
            if (d.name == "-")
                d.name.clear();
            script.devices.push_back(d);
        } else {
            std::fprintf(stderr, "sim_bluetoothctl: unknown directive %s\n", key.c_str());
            std::exit(2);
        }
    }
}

bool goes_through_daemon(const std::string& command) {
    for (const char* verb : {"power", "agent", "default-agent", "scan", "trust", "pair", "connect"})
        if (command.rfind(verb, 0) == 0)
            return true;
    return false;
}

// Answers a command that goes through the daemon the way the real client does: the prompt
// comes back at once, the results follow one by one, each redrawing the prompt.
void answer_later(const std::string& command) {
    std::string shown = prompt();
    std::istringstream reply(answer(command));
    std::vector<std::string> lines;
    for (std::string line; std::getline(reply, line);)
        lines.push_back(line);
    size_t first_later = !lines.empty() && lines[0].rfind("Attempting", 0) == 0 ? 1 : 0;
    emit((first_later ? lines[0] + "\n" : "") + shown);
    for (size_t i = first_later; i < lines.size(); ++i) {
        emit(clear_prompt() + lines[i] + "\n" + shown);
    }
    // A prompt that changed with the connected device is redrawn last, and nothing follows:
    // 5.66 ends it with an erase to the end of the line.
    std::string now = prompt();
    if (now != shown)
        emit(script.style == "5.66" ? "\r" + now + "\x1b[K" : clear_prompt() + now);
}

void log_start() {
    char cwd[4096] = "?";
    if (getcwd(cwd, sizeof cwd) == nullptr)
        std::strcpy(cwd, "?");
    mode_t mask = umask(0);
    umask(mask);
    char line[4400];
    std::snprintf(line, sizeof line, "start cwd=%s umask=%04o sid=%d ppid=%d pid=%d stderr=%s",
                  cwd, static_cast<unsigned>(mask), static_cast<int>(getsid(0)),
                  static_cast<int>(getppid()), static_cast<int>(getpid()),
                  stderr_given ? "open" : "closed");
    note(line);
}

} // namespace

int main() {
    // Whether the standard error it was given is open, before any file it opens takes it.
    stderr_given = fcntl(STDERR_FILENO, F_GETFD) != -1;
    if (const char* path = std::getenv("SIM_SCRIPT"))
        load_script(path);
    if (const char* path = std::getenv("SIM_LOG"))
        log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (const char* path = std::getenv("SIM_TIMING"))
        timing_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    log_start();

    if (script.waiting_ms != 0) {
        emit("Waiting to connect to bluetoothd...\n");
        if (script.waiting_ms < 0)
            for (;;)
                pause_ms(1000);
        pause_ms(script.waiting_ms);
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
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string command = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            ++commands;
            note("cmd " + command);
            if (commands == script.exit_on_command) {
                note("exit on command");
                return 0;
            }
            if (stalled)
                continue;
            emit(command + "\n");
            if (commands == script.stall_on_command) {
                stalled = true;
                continue;
            }
            pause_ms(script.reply_delay_ms);
            // Input closes before the prompt goes out, so the next command meets no reader.
            if (commands == script.close_after_reply)
                close(STDIN_FILENO);
            if (script.async && goes_through_daemon(command))
                answer_later(command);
            else
                emit(answer(command) + prompt());
            note_timing(received, command);
            if (commands == script.close_after_reply) {
                note("exit after reply");
                return 0;
            }
            if (commands == script.flood_after) {
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
        }
    }
}
