// unshare(2) and setns(2) on the calling thread; a namespace lives as long as
// a descriptor or a thread holds it.
#include "service/kernel/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <linux/netlink.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "service/kernel/links.h"

namespace corvane::netns {
namespace {

constexpr int kLoopbackIndex = 1;  // lo is the first link of every namespace

int OpenOwn() {
    return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
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
        nl::Socket socket;
        if (int e = socket.Open(NETLINK_ROUTE); e != 0) {
            problem = std::string("netlink: ") + std::strerror(e);
            return;
        }
        nl::Result r = nl::Run(socket, links::SetLinkUp(kLoopbackIndex, true, "lo"));
        if (!r.ok()) problem = r.Text();
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

}  // namespace corvane::netns
