// The metrics text, its file and its HTTP endpoint.
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
constexpr auto kFileInterval = 1s;

std::string Errno(int error) {
    return std::strerror(error);
}

// One metric family: its samples, in the order added.
struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::string samples;

    void Add(const std::string& labels, const std::string& value) {
        samples.append(name).append(labels).append(" ").append(value).append("\n");
    }
    // A family without samples is left out.
    void AppendTo(std::string* out) const {
        if (samples.empty()) return;
        out->append("# HELP ").append(name).append(" ").append(help).append("\n");
        out->append("# TYPE ").append(name).append(" ").append(type).append("\n");
        out->append(samples);
    }
};

std::string Seconds(std::chrono::system_clock::time_point at) {
    double seconds = std::chrono::duration<double>(at.time_since_epoch()).count();
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 3);
    if (ec != std::errc()) return "NaN";
    return std::string(text, end);
}

// The length of the valid UTF-8 sequence at the start of `s`, 0 if none.
size_t Utf8Length(std::string_view s) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i < s.size() && byte(i) >= lo && byte(i) <= hi;
    };
    const unsigned char c = byte(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
        return cont(1, lo, hi) && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
        return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
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

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    while (!value.empty()) {
        size_t n = Utf8Length(value);
        if (n == 0) {
            out.append("\xEF\xBF\xBD");
            value.remove_prefix(1);
            continue;
        }
        if (n == 1 && value[0] == '\\') {
            out.append("\\\\");
        } else if (n == 1 && value[0] == '"') {
            out.append("\\\"");
        } else if (n == 1 && value[0] == '\n') {
            out.append("\\n");
        } else {
            out.append(value.substr(0, n));
        }
        value.remove_prefix(n);
    }
    return out;
}

std::string RenderMetrics(std::span<const GatewayMetrics> gateways) {
    Family limit{"corvane_limit_bps",
                 "gauge",
                 "The gateway's limit in force, in bits per second; +Inf while none is set.",
                 {}};
    Family delivered{"corvane_delivered_bytes_total",
                     "counter",
                     "Bytes delivered: download what the shaper passed on, upload what the "
                     "interface sent.",
                     {}};
    Family leaf{"corvane_leaf_queue_info",
                "gauge",
                "The queue that holds the packets under the limit, by its kind; always 1.",
                {}};
    Family drops{
        "corvane_leaf_queue_drops_total", "counter", "Packets the leaf queue dropped.", {}};
    Family backlog{
        "corvane_leaf_queue_backlog_bytes", "gauge", "Bytes waiting in the leaf queue now.", {}};
    Family changes{"corvane_limit_changes_total",
                   "counter",
                   "SetGatewayLimits calls that changed a limit of the gateway.",
                   {}};
    Family last{"corvane_last_limit_change_timestamp_seconds",
                "gauge",
                "When a limit of the gateway last changed, in Unix time.",
                {}};

    std::set<std::pair<std::string, std::string>> seen;
    for (const GatewayMetrics& g : gateways) {
        if (!seen.emplace(g.name, g.interface).second) continue;
        std::string base = "gateway=\"";
        base.append(EscapeLabelValue(g.name)).append("\",interface=\"");
        base.append(EscapeLabelValue(g.interface)).append("\"");
        const std::pair<const char*, const DirectionMetrics*> directions[] = {
            {"download", &g.download}, {"upload", &g.upload}};
        for (const auto& [direction, d] : directions) {
            std::string labels = "{";
            labels.append(base).append(",direction=\"").append(direction).append("\"");
            const std::string closed = labels + "}";
            limit.Add(closed, d->limitBps < 0 ? std::string("+Inf") : std::to_string(d->limitBps));
            if (d->deliveredBytes) delivered.Add(closed, std::to_string(*d->deliveredBytes));
            if (d->leafKind.empty()) continue;
            std::string withKind = labels;
            withKind.append(",kind=\"").append(EscapeLabelValue(d->leafKind)).append("\"}");
            leaf.Add(withKind, "1");
            drops.Add(closed, std::to_string(d->leafDrops));
            if (d->leafBacklogBytes) backlog.Add(closed, std::to_string(*d->leafBacklogBytes));
        }
        const std::string gatewayLabels = "{" + base + "}";
        if (g.limitChanges) changes.Add(gatewayLabels, std::to_string(*g.limitChanges));
        if (g.lastLimitChange) last.Add(gatewayLabels, Seconds(*g.lastLimitChange));
    }
    std::string out;
    for (const Family* f : {&limit, &delivered, &leaf, &drops, &backlog, &changes, &last}) {
        f->AppendTo(&out);
    }
    return out;
}

