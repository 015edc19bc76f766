// fork and exec with a clean signal state for the child, pidfd waits, and
// the private bus.
#include "lab/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/eintr.h"

extern char** environ;

namespace lab {
namespace {

constexpr int kBusStartTimeoutMs = 5000;
constexpr auto kBusStopTimeout = std::chrono::milliseconds(2000);
constexpr auto kKillTimeout = std::chrono::milliseconds(5000);

int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// In a forked child: hands errno to the parent and ends.
[[noreturn]] void ChildFail(int reportFd) {
    int e = errno;
    [[maybe_unused]] ssize_t n = ::write(reportFd, &e, sizeof e);
    ::_exit(127);
}

// Room for any pid (the kernel's limit is 2^22) after LISTEN_PID=.
constexpr char kListenPid[] = "LISTEN_PID=";
constexpr size_t kPidDigits = 20;

// In a forked child: `value` in decimal at `out`, ended by a NUL; `out` has
// room for kPidDigits digits. No allocation, as between fork and exec.
void WriteDecimal(char* out, long value) {
    char digits[kPidDigits];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < kPidDigits);
    while (n > 0) *out++ = digits[--n];
    *out = '\0';
}

// In a forked child: `fd` also as `target`, kept open across exec.
bool MoveTo(int fd, int target) {
    if (fd == target) return ::fcntl(target, F_SETFD, 0) == 0;
    return ::dup2(fd, target) == target;
}

// The first executable `name` along PATH, or empty.
std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t colon = dirs.find(':', start);
        std::string dir =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return "";
        start = colon + 1;
    }
}

// What the child needs between fork and exec, all of it made before the fork:
// only async-signal-safe calls are allowed there (the lab has threads), so
// it only reads the options and the vectors built for it.
struct ExecPlan {
    const ChildProcess::Options& options;
    const char* program;
    char* const* argv;
    char* const* env;
    size_t listenPid;  // the entry of env whose digits the child writes
    int reportFd;      // gets the errno when the exec cannot happen
    pid_t parent;
};

[[noreturn]] void RunChild(const ExecPlan& plan) {
    // The child dies with the lab, whatever ends the lab, so that no
    // sandrow or bus outlives a killed run.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != plan.parent) ::_exit(127);
    if (plan.options.ownProcessGroup) ::setpgid(0, 0);
    // The lab blocks and catches signals of its own; the child starts clean.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int signo : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD, SIGABRT})
        ::sigaction(signo, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int in = ::open(plan.options.inputPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0 || !MoveTo(in, STDIN_FILENO)) ChildFail(plan.reportFd);
    if (!plan.options.outputPath.empty()) {
        int out = ::open(plan.options.outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                         0644);
        if (out < 0 || !MoveTo(out, STDOUT_FILENO) || !MoveTo(out, STDERR_FILENO)) {
            ChildFail(plan.reportFd);
        }
    }
    if (plan.options.extraFd >= 0 && !MoveTo(plan.options.extraFd, 3)) ChildFail(plan.reportFd);
    if (plan.options.socketActivation) {
        WriteDecimal(plan.env[plan.listenPid] + sizeof kListenPid - 1, ::getpid());
    }
    if (!plan.options.workingDirectory.empty() &&
        ::chdir(plan.options.workingDirectory.c_str()) != 0)
        ChildFail(plan.reportFd);
    ::execve(plan.program, plan.argv, plan.env);
    ChildFail(plan.reportFd);
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Wait(kKillTimeout);
    }
    if (pidfd_ >= 0) ::close(pidfd_);
}

