// HTTP on non-blocking sockets for the tests' clients and servers: every wait
// has a deadline and, on a test server's side, ends when the server stops.
#pragma once

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fd.h"

namespace test::http {

using Clock = std::chrono::steady_clock;
using platform::UniqueFd;
inline constexpr Clock::time_point kNever = Clock::time_point::max();

// True once fd is ready for `events` (or has an error); false at `deadline`
// or when `stop` (when given) becomes readable.
inline bool Await(int fd, short events, Clock::time_point deadline, int stop = -1) {
    for (;;) {
        int ms = -1;
        if (deadline != kNever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            ms = static_cast<int>(left.count());
        }
        pollfd entries[2] = {{fd, events, 0}, {stop, POLLIN, 0}};  // poll skips a stop of -1
        const int ready = ::poll(entries, 2, ms);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && entries[1].revents == 0;
    }
}

// A non-blocking connection under way to "HOST:PORT" or "[V6]:PORT"; an
// empty fd when it does not parse or is refused at once.
inline UniqueFd Dial(const std::string& hostPort) {
    const size_t colon = hostPort.rfind(':');
    const bool bracketed = hostPort.starts_with('[');
    const std::string host = hostPort.substr(bracketed, colon - 2 * bracketed);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* at = nullptr;
    if (::getaddrinfo(host.c_str(), hostPort.c_str() + colon + 1, &hints, &at) != 0) return {};
    UniqueFd fd(::socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const bool refused =
        ::connect(fd.get(), at->ai_addr, at->ai_addrlen) != 0 && errno != EINPROGRESS;
    ::freeaddrinfo(at);
    return refused ? UniqueFd() : std::move(fd);
}

// All of `bytes`; false once the peer is gone, at `deadline` or on `stop`.
inline bool SendAll(int fd, std::string_view bytes,
                    Clock::time_point deadline = Clock::now() + std::chrono::seconds(3),
                    int stop = -1) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n == 0 ||
                   (errno != EAGAIN && errno != EINTR && errno != EINPROGRESS &&
                    errno != ENOTCONN) ||  // the last two: the connection still under way
                   !Await(fd, POLLOUT, deadline, stop)) {
            return false;
        }
    }
    return true;
}

// Appends to *data until the peer closes (or fails) or `enough` says so;
// false at `deadline` or on `stop`.
inline bool ReadUntil(int fd, std::string* data, Clock::time_point deadline, int stop = -1,
                      const std::function<bool(const std::string&)>& enough = nullptr) {
    char buffer[65536];
    while (!enough || !enough(*data)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            data->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return true;
        } else if (!Await(fd, POLLIN, deadline, stop)) {
            return false;
        }
    }
    return true;
}

// Everything until the peer closes; nullopt when it has not by `deadline`.
inline std::optional<std::string> ReadToEnd(int fd, Clock::time_point deadline) {
    std::string data;
    if (!ReadUntil(fd, &data, deadline)) return std::nullopt;
    return data;
}

// One request on a fresh connection, the reply read until the peer closes
// (even one that did not take all of the request: it may refuse it).
inline std::optional<std::string> Exchange(const std::string& hostPort, const std::string& request,
                                           std::chrono::milliseconds timeout) {
    UniqueFd fd = Dial(hostPort);
    const auto deadline = Clock::now() + timeout;
    if (!fd) return std::nullopt;
    SendAll(fd.get(), request, deadline);
    return ReadToEnd(fd.get(), deadline);
}

}  // namespace test::http