MetricsSource BackendMetricsSource(Backend& backend) {
    return [&backend](std::string* text) {
        std::vector<GatewayMetrics> gateways;
        if (backend.Metrics(&gateways) < 0) return false;
        *text = RenderMetrics(gateways);
        return true;
    };
}

// ---------------------------------------------------------------------------

MetricsFile::MetricsFile(std::string path, MetricsSource source,
                         std::function<Clock::time_point()> now, LogFn log)
    : path_(std::move(path)),
      source_(std::move(source)),
      now_(std::move(now)),
      log_(std::move(log)) {
    if (!now_) now_ = [] { return Clock::now(); };
    if (!log_) log_ = [](std::string_view text) { ServiceLog(text); };
    due_ = now_();
}

MetricsFile::~MetricsFile() {
    if (wrote_) ::unlink(path_.c_str());
}

void MetricsFile::AddFds(std::vector<pollfd>* fds) {
    (void)fds;  // the file needs only the clock
}

int MetricsFile::MsUntilWork() {
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(due_ - now_());
    return static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 1000));
}

void MetricsFile::Work(std::span<const pollfd> fds) {
    (void)fds;
    const Clock::time_point now = now_();
    if (now < due_) return;
    WriteNow();
    // On the second, without catching up on seconds the loop was busy for.
    due_ += kFileInterval;
    if (due_ <= now) due_ = now + kFileInterval;
}

bool MetricsFile::WriteNow() {
    std::string problem;
    if (Write(&problem)) {
        if (failing_) log_("metrics file " + path_ + ": written again");
        failing_ = false;
        wrote_ = true;
        return true;
    }
    if (!failing_) {
        log_("metrics file " + path_ + ": " + problem +
             " (tried again every second, logged again once it works)");
    }
    failing_ = true;
    return false;
}

bool MetricsFile::Write(std::string* problem) {
    std::string text;
    if (!source_(&text)) {
        *problem = "the backend's figures cannot be read";
        return false;
    }
    // ".corvane.prom.XXXXXX" beside it: hidden, and not *.prom, which the
    // collector reads; in the same directory, so that rename replaces.
    const size_t slash = path_.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    const std::string dir = slash == std::string::npos ? std::string(".")
                            : slash == 0               ? std::string("/")
                                                       : path_.substr(0, slash);
    std::string temp = path_.substr(0, name);
    temp.append(".").append(path_.substr(name)).append(".XXXXXX");
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        *problem = "cannot create a file in " + dir + ": " + Errno(errno);
        return false;
    }
    auto fail = [&](const char* what, int error) {
        ::unlink(temp.c_str());
        *problem = std::string(what) + " " + temp + ": " + Errno(error);
        return false;
    };
    // mkostemp makes it 0600 and the umask may take more: the collector
    // runs as another user.
    if (::fchmod(fd.get(), 0644) != 0) return fail("cannot set the mode of", errno);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("cannot write", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    if (int e = fd.Reset(); e != 0) return fail("cannot write", e);
    if (::rename(temp.c_str(), path_.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        *problem = "cannot replace it: ";
        problem->append(Errno(e));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------

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