bool ChildProcess::Start(const Options& options, std::string* error) {
    if (pid_ > 0) {
        *error = "a child is running already";
        return false;
    }
    std::string program = options.argv.at(0);
    if (options.searchPath && program.find('/') == std::string::npos) {
        program = FindInPath(program);
        if (program.empty()) {
            *error = "cannot start " + options.argv[0] + ": not found in PATH";
            return false;
        }
    }
    std::vector<std::string> argv = options.argv;
    std::vector<std::string> env;
    for (const std::string& e : options.environment) {
        if (!options.socketActivation || e.rfind("LISTEN_", 0) != 0) env.push_back(e);
    }
    size_t listenPid = 0;  // the entry whose digits the child writes
    if (options.socketActivation) {
        env.push_back("LISTEN_FDS=1");
        env.push_back(kListenPid + std::string(kPidDigits, '0'));
        listenPid = env.size() - 1;
    }
    std::vector<char*> rawArgv, rawEnv;
    for (std::string& a : argv) rawArgv.push_back(a.data());
    rawArgv.push_back(nullptr);
    for (std::string& e : env) rawEnv.push_back(e.data());
    rawEnv.push_back(nullptr);
    int report[2];  // the child's errno when it cannot exec; closed by a successful exec
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (pid == 0) {
        RunChild(ExecPlan{options, program.c_str(), rawArgv.data(), rawEnv.data(), listenPid,
                          report[1], parent});
    }
    ::close(report[1]);
    int childErrno = 0;
    ssize_t got =
        platform::RetryOnEintr([&] { return ::read(report[0], &childErrno, sizeof childErrno); });
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childErrno)) {
        ::waitpid(pid, nullptr, 0);
        *error = "cannot start " + options.argv[0] + ": " + std::strerror(childErrno);
        return false;
    }
    pid_ = pid;
    pidfd_ = PidfdOpen(pid);
    if (pidfd_ < 0) {
        *error = std::string("pidfd_open: ") + std::strerror(errno);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Signal(int signo) const {
    if (pid_ > 0) ::kill(pid_, signo);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    pollfd p{pidfd_, POLLIN, 0};
    int n =
        platform::RetryOnEintr([&] { return ::poll(&p, 1, static_cast<int>(timeout.count())); });
    if (n == 0) return std::nullopt;
    int status = 0;
    pid_t done = platform::RetryOnEintr([&] { return ::waitpid(pid_, &status, 0); });
    pid_ = -1;
    ::close(pidfd_);
    pidfd_ = -1;
    if (done < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

int ChildProcess::Stop(int signo, std::chrono::milliseconds timeout, bool* killed) {
    *killed = false;
    Signal(signo);
    std::optional<int> code = Wait(timeout);
    if (!code) {
        *killed = true;
        Signal(SIGKILL);
        code = Wait(kKillTimeout);
    }
    return code.value_or(-SIGKILL);
}

std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [key, value] : overrides) replaced = replaced || key == name;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& [key, value] : overrides) env.push_back(key + "=" + value);
    return env;
}

std::optional<ProcessResources> ReadProcessResources(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream status(base + "/status");
    ProcessResources r;
    bool haveRss = false;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) != 0) continue;
        std::istringstream in(line.substr(6));
        haveRss = static_cast<bool>(in >> r.rssKb);
        break;
    }
    if (!haveRss) return std::nullopt;  // gone, or a zombie without memory
    std::error_code ec;
    for (std::filesystem::directory_iterator it(base + "/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++r.fds;
    }
    if (ec) return std::nullopt;
    return r;
}

std::string ExitText(int code) {
    if (code >= 0) return "exit code " + std::to_string(code);
    const char* name = ::sigabbrev_np(-code);
    return std::string("signal SIG") + (name != nullptr ? name : std::to_string(-code).c_str());
}

bool BusDaemon::Start(const std::string& directory, std::string* error) {
    const std::string config = directory + "/bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>custom</type>\n"
               "  <listen>unix:path="
            << directory
            << "/bus.sock</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\"/>\n"
               "    <allow receive_sender=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        if (!out) {
            *error = "cannot write " + config;
            return false;
        }
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    ChildProcess::Options options;
    options.argv = {"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=3"};
    options.searchPath = true;
    options.environment = EnvironmentWith({});
    options.outputPath = directory + "/bus.log";
    options.extraFd = pipeFds[1];
    bool started = daemon_.Start(options, error);
    ::close(pipeFds[1]);
    if (!started) {
        ::close(pipeFds[0]);
        *error += " (is dbus-daemon installed? scripts/deps.sh installs it)";
        return false;
    }
    // The address is printed once the bus listens.
    std::string line;
    pollfd p{pipeFds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos) {
        int n = platform::RetryOnEintr([&] { return ::poll(&p, 1, kBusStartTimeoutMs); });
        char buffer[256];
        ssize_t got = n > 0 ? ::read(pipeFds[0], buffer, sizeof buffer) : 0;
        if (got <= 0) break;
        line.append(buffer, static_cast<size_t>(got));
    }
    ::close(pipeFds[0]);
    if (line.find('\n') == std::string::npos || line.rfind("unix:", 0) != 0) {
        *error = "dbus-daemon did not start (see " + options.outputPath + ")";
        Stop();
        return false;
    }
    address_ = line.substr(0, line.find('\n'));
    return true;
}

void BusDaemon::Stop() {
    if (!daemon_.running()) return;
    daemon_.Signal(SIGTERM);
    if (!daemon_.Wait(kBusStopTimeout)) {
        daemon_.Signal(SIGKILL);
        daemon_.Wait(kKillTimeout);
    }
}

}  // namespace lab
