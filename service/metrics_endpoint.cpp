// The metrics' HTTP endpoint: one answer per connection, from the service's
// loop, within the limits a client is allowed.
#include "service/metrics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

namespace corvane {
namespace {

using namespace std::chrono_literals;

// A descriptor the process cannot get more of (EMFILE ...) leaves the
// listener readable: accepting pauses this long instead of spinning on it.
constexpr auto kAcceptPause = 100ms;
// Connections beyond the cap wait here; past it the kernel holds off new
// handshakes and clients retry.
constexpr int kListenBacklog = 16;
// Reads per turn of the loop for one client that sends after its answer.
constexpr int kMaxDrainReads = 16;

std::string Errno(int error) {
    return std::strerror(error);
}

// A whole answer: status line, the headers every answer has, the body (left
// out for HEAD, its length kept).
std::string Response(const char* status, const char* contentType, const std::string& body,
                     bool headOnly, const char* extraHeader = nullptr) {
    std::string out = "HTTP/1.1 ";
    out.append(status).append("\r\nContent-Type: ").append(contentType);
    out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
    out.append("\r\nConnection: close\r\n");
    if (extraHeader != nullptr) out.append(extraHeader).append("\r\n");
    out.append("\r\n");
    if (!headOnly) out.append(body);
    return out;
}

std::string Plain(const char* status, const char* text, bool headOnly = false,
                  const char* extraHeader = nullptr) {
    return Response(status, "text/plain; charset=utf-8", std::string(text) + "\n", headOnly,
                    extraHeader);
}

}  // namespace

struct MetricsEndpoint::Connection {
    enum class State { Reading, Writing, Draining, Done };

    UniqueFd fd;
    Clock::time_point deadline;
    State state = State::Reading;
    std::string head;  // the request so far, at most maxHeadBytes + 1
    std::string out;   // the answer
    size_t sent = 0;
};

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::Open(const ListenAddress& address,
                                                       MetricsSource source, std::string* error,
                                                       EndpointLimits limits) {
    const int family = address.v6 ? AF_INET6 : AF_INET;
    std::string where = address.v6 ? "[::1]" : "";
    if (!address.v6) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, address.address.data(), text, sizeof text);
        where = text;
    }
    where.append(":").append(std::to_string(address.port));
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        int e = errno;
        *error = "metrics endpoint: cannot open a socket for " + where + ": " + Errno(e);
        if (e == EAFNOSUPPORT) {
            error->append(" (a systemd unit must allow ");
            error->append(address.v6 ? "AF_INET6" : "AF_INET")
                .append(" in RestrictAddressFamilies=)");
        }
        return nullptr;
    }
    // A restart binds again at once, past the last run's TIME_WAIT sockets.
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.v6) {
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(address.port);
        std::memcpy(&sa->sin6_addr, address.address.data(), 16);
        length = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(address.port);
        std::memcpy(&sa->sin_addr, address.address.data(), 4);
        length = sizeof *sa;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0) {
        *error = "metrics endpoint: cannot listen on " + where + ": " + Errno(errno);
        return nullptr;
    }
    return std::unique_ptr<MetricsEndpoint>(
        new MetricsEndpoint(std::move(fd), std::move(source), limits));
}

MetricsEndpoint::MetricsEndpoint(UniqueFd listener, MetricsSource source, EndpointLimits limits)
    : listener_(std::move(listener)), source_(std::move(source)), limits_(limits) {}

MetricsEndpoint::~MetricsEndpoint() = default;

std::string MetricsEndpoint::Address() const {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return "?";
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET6) {
        const auto* sa = reinterpret_cast<const sockaddr_in6*>(&storage);
        ::inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof text);
        std::string out = "[";
        out.append(text).append("]:").append(std::to_string(ntohs(sa->sin6_port)));
        return out;
    }
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
    std::string out = text;
    out.append(":").append(std::to_string(ntohs(sa->sin_port)));
    return out;
}

void MetricsEndpoint::AddFds(std::vector<pollfd>* fds) {
    listenerPolled_ =
        connections_.size() < limits_.maxConnections && Clock::now() >= acceptPausedUntil_;
    if (listenerPolled_) fds->push_back({listener_.get(), POLLIN, 0});
    polled_.clear();
    for (const auto& c : connections_) {
        const short events = c->state == Connection::State::Writing ? POLLOUT : POLLIN;
        fds->push_back({c->fd.get(), events, 0});
        polled_.push_back(c.get());
    }
}

