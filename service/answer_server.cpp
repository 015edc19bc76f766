// The one-answer HTTP server: accept within the bound, read one head, answer,
// then drain until the client closes or its deadline passes.
#include "service/answer_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace corvane {
namespace {

using namespace std::chrono_literals;

// A descriptor the process cannot get more of (EMFILE ...) leaves the
// listener readable: accepting pauses this long instead of spinning on it.
constexpr auto kAcceptPause = 100ms;
// Reads per turn of the loop for one client that sends after its answer.
constexpr int kMaxDrainReads = 16;

}  // namespace

std::string HttpResponse(const char* status, const char* contentType, const std::string& body,
                         bool headOnly, const char* extraHeader) {
    std::string out = "HTTP/1.1 ";
    out.append(status).append("\r\nContent-Type: ").append(contentType);
    out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
    out.append("\r\nConnection: close\r\n");
    if (extraHeader != nullptr) out.append(extraHeader).append("\r\n");
    out.append("\r\n");
    if (!headOnly) out.append(body);
    return out;
}

std::string HttpPlain(const char* status, const char* text, bool headOnly,
                      const char* extraHeader) {
    return HttpResponse(status, "text/plain; charset=utf-8", std::string(text) + "\n", headOnly,
                        extraHeader);
}

RequestLine ParseRequestLine(std::string_view head) {
    std::string_view line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    RequestLine request;
    if (second != std::string_view::npos && line.find(' ', second + 1) == std::string_view::npos) {
        request.method = line.substr(0, first);
        request.target = line.substr(first + 1, second - first - 1);
        request.version = line.substr(second + 1);
    }
    return request;
}

struct AnswerServer::Connection {
    enum class State { Reading, Writing, Draining, Done };

    platform::UniqueFd fd;
    Clock::time_point deadline;
    State state = State::Reading;
    std::string head;  // the request so far, at most maxHeadBytes + 1
    std::string out;   // the answer
    size_t sent = 0;
};

AnswerServer::AnswerServer(platform::UniqueFd listener, AnswerLimits limits, WhenFull whenFull,
                           Handler handler, LogFn log)
    : listener_(std::move(listener)),
      limits_(limits),
      whenFull_(whenFull),
      handler_(std::move(handler)),
      log_(std::move(log)) {}

AnswerServer::~AnswerServer() = default;

std::string AnswerServer::Address() const {
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
    if (storage.ss_family != AF_INET) return "?";
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
    std::string out = text;
    out.append(":").append(std::to_string(ntohs(sa->sin_port)));
    return out;
}

void AnswerServer::AddFds(std::vector<pollfd>* fds) {
    // Closing what comes beyond the bound needs the listener polled even then.
    listenerPolled_ =
        (whenFull_ == WhenFull::Close || connections_.size() < limits_.maxConnections) &&
        Clock::now() >= acceptPausedUntil_;
    if (listenerPolled_) fds->push_back({listener_.get(), POLLIN, 0});
    polled_.clear();
    for (const auto& c : connections_) {
        const short events = c->state == Connection::State::Writing ? POLLOUT : POLLIN;
        fds->push_back({c->fd.get(), events, 0});
        polled_.push_back(c.get());
    }
}

int AnswerServer::MsUntilWork() const {
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

void AnswerServer::Work(std::span<const pollfd> fds) {
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

void AnswerServer::Accept(Clock::time_point now) {
    // A bounded number per turn, so that a flood cannot keep the loop here.
    for (size_t tries = 0; tries <= limits_.maxConnections; ++tries) {
        const bool full = connections_.size() >= limits_.maxConnections;
        if (full && whenFull_ == WhenFull::Wait) return;
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
                log_(std::string("cannot accept: ") + std::strerror(e) + " (pausing; logged once)");
                pauseLogged_ = true;
            }
            acceptPausedUntil_ = now + kAcceptPause;
            return;
        }
        platform::UniqueFd accepted(fd);
        if (full) continue;  // WhenFull::Close: closed at once
        auto c = std::make_unique<Connection>();
        c->fd = std::move(accepted);
        c->deadline = now + limits_.deadline;
        connections_.push_back(std::move(c));
    }
}

void AnswerServer::Read(Connection& c) {
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
        const size_t end = std::min(c.head.find("\r\n\r\n"), c.head.find("\n\n"));
        if (end != std::string::npos && end < limits_.maxHeadBytes) {
            c.out = handler_(c.head);
        } else if (c.head.size() > limits_.maxHeadBytes) {
            c.out = HttpPlain("431 Request Header Fields Too Large", "request head too large");
        } else {
            continue;
        }
        c.head.clear();
        c.head.shrink_to_fit();
        c.state = Connection::State::Writing;
        Flush(c);
        return;
    }
}

void AnswerServer::Flush(Connection& c) {
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

void AnswerServer::Drain(Connection& c) {
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
