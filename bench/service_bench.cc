// Figures for joybond's own cost while it drives the simulated tool, from the built binary
// run in a private mount namespace like the end-to-end tests.
//
// 1. CPU time against wall time while the tool is slow (5 ms per answer) and while it never
//    shows its first prompt.
// 2. With 1, 10, 100 and 1000 registered devices: the cycle period, the period less the time
//    the tool itself spent answering, the service's overhead per command beyond the 1 s sleep
//    and the 500 us pause after each command, and the service's CPU time per cycle.
#include "sandbox.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

constexpr char timing_path[] = "/tmp/sim.timing";
FILE* devices_data = nullptr; // optional data files for the report
FILE* idle_data = nullptr;
Launch under_measure; // the build under measure: this tree's, or the one JOYBOND_BENCH_BINARY names

// Peak resident memory of a process so far, in KiB.
long peak_rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Time a process has spent on a CPU so far, in nanoseconds.
long long cpu_ns(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = 0;
    schedstat >> ns;
    return ns;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpu_seconds(const rusage& usage) {
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Ends a run and returns the service's CPU time. The service is our child (foreground) or
// was re-parented to us (daemon), so wait4 reports its own usage.
double stop_and_measure(pid_t service) {
    kill(service, SIGTERM);
    rusage usage{};
    int status = 0;
    wait4(service, &status, 0, &usage);
    sandbox_stop_run();
    return cpu_seconds(usage);
}

void run_idle_case(const char* title, const std::string& script, int run_ms) {
    if (std::string why = sandbox_prepare(script); !why.empty()) {
        std::printf("%-40s skipped: %s\n", title, why.c_str());
        return;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = launch_joybond({"-f"}, under_measure);
    std::this_thread::sleep_for(std::chrono::milliseconds(run_ms));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = stop_and_measure(pid);
    std::printf("%-40s wall %6.2f s   service CPU %7.4f s   %6.3f%% of wall\n", title, wall, cpu,
                100.0 * cpu / wall);
    if (idle_data != nullptr)
        std::fprintf(idle_data, "\"%s\" %.2f %.4f %.4f\n", title, wall, cpu, 100.0 * cpu / wall);
}

struct Timing {
    long long received;
    long long answered;
    std::string command;
};

std::vector<Timing> read_timings() {
    std::vector<Timing> out;
    std::istringstream in(read_file(timing_path));
    Timing t;
    while (in >> t.received >> t.answered && std::getline(in >> std::ws, t.command))
        out.push_back(t);
    return out;
}

void run_devices_case(int devices, int cycles) {
    std::string script;
    char line[128];
    for (int i = 0; i < devices; ++i) {
        // Connected controllers: every cycle asks about each, no other command is needed.
        std::snprintf(line, sizeof line,
                      "device 10:00:00:00:%02X:%02X input-gaming 1 1 1 1 Pad %d\n", i / 256,
                      i % 256, i);
        script += line;
    }
    if (std::string why = sandbox_prepare(script); !why.empty()) {
        std::printf("%5d devices: skipped: %s\n", devices, why.c_str());
        return;
    }
    setenv("SIM_TIMING", timing_path, 1);
    pid_t invoker = launch_joybond({}, under_measure);
    int status = 0;
    waitpid(invoker, &status, 0);
    // Cycle k runs from the k-th "devices" to the next; start-up and the first cycle are left
    // out of the CPU time too.
    wait_for_count(timing_path, " devices\n", 2, 120000);
    pid_t service = std::stoi(tool_start_value("ppid"));
    long long cpu_before = cpu_ns(service);
    wait_for_count(timing_path, " devices\n", static_cast<size_t>(cycles) + 2, 120000);
    long long cpu_after = cpu_ns(service);
    long rss = peak_rss_kib(service);
    stop_and_measure(service);
    unsetenv("SIM_TIMING");

    std::vector<Timing> timings = read_timings();
    std::vector<size_t> starts;
    for (size_t i = 0; i < timings.size(); ++i)
        if (timings[i].command == "devices")
            starts.push_back(i);
    // The service's own time per command: from the tool's prompt to the next command's
    // arrival, less the 500 us pause (the gap that holds the 1 s sleep is left out).
    double period = 0, tool = 0, commands = 0;
    std::vector<double> gaps;
    int measured = 0;
    for (size_t k = 1; k + 1 < starts.size(); ++k, ++measured) {
        period +=
            static_cast<double>(timings[starts[k + 1]].received - timings[starts[k]].received);
        for (size_t i = starts[k]; i < starts[k + 1]; ++i) {
            tool += static_cast<double>(timings[i].answered - timings[i].received);
            commands += 1;
            if (i + 1 < starts[k + 1])
                gaps.push_back(static_cast<double>(timings[i + 1].received - timings[i].answered));
        }
    }
    if (measured == 0) {
        std::printf("%5d devices: no complete cycle measured\n", devices);
        return;
    }
    period /= measured;
    tool /= measured;
    commands /= measured;
    // The median: a few gaps stretched by the scheduler of a busy machine say nothing of joybond.
    double overhead = 0;
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
        overhead = gaps[gaps.size() / 2] - 500.0;
    }
    double cpu_per_cycle = static_cast<double>(cpu_after - cpu_before) / 1e6 / cycles;
    std::printf("%7d %9.0f %8.0f %12.0f %10.0f %12.1f %14.2f %9ld\n", devices, commands, period / 1000,
                (period - tool) / 1000, tool / 1000, overhead, cpu_per_cycle, rss);
    if (devices_data != nullptr)
        std::fprintf(devices_data, "%d %.0f %.1f %.1f %.1f %.1f %.3f %ld\n", devices, commands, period / 1000,
                     (period - tool) / 1000, tool / 1000, overhead, cpu_per_cycle, rss);
}

// Addresses the simulated tool's rotation has shown by its k-th listing: slot i's address
// changes every `lifetime` listings, staggered by i * lifetime / slots.
long distinct_addresses(long listings, int slots, int lifetime) {
    long total = 0;
    for (int i = 0; i < slots; ++i)
        total += (listings - 1 + i * lifetime / slots) / lifetime + 1;
    return total;
}

struct Sample {
    double seconds;
    long cycles;
    long long cpu_ns;
    long hwm_kib;
};

// A crowded place: 10 devices that stay and 20 phones whose addresses rotate, each address
// living 30 listings, without the one-second sleep. Runs until the wanted cycles or the time
// cap; prints the cycle period, CPU per cycle and peak RSS over the first and the last tenth.
void run_rotation_case(long wanted_cycles, int cap_seconds, int slots = 20) {
    constexpr int lifetime = 30;
    std::string script = "rotate " + std::to_string(slots) + " " + std::to_string(lifetime) + "\n";
    for (int i = 0; i < 10; ++i)
        script += "device 10:00:00:00:00:0" + std::to_string(i) + " audio-headset 0 0 0 1 Steady\n";
    if (std::string why = sandbox_prepare(script); !why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return;
    }
    Launch how = under_measure;
    how.wrapper = {"env", "LD_PRELOAD=" NO_SLEEP};
    pid_t invoker = launch_joybond({}, how);
    waitpid(invoker, nullptr, 0);
    wait_for_text(sim_log_path, "cmd devices", 10000);
    pid_t service = std::stoi(tool_start_value("ppid"));
    std::ifstream log(sim_log_path);
    std::vector<Sample> samples;
    auto start = std::chrono::steady_clock::now();
    long cycles = 0;
    for (;;) {
        std::string line;
        while (std::getline(log, line))
            cycles += line == "cmd devices" ? 1 : 0;
        log.clear(); // go on where the tool has written more
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        samples.push_back({elapsed, cycles, cpu_ns(service), peak_rss_kib(service)});
        if (cycles >= wanted_cycles || elapsed >= cap_seconds)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop_and_measure(service);
    // The samples closest to the tenth marks.
    auto at = [&](long mark) {
        for (const Sample& s : samples)
            if (s.cycles >= mark)
                return s;
        return samples.back();
    };
    long total = samples.back().cycles;
    Sample marks[] = {at(total / 100), at(total / 10), at(total * 9 / 10), samples.back()};
    std::printf("%-34s %7ld cycles, %6ld addresses\n",
                under_measure.binary.empty() ? "this tree" : under_measure.binary.c_str(), total,
                distinct_addresses(total, slots, lifetime));
    for (int tenth : {0, 2}) {
        const Sample& from = marks[tenth];
        const Sample& to = marks[tenth + 1];
        double cycles_between = std::max(1.0, static_cast<double>(to.cycles - from.cycles));
        std::printf("  %-5s tenth: period %8.2f ms   CPU %8.3f ms/cycle   peak RSS %6ld KiB\n",
                    tenth == 0 ? "first" : "last", 1000 * (to.seconds - from.seconds) / cycles_between,
                    static_cast<double>(to.cpu_ns - from.cpu_ns) / 1e6 / cycles_between, to.hwm_kib);
    }
}

} // namespace

// With a directory argument, also writes devices.dat and idle.dat there for the report.
// "rotation [CYCLES [SECONDS [PHONES]]]" runs only the crowded place with rotating addresses.
int main(int argc, char** argv) {
    if (const char* other = std::getenv("JOYBOND_BENCH_BINARY"))
        under_measure.binary = other;
    std::printf("joybond: %s\n\n", under_measure.binary.empty() ? JOYBOND_BINARY : under_measure.binary.c_str());
    if (argc > 1 && std::string(argv[1]) == "rotation") {
        run_rotation_case(argc > 2 ? std::atol(argv[2]) : 15000, argc > 3 ? std::atoi(argv[3]) : 600,
                          argc > 4 ? std::atoi(argv[4]) : 20);
        return 0;
    }
    if (argc > 1) {
        devices_data = std::fopen((std::string(argv[1]) + "/devices.dat").c_str(), "w");
        idle_data = std::fopen((std::string(argv[1]) + "/idle.dat").c_str(), "w");
    }
    std::printf("joybond CPU against wall time (target: under 0.1%%)\n");
    run_idle_case("tool answers each command after 5 ms", "reply_delay_ms 5\n", 10000);
    run_idle_case("tool shows no prompt for 10 s", "waiting_ms -1\n", 10000);

    std::printf("\njoybond per cycle against registered devices (daemon mode, 10 cycles each after\n"
                "the first; CPU per cycle over those cycles only)\n");
    std::printf("period-tool: the cycle period less the time the tool spent answering\n"
                "overhead/cmd: from the tool's prompt to our next command, less the 500 us pause\n"
                "(median over the commands of ten cycles)\n"
                "targets: overhead per command under 100 us; CPU per cycle growing no worse than\n"
                "linearly with the devices\n\n");
    std::printf("%7s %9s %8s %12s %10s %12s %14s %9s\n", "devices", "commands", "period", "period-tool",
                "tool", "overhead/cmd", "CPU/cycle", "peak RSS");
    std::printf("%7s %9s %8s %12s %10s %12s %14s %9s\n", "", "/cycle", "ms", "ms", "ms", "us", "ms", "KiB");
    for (int devices : {1, 10, 100, 1000})
        run_devices_case(devices, 10);
    for (FILE* f : {devices_data, idle_data})
        if (f != nullptr)
            std::fclose(f);
    return 0;
}
