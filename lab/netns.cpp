// unshare(2) and the loopback link's flags (SIOCSIFFLAGS on a UDP socket).
#include "lab/netns.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lab {
namespace {

bool WriteProcFile(const char* path, const std::string& text, std::string* error) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    ssize_t n = ::write(fd, text.data(), text.size());
    int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        *error = std::string(path) + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

// Root inside a fresh user namespace, with a network namespace it owns.
bool EnterUserAndNetwork(std::string* error) {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        *error = std::string("unshare(CLONE_NEWUSER|CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    // setgroups must be denied before an unprivileged gid_map is accepted.
    return WriteProcFile("/proc/self/setgroups", "deny", error) &&
           WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1", error) &&
           WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1", error);
}

bool LoopbackUp(std::string* error) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    int saved = errno;
    ::close(fd);
    if (!ok) *error = std::string("cannot bring lo up: ") + std::strerror(saved);
    return ok;
}

}  // namespace

bool EnterPrivateNetwork(std::string* error) {
    std::string rootProblem;
    bool entered = false;
    if (::geteuid() == 0) {
        entered = ::unshare(CLONE_NEWNET) == 0;
        if (!entered) rootProblem = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    }
    if (!entered) {
        std::string userProblem;
        if (!EnterUserAndNetwork(&userProblem)) {
            *error = "cannot make a private network namespace: " +
                     (rootProblem.empty() ? "" : rootProblem + "; ") + userProblem +
                     ". Run sandrow-lab as root (scripts/lab.sh uses sudo), or allow "
                     "unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1).";
            return false;
        }
    }
    return LoopbackUp(error);
}

}  // namespace lab
