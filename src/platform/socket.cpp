// BSD sockets stand in for Winsock. errno is read here and nowhere else: every
// call keeps it as the thread's last error for WSAGetLastError.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/eintr.h"

namespace platform {

namespace {

thread_local int tLastError = 0;

int Fail(int error) {
    tLastError = error;
    return -1;
}

}  // namespace

int WSAStartup(unsigned short /*version*/) {
    return 0;
}
int WSACleanup() {
    return 0;
}

int WSAGetLastError() {
    return tLastError;
}

bool LookupHostIPv4(const std::string& host, uint32_t* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        Fail(rc);
        return false;
    }
    bool ok = false;
    if (found != nullptr && found->ai_addr != nullptr && found->ai_family == AF_INET) {
        *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        ok = true;
    } else {
        Fail(EAI_NONAME);
    }
    ::freeaddrinfo(found);
    return ok;
}

Socket::~Socket() {
    if (fd_ >= 0) ::close(fd_);
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int Socket::Close() {
    if (fd_ < 0) return Fail(EBADF);
    int fd = fd_;
    fd_ = -1;
    // EINTR still released the descriptor; retrying could close another one.
    if (::close(fd) != 0 && errno != EINTR) return Fail(errno);
    return 0;
}

Socket OpenTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) Fail(errno);
    return Socket(fd);
}

int SetNonBlocking(Socket& socket) {
    int flags = ::fcntl(socket.handle(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.handle(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return Fail(errno);
    }
    return 0;
}

int SetSendBufferSize(Socket& socket, int bytes) {
    if (::setsockopt(socket.handle(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes)) != 0) {
        return Fail(errno);
    }
    return 0;
}

int SetBlockingTimeouts(Socket& socket, uint32_t milliseconds) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (::setsockopt(socket.handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0 ||
        ::setsockopt(socket.handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0) {
        return Fail(errno);
    }
    return 0;
}

int Connect(Socket& socket, uint32_t address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (::connect(socket.handle(), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0) {
        return 0;
    }
    if (errno != EINTR) return Fail(errno);

    // A signal cut the wait short but the kernel goes on connecting. A
    // non-blocking caller learns the outcome from its next send, as after
    // EINPROGRESS; a blocking one waits here, as long as its send time-out.
    int flags = ::fcntl(socket.handle(), F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) return Fail(EINPROGRESS);
    timeval limit{};
    socklen_t size = sizeof(limit);
    int timeoutMs = -1;  // none set: wait as the blocking connect would
    if (::getsockopt(socket.handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, &size) == 0 &&
        (limit.tv_sec != 0 || limit.tv_usec != 0)) {
        timeoutMs = static_cast<int>(limit.tv_sec * 1000 + limit.tv_usec / 1000);
    }
    pollfd entry{socket.handle(), POLLOUT, 0};
    int ready = RetryOnEintr([&] { return ::poll(&entry, 1, timeoutMs); });
    if (ready < 0) return Fail(errno);
    if (ready == 0) return Fail(EINPROGRESS);
    int error = 0;
    size = sizeof(error);
    if (::getsockopt(socket.handle(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return Fail(errno);
    }
    return error == 0 ? 0 : Fail(error);
}

long Send(Socket& socket, const char* data, size_t length) {
    ssize_t sent =
        RetryOnEintr([&] { return ::send(socket.handle(), data, length, MSG_NOSIGNAL); });
    if (sent < 0) return Fail(errno);
    return static_cast<long>(sent);
}

long Recv(Socket& socket, char* buffer, size_t length) {
    ssize_t received = RetryOnEintr([&] { return ::recv(socket.handle(), buffer, length, 0); });
    if (received < 0) return Fail(errno);
    return static_cast<long>(received);
}

int WaitSocket(const Socket& socket, WaitFor what, uint32_t timeoutMs) {
    pollfd entry{socket.handle(), static_cast<short>(what == WaitFor::Writable ? POLLOUT : POLLIN),
                 0};
    // A signal restarts the wait with the whole time; the callers' loops
    // measure their own limits, so the wait can only end later, never early.
    const int limit = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
    int ready = RetryOnEintr([&] { return ::poll(&entry, 1, limit); });
    if (ready < 0) return Fail(errno);
    return ready > 0 ? 1 : 0;
}

uint32_t GetCurrentThreadId() {
    return static_cast<uint32_t>(::gettid());
}

}  // namespace platform
