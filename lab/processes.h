// The lab's child processes (sandrow, dbus-daemon, gnuplot): fork and exec,
// ended with the lab, waited for through a pidfd.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lab {

class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> argv;  // argv[0]: a path, or a name looked up in PATH
        bool searchPath = false;
        std::vector<std::string> environment;  // complete, "NAME=value"
        std::string workingDirectory;          // empty: the lab's
        std::string inputPath = "/dev/null";
        std::string outputPath;  // standard output and error; empty: the lab's
        int extraFd = -1;        // becomes descriptor 3 of the child when >= 0
        // extraFd is a listening socket handed over as the service manager
        // does: LISTEN_FDS=1 and LISTEN_PID naming the child.
        bool socketActivation = false;
        bool ownProcessGroup = false;  // a terminal's Ctrl-C then reaches only the lab
    };

    ChildProcess() = default;
    // A child still running is killed (SIGKILL, by its id) and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const Options& options, std::string* error);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Readable once the child has ended; -1 when none runs.
    int pidfd() const { return pidfd_; }
    void Signal(int signo) const;
    // The exit code (a signal as its negative number), or nullopt while the
    // child still runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // Sends `signo` and waits up to `timeout`, then kills it. The exit code
    // (-SIGKILL when it had to be killed, and *killed set).
    int Stop(int signo, std::chrono::milliseconds timeout, bool* killed);

  private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
};

// The lab's environment with these variables set (or replaced).
std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& overrides);

// What a process holds at one moment, from /proc: its resident memory and
// its open descriptors. A soak compares them over a long run.
struct ProcessResources {
    long rssKb = 0;
    int fds = 0;
};
// nullopt when the process is gone (or /proc cannot be read).
std::optional<ProcessResources> ReadProcessResources(pid_t pid);

// "12.3 s" style description of an exit code from ChildProcess::Wait.
std::string ExitText(int code);

// A private dbus-daemon on a unix socket in `directory`, with the policy that
// lets the service own its name and answer (receive_sender for dbus 1.14).
class BusDaemon {
  public:
    ~BusDaemon() { Stop(); }
    bool Start(const std::string& directory, std::string* error);
    void Stop();
    const std::string& address() const { return address_; }

  private:
    ChildProcess daemon_;
    std::string address_;
};

}  // namespace lab
