// unshare(2) and setns(2) on the calling thread; a namespace lives as long as
// a descriptor or a thread holds it.
#include "netlink/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <linux/netlink.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "netlink/links.h"

namespace nl::netns {
namespace {

constexpr int kLoopbackIndex = 1;  // lo is the first link of every namespace

int OpenOwn() {
    return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

// Empty, or what kept the namespace's loopback link down.
std::string LoopbackUp() {
    Socket socket;
    if (int e = socket.Open(NETLINK_ROUTE); e != 0)
        return std::string("netlink: ") + std::strerror(e);
    Result r = Run(socket, links::SetLinkUp(kLoopbackIndex, true, "lo"));
    return r.ok() ? "" : r.Text();
}

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

}  // namespace

std::optional<Namespace> Namespace::Create(std::string* error) {
    int fd = -1;
    std::string problem;
    std::thread maker([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            problem = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        fd = OpenOwn();
        if (fd < 0) {
            problem = std::string("cannot open the new namespace: ") + std::strerror(errno);
            return;
        }
        problem = LoopbackUp();
    });
    maker.join();
    if (!problem.empty()) {
        if (fd >= 0) ::close(fd);
        *error = problem;
        return std::nullopt;
    }
    return Namespace(fd);
}

std::optional<Namespace> Namespace::Current(std::string* error) {
    int fd = OpenOwn();
    if (fd < 0) {
        *error = std::string("cannot open this thread's namespace: ") + std::strerror(errno);
        return std::nullopt;
    }
    return Namespace(fd);
}

Namespace::Namespace(Namespace&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

Namespace& Namespace::operator=(Namespace&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Namespace::~Namespace() {
    if (fd_ >= 0) ::close(fd_);
}

bool Namespace::Enter(std::string* error) const {
    if (::setns(fd_, CLONE_NEWNET) == 0) return true;
    *error = std::string("setns: ") + std::strerror(errno);
    return false;
}

Inside::Inside(const Namespace& ns) {
    std::string error;
    previous_ = Namespace::Current(&error);
    ok_ = previous_ && ns.Enter(&error);
}

Inside::~Inside() {
    std::string error;
    if (previous_) previous_->Enter(&error);
}

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
                     (rootProblem.empty() ? "" : rootProblem + "; ") + userProblem;
            return false;
        }
    }
    if (std::string problem = LoopbackUp(); !problem.empty()) {
        *error = "cannot bring lo up: " + problem;
        return false;
    }
    return true;
}

}  // namespace nl::netns
