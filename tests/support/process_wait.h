// Waiting for a process to end without polling its status: its pidfd becomes
// readable when it does.
#pragma once

#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>

namespace test {

// Waits up to `timeout` for process `pid` to end; true once it has (or is
// gone). Works for processes that are not our children too.
inline bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return true;
    pollfd p{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int n = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        n = ::poll(&p, 1, static_cast<int>(left.count() > 0 ? left.count() : 0));
        if (n >= 0 || errno != EINTR) break;
    }
    ::close(fd);
    return n > 0;
}

// The exit code of child `pid` (-signo when a signal ended it) once it has
// ended within `timeout`, reaped; nullopt while it still runs, or when it is
// not ours to reap.
inline std::optional<int> Reap(pid_t pid, std::chrono::milliseconds timeout) {
    if (!WaitForExit(pid, timeout)) return std::nullopt;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace test