int MetricsEndpoint::MsUntilWork() {
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> next;
    if (acceptPausedUntil_ > now) next = acceptPausedUntil_;
    for (const auto& c : connections_) {
        if (!next || c->deadline < *next) next = c->deadline;
    }
    if (!next) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void MetricsEndpoint::Work(std::span<const pollfd> fds) {
    size_t i = 0;
    bool acceptable = false;
    if (listenerPolled_ && i < fds.size()) acceptable = (fds[i++].revents & POLLIN) != 0;
    for (Connection* c : polled_) {
        if (i >= fds.size()) break;
        if (fds[i++].revents == 0) continue;
        switch (c->state) {
            case Connection::State::Reading:
                Read(*c);
                break;
            case Connection::State::Writing:
                Flush(*c);
                break;
            case Connection::State::Draining:
                Drain(*c);
                break;
            case Connection::State::Done:
                break;
        }
    }
    polled_.clear();
    const Clock::time_point now = Clock::now();
    for (auto& c : connections_) {
        if (now >= c->deadline) c->state = Connection::State::Done;
    }
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) {
        return c->state == Connection::State::Done;
    });
    if (acceptable) Accept(now);
}

void MetricsEndpoint::Accept(Clock::time_point now) {
    for (size_t tries = 0; tries < limits_.maxConnections; ++tries) {
        if (connections_.size() >= limits_.maxConnections) return;
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK) return;
            // That connection failed on the way; the next one may not.
            if (e == EINTR || e == ECONNABORTED || e == EPROTO || e == EPERM || e == ENETDOWN ||
                e == ENOPROTOOPT || e == EHOSTDOWN || e == ENONET || e == EHOSTUNREACH ||
                e == EOPNOTSUPP || e == ENETUNREACH) {
                continue;
            }
            // Out of descriptors or memory (EMFILE, ENOBUFS ...): the listener
            // stays readable, so accepting pauses rather than spins.
            if (!pauseLogged_) {
                std::string line = "metrics endpoint: cannot accept: ";
                line.append(Errno(e)).append(" (pausing; logged once)");
                ServiceLog(line);
                pauseLogged_ = true;
            }
            acceptPausedUntil_ = now + kAcceptPause;
            return;
        }
        auto c = std::make_unique<Connection>();
        c->fd = UniqueFd(fd);
        c->deadline = now + limits_.deadline;
        connections_.push_back(std::move(c));
    }
}

void MetricsEndpoint::Read(Connection& c) {
    char buffer[4096];
    for (;;) {
        // One byte over the cap tells a head that is too long.
        const size_t room = limits_.maxHeadBytes + 1 - c.head.size();
        ssize_t n = ::recv(c.fd.get(), buffer, std::min(room, sizeof buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {  // gone, or failed, before it asked
            c.state = Connection::State::Done;
            return;
        }
        c.head.append(buffer, static_cast<size_t>(n));
        const bool whole = c.head.find("\r\n\r\n") != std::string::npos ||
                           c.head.find("\n\n") != std::string::npos;
        if (whole) {
            Answer(c);
            return;
        }
        if (c.head.size() > limits_.maxHeadBytes) {
            c.out = Plain("431 Request Header Fields Too Large", "request head too large");
            c.head.clear();
            c.state = Connection::State::Writing;
            Flush(c);
            return;
        }
    }
}

void MetricsEndpoint::Answer(Connection& c) {
    std::string_view line(c.head);
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    std::string_view method, target, version;
    if (second != std::string_view::npos && line.find(' ', second + 1) == std::string_view::npos) {
        method = line.substr(0, first);
        target = line.substr(first + 1, second - first - 1);
        version = line.substr(second + 1);
    }
    const bool head = method == "HEAD";
    if (method.empty() || target.empty() || version.substr(0, 7) != "HTTP/1.") {
        c.out = Plain("400 Bad Request", "bad request");
    } else if (target.substr(0, target.find('?')) != "/metrics") {
        c.out = Plain("404 Not Found", "not found; the metrics are at /metrics", head);
    } else if (method != "GET" && !head) {
        c.out = Plain("405 Method Not Allowed", "only GET and HEAD", false, "Allow: GET, HEAD");
    } else {
        std::string text;
        c.out = source_(&text) ? Response("200 OK", kMetricsContentType, text, head)
                               : Plain("503 Service Unavailable",
                                       "the backend's figures cannot be read now", head);
    }
    c.head.clear();
    c.head.shrink_to_fit();
    c.state = Connection::State::Writing;
    Flush(c);
}

void MetricsEndpoint::Flush(Connection& c) {
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest when writable
        if (n <= 0) {
            c.state = Connection::State::Done;
            return;
        }
        c.sent += static_cast<size_t>(n);
    }
    // All sent: the end of the answer, then whatever the client still sends
    // is read and dropped until it closes. Closing with its bytes unread
    // would reset the connection and could take the answer with it.
    c.out.clear();
    c.out.shrink_to_fit();
    ::shutdown(c.fd.get(), SHUT_WR);
    c.state = Connection::State::Draining;
}

void MetricsEndpoint::Drain(Connection& c) {
    char buffer[4096];
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            c.state = Connection::State::Done;
            return;
        }
    }
}

}  // namespace corvane
