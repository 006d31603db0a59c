#include "sandbox.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_proc(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string enter_once() {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return failed("cannot create a private mount namespace (unshare)");
        write_proc("/proc/self/setgroups", "deny");
        if (!write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return failed("cannot map the user namespace");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("cannot make mounts private");
    // Daemonized services are re-parented to us, so they can be reaped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    setenv("SIM_SCRIPT", sim_script_path, 1);
    setenv("SIM_LOG", sim_log_path, 1);
    return "";
}

bool tool_mounted = false;
bool tmp_mounted = false;
bool inputs_mounted = false;

// The host's /tmp/<name> folder that holds the path, or "" when it is not under /tmp: a
// checkout or build tree there stays visible in the private /tmp.
std::string tmp_folder_of(const std::string& path) {
    if (path.rfind("/tmp/", 0) != 0 || path.size() <= 5)
        return "";
    return path.substr(0, path.find('/', 5));
}

} // namespace

std::string sandbox_enter() {
    static const std::string why = enter_once();
    return why;
}

std::string sandbox_fresh_tmp() {
    if (std::string why = sandbox_enter(); !why.empty())
        return why;
    if (tool_mounted && umount2("/usr/bin", MNT_DETACH) == 0)
        tool_mounted = false;
    if (tmp_mounted && umount2("/tmp", MNT_DETACH) == 0)
        tmp_mounted = false;
    std::vector<std::pair<std::string, int>> kept;
    for (const char* path : {JOYBOND_BINARY, SIM_TOOL})
        if (std::string folder = tmp_folder_of(path); !folder.empty())
            kept.emplace_back(folder, open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return failed("cannot mount a tmpfs on /tmp");
    tmp_mounted = true;
    for (const auto& [folder, fd] : kept) {
        std::string source = "/proc/self/fd/" + std::to_string(fd);
        mkdir(folder.c_str(), 0755);
        bool bound = fd >= 0 && mount(source.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
        close(fd);
        if (!bound)
            return failed("cannot keep " + folder + " in the private /tmp");
    }
    return "";
}

std::string sandbox_prepare(const std::string& script, bool with_tool) {
    if (std::string why = sandbox_fresh_tmp(); !why.empty())
        return why;
    mkdir("/tmp/.tool", 0755);
    mkdir("/tmp/.tool/upper", 0755);
    mkdir("/tmp/.tool/work", 0755);
    const char* target = with_tool ? SIM_TOOL : "/nonexistent/bluetoothctl";
    if (symlink(target, "/tmp/.tool/upper/bluetoothctl") != 0)
        return failed("cannot place the tool");
    if (mount("overlay", "/usr/bin", "overlay", 0,
              "lowerdir=/usr/bin,upperdir=/tmp/.tool/upper,workdir=/tmp/.tool/work") != 0)
        return failed("cannot mount an overlay on /usr/bin");
    tool_mounted = true;
    // The kernel's input devices are the simulated tool's: it makes those of the controllers
    // it connects, and nothing of the host's shows.
    if (inputs_mounted && umount2("/sys/class/input", MNT_DETACH) == 0)
        inputs_mounted = false;
    if (mount("tmpfs", "/sys/class/input", "tmpfs", 0, "mode=0755") != 0)
        return failed("cannot mount a tmpfs on /sys/class/input");
    inputs_mounted = true;
    write_file(sim_script_path, script);
    return "";
}

pid_t launch_joybond(const std::vector<std::string>& args, const Launch& how) {
    std::vector<std::string> command = how.wrapper;
    if (how.binary.empty()) { // the build under test, through its emulator where it has one
        std::istringstream emulator(JOYBOND_EMULATOR);
        for (std::string word; emulator >> word;)
            command.push_back(word);
    }
    command.push_back(how.binary.empty() ? JOYBOND_BINARY : how.binary);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
    if (how.ignore_sigpipe)
        signal(SIGPIPE, SIG_IGN);
    for (int fd : how.closed)
        close(fd);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool wait_exit(pid_t pid, int timeout_ms, int* status) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

bool wait_for_count(const char* path, const std::string& text, size_t count, int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (count_of(read_file(path), text) >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

void sandbox_stop_run() {
    for (const char* key : {"ppid", "pid"}) {
        std::string value = tool_start_value(key);
        if (!value.empty() && std::stoi(value) > 1)
            kill(std::stoi(value), SIGKILL);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const char* path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

std::vector<std::string> received_commands() {
    std::istringstream log(read_file(sim_log_path));
    std::vector<std::string> commands;
    for (std::string line; std::getline(log, line);)
        if (line.rfind("cmd ", 0) == 0)
            commands.push_back(line.substr(4));
    return commands;
}

std::string tool_start_value(const std::string& key) {
    std::istringstream log(read_file(sim_log_path));
    std::string line;
    while (std::getline(log, line)) {
        if (line.rfind("start ", 0) != 0)
            continue;
        std::istringstream words(line);
        for (std::string word; words >> word;)
            if (word.rfind(key + "=", 0) == 0)
                return word.substr(key.size() + 1);
    }
    return "";
}
