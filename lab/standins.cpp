// The HTTP stand-ins: non-blocking listeners and connections in one ppoll
// loop, bounded in connections, request size and time.
#include "lab/standins.h"
#include "platform/fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <random>

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr int kListenBacklog = 128;
constexpr auto kReadTimeout = 30s;       // a request must arrive within this
constexpr auto kWriteTimeout = 30s;      // and its answer leave within this
constexpr auto kHeldTimeout = 120s;      // a "hang" fault holds a connection this long at most
constexpr auto kDrainTimeout = 5s;       // for the rest of a refused request
constexpr size_t kMaxRecords = 1000000;  // about a day of probes at ten a second

// Owns one descriptor.
using Fd = platform::UniqueFd;

enum class Role { Server, Collector };

struct Listener {
    Role role;
    size_t server = 0;  // Role::Server
    std::string address;
    Fd fd;
    uint16_t port = 0;
};

struct Connection {
    Fd fd;
    Role role;
    size_t server = 0;
    uint32_t peer = 0;  // the client's IPv4 address as Ipv4() gives it; 0 for another family
    std::string in;
    std::string out;
    size_t sent = 0;
    bool drainAfter = false;  // the request was not read to its end: read the rest away first
    enum class State { Reading, Waiting, Writing, Held } state = State::Reading;
    Clock::time_point sendAt;    // Waiting: when the answer may leave
    Clock::time_point deadline;  // the connection is dropped then
};

struct Request {
    std::string method;
    std::string target;
    std::string contentType;
    std::string body;
};

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whole when the header and the announced body are in; nullopt while more is
// to come. *bad is set for a request that cannot be read.
std::optional<Request> ParseRequest(const std::string& in, bool* bad) {
    size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    Request r;
    size_t lineEnd = in.find("\r\n");
    std::string line = in.substr(0, lineEnd);
    size_t s1 = line.find(' ');
    size_t s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
    if (s2 == std::string::npos || line.compare(s2 + 1, 5, "HTTP/") != 0) {
        *bad = true;
        return std::nullopt;
    }
    r.method = line.substr(0, s1);
    r.target = line.substr(s1 + 1, s2 - s1 - 1);
    size_t length = 0;
    size_t pos = lineEnd + 2;
    while (pos < end) {
        size_t next = in.find("\r\n", pos);
        std::string header = in.substr(pos, next - pos);
        pos = next + 2;
        size_t colon = header.find(':');
        if (colon == std::string::npos) continue;
        std::string name = LowerCase(header.substr(0, colon));
        std::string value = header.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        if (name == "content-length") {
            char* stop = nullptr;
            unsigned long long n = std::strtoull(value.c_str(), &stop, 10);
            if (stop == value.c_str() || n > kMaxRequestBytes) {
                *bad = true;
                return std::nullopt;
            }
            length = static_cast<size_t>(n);
        } else if (name == "content-type") {
            r.contentType = value;
        }
    }
    if (in.size() < end + 4 + length) return std::nullopt;
    r.body = in.substr(end + 4, length);
    return r;
}

Fd Listen(const std::string& address, uint16_t port, uint16_t* bound, std::string* error) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        *error = "'" + address + "' is not an IPv4 address";
        return Fd();
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        return Fd();
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    *bound = ntohs(sa.sin_port);
    return fd;
}

}  // namespace

struct StandIns::Loop {
    StandInConfig config;
    QueueDelayFn queueDelay;
    NowFn clock;  // the caller's seconds, for the records
    Fd wake;
    std::mt19937 random;

    // Shared with the caller's threads.
    mutable std::mutex mutex;
    std::vector<std::function<void()>> commands;
    bool stopping = false;
    std::vector<ProbeRecord> probes;
    std::vector<PostRecord> posts;
    StandInCounts counts;
    std::vector<std::string> notes;
    std::vector<Listener> listeners;  // written by the loop under the mutex once running

    bool running = false;  // the loop's thread runs; set and cleared by the caller's thread

    // The loop's own.
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<std::optional<DownMode>> serverDown;
    size_t postIndex = 0;

    void Note(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex);
        if (notes.size() < kMaxRecords) notes.push_back(text);
    }

    bool Open(Listener& l, std::string* error) {
        if (l.fd.valid()) return true;
        uint16_t bound = 0;
        Fd fd = Listen(l.address, config.port, &bound, error);
        if (!fd.valid()) return false;
        std::lock_guard<std::mutex> hold(mutex);
        l.fd = std::move(fd);
        l.port = bound;
        return true;
    }

    void Close(Listener& l) {
        std::lock_guard<std::mutex> hold(mutex);
        l.fd.Reset();
        l.port = 0;
    }

    void OpenOrNote(Listener& l) {
        std::string error;
        if (!Open(l, &error)) Note(error);
    }

    // Runs the command on the loop's thread and returns once it has run, so
    // that a fault is in force for every request that follows the call.
    void Post(std::function<void()> command) {
        if (!running) {
            command();
            return;
        }
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> ran = done->get_future();
        {
            std::lock_guard<std::mutex> hold(mutex);
            commands.push_back([command = std::move(command), done] {
                command();
                done->set_value();
            });
        }
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake.get(), &one, sizeof one);
        ran.wait();
    }

    void Accept(Listener& l) {
        for (;;) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            int fd = ::accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&from), &fromLength,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or a connection gone before it was taken
            if (connections.size() >= kMaxConnections) {
                ::close(fd);
                std::lock_guard<std::mutex> hold(mutex);
                ++counts.refusedConnections;
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->fd = Fd(fd);
            c->role = l.role;
            c->server = l.server;
            if (from.ss_family == AF_INET) {
                c->peer = reinterpret_cast<const sockaddr_in*>(&from)->sin_addr.s_addr;
            }
            c->deadline = Clock::now() + kReadTimeout;
            connections.push_back(std::move(c));
        }
    }

    void Answer(Connection& c, int status, const std::string& body,
                const std::string& type = "text/plain") {
        c.out = HttpResponse(status, body, type);
        c.sent = 0;
        c.state = Connection::State::Writing;
        c.deadline = Clock::now() + kWriteTimeout;
    }

    // Returns false when the connection is to be closed at once.
    bool Dispatch(Connection& c, const Request& r) {
        switch (c.role) {
            case Role::Server:
                return ServeLatency(c, r);
            case Role::Collector:
                if (r.target != "/action.php") {
                    Answer(c, 404, "no such form\n");
                } else if (r.method != "POST") {
                    Answer(c, 405, "POST only\n");
                } else {
                    Collect(c, r);
                }
                return true;
        }
        return false;
    }

    bool ServeLatency(Connection& c, const Request& r) {
        if (r.method != "GET" || r.target != "/speedtest/latency.txt") {
            Answer(c, r.method != "GET" ? 405 : 404, "latency.txt only\n");
            return true;
        }
        const StandInConfig::Server& server = config.servers[c.server];
        std::optional<DownMode> down = serverDown[c.server];
        double heldMs = -1;  // not answered
        if (!down) {
            double queueMs = queueDelay(server.line) * 1000.0;
            double jitter = config.jitterMs > 0
                                ? std::uniform_real_distribution<double>(0, config.jitterMs)(random)
                                : 0;
            heldMs = server.delayMs + queueMs + jitter;
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (probes.size() < kMaxRecords)
                probes.push_back(ProbeRecord{clock(), c.server, heldMs, c.peer});
        }
        if (down == DownMode::Close) return false;
        if (down == DownMode::Hang) {
            c.state = Connection::State::Held;
            c.deadline = Clock::now() + kHeldTimeout;
            return true;
        }
        Answer(c, 200, "test=test\n");
        c.state = Connection::State::Waiting;
        c.sendAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double, std::milli>(heldMs));
        return true;
    }

    void Collect(Connection& c, const Request& r) {
        const std::vector<int>& answers = config.collectorResponses;
        int status = answers.empty() ? 200 : answers[std::min(postIndex, answers.size() - 1)];
        ++postIndex;
        PostRecord record;
        record.at = clock();
        record.status = status;
        record.formRead = ParseReportForm(r.contentType, r.body, &record.form);
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (posts.size() < kMaxRecords) posts.push_back(record);
        }
        Answer(c, status, status == 200 ? "received\n" : "not taken\n", "text/html");
    }

    // Reads what is there; false when the connection is finished with.
    bool Read(Connection& c) {
        char buffer[8192];
        for (;;) {
            ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
            if (n > 0) {
                if (c.state != Connection::State::Reading) continue;  // held: ignore more
                c.in.append(buffer, static_cast<size_t>(n));
                if (c.in.size() > kMaxRequestBytes) {
                    Answer(c, 413, "request too large\n");
                    c.drainAfter = true;
                    return true;
                }
                continue;
            }
            if (n == 0) return false;  // the client is gone
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return false;
        }
        if (c.state != Connection::State::Reading) return true;
        bool bad = false;
        std::optional<Request> request = ParseRequest(c.in, &bad);
        if (bad) {
            {
                std::lock_guard<std::mutex> hold(mutex);
                ++counts.badRequests;
            }
            Answer(c, 400, "bad request\n");
            c.drainAfter = true;
            return true;
        }
        if (!request) return true;
        return Dispatch(c, *request);
    }

    // Sends what it can; false when done (or failed).
    bool Write(Connection& c) {
        while (c.sent < c.out.size()) {
            ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                c.sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            return false;
        }
        ::shutdown(c.fd.get(), SHUT_WR);
        if (!c.drainAfter) return false;
        // Closing with unread input would reset the connection and could
        // cost the client our answer: read until the client closes.
        c.state = Connection::State::Held;
        c.deadline = Clock::now() + kDrainTimeout;
        return true;
    }

    void RunCommands() {
        uint64_t value = 0;
        [[maybe_unused]] ssize_t n = ::read(wake.get(), &value, sizeof value);
        std::vector<std::function<void()>> todo;
        {
            std::lock_guard<std::mutex> hold(mutex);
            todo.swap(commands);
        }
        for (auto& command : todo) command();
    }

    bool Stopping() {
        std::lock_guard<std::mutex> hold(mutex);
        return stopping;
    }

    void Run() {
        std::vector<pollfd> fds;
        std::vector<Listener*> polledListeners;
        std::vector<Connection*> polledConnections;
        while (!Stopping()) {
            auto now = Clock::now();
            // Answers that fall due go out; connections past their deadline go.
            for (auto& c : connections) {
                if (c->state == Connection::State::Waiting && c->sendAt <= now) {
                    c->state = Connection::State::Writing;
                    c->deadline = now + kWriteTimeout;
                }
            }
            std::erase_if(connections, [now](const std::unique_ptr<Connection>& c) {
                return c->state != Connection::State::Waiting && c->deadline <= now;
            });
            fds.clear();
            polledListeners.clear();
            polledConnections.clear();
            fds.push_back(pollfd{wake.get(), POLLIN, 0});
            for (Listener& l : listeners) {
                if (!l.fd.valid()) continue;
                fds.push_back(pollfd{l.fd.get(), POLLIN, 0});
                polledListeners.push_back(&l);
            }
            Clock::time_point next = now + 1s;
            for (auto& c : connections) {
                short events = 0;
                if (c->state == Connection::State::Reading || c->state == Connection::State::Held) {
                    events = POLLIN;
                } else if (c->state == Connection::State::Writing) {
                    events = POLLOUT;
                }
                next = std::min(next,
                                c->state == Connection::State::Waiting ? c->sendAt : c->deadline);
                if (events == 0) continue;
                fds.push_back(pollfd{c->fd.get(), events, 0});
                polledConnections.push_back(c.get());
            }
            auto wait = std::max<Clock::duration>(next - now, 0ns);
            timespec ts{};
            ts.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
            ts.tv_nsec = (wait - std::chrono::seconds(ts.tv_sec)).count();
            int n = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
            if (n < 0) {
                if (errno == EINTR) continue;
                Note(std::string("ppoll: ") + std::strerror(errno));
                return;
            }
            if (n == 0) continue;
            size_t i = 1;
            std::vector<Connection*> finished;
            for (Listener* l : polledListeners) {
                if (fds[i++].revents != 0) Accept(*l);
            }
            for (Connection* c : polledConnections) {
                short revents = fds[i++].revents;
                if (revents == 0) continue;
                bool keep = true;
                if (c->state == Connection::State::Writing) {
                    keep = (revents & (POLLERR | POLLHUP)) == 0 && Write(*c);
                } else {
                    keep = Read(*c);
                    if (keep && c->state == Connection::State::Writing) keep = Write(*c);
                }
                if (!keep) finished.push_back(c);
            }
            std::erase_if(connections, [&finished](const std::unique_ptr<Connection>& c) {
                return std::find(finished.begin(), finished.end(), c.get()) != finished.end();
            });
            // Commands last: they may close listeners polled above.
            if (fds[0].revents != 0) RunCommands();
        }
        RunCommands();  // nobody waits on a command forever
    }
};

StandIns::StandIns(StandInConfig config, QueueDelayFn queueDelay, NowFn now)
    : loop_(std::make_unique<Loop>()) {
    loop_->config = std::move(config);
    loop_->queueDelay = std::move(queueDelay);
    loop_->clock = std::move(now);
    loop_->random.seed(loop_->config.seed);
    loop_->serverDown.assign(loop_->config.servers.size(), std::nullopt);
    for (size_t i = 0; i < loop_->config.servers.size(); ++i) {
        loop_->listeners.push_back(
            Listener{Role::Server, i, loop_->config.servers[i].address, Fd(), 0});
    }
    if (!loop_->config.collectorAddress.empty()) {
        loop_->listeners.push_back(
            Listener{Role::Collector, 0, loop_->config.collectorAddress, Fd(), 0});
    }
}

StandIns::~StandIns() {
    Stop();
}

bool StandIns::Start(std::string* error) {
    loop_->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!loop_->wake.valid()) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    for (Listener& l : loop_->listeners) {
        if (!loop_->Open(l, error)) return false;
    }
    try {
        thread_ = std::thread([this] { loop_->Run(); });
        loop_->running = true;
    } catch (const std::system_error& e) {
        *error = std::string("cannot start the HTTP thread: ") + e.what();
        return false;
    }
    return true;
}

void StandIns::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(loop_->mutex);
        loop_->stopping = true;
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(loop_->wake.get(), &one, sizeof one);
    thread_.join();
    loop_->running = false;
    loop_->connections.clear();
    for (Listener& l : loop_->listeners) loop_->Close(l);
}

void StandIns::SetServerDown(size_t server, DownMode mode) {
    Loop* loop = loop_.get();
    loop->Post([loop, server, mode] {
        loop->serverDown.at(server) = mode;
        for (Listener& l : loop->listeners) {
            if (l.role == Role::Server && l.server == server && mode == DownMode::Refuse) {
                loop->Close(l);
            }
        }
    });
}

void StandIns::SetServerUp(size_t server) {
    Loop* loop = loop_.get();
    loop->Post([loop, server] {
        loop->serverDown.at(server).reset();
        for (Listener& l : loop->listeners) {
            if (l.role == Role::Server && l.server == server) loop->OpenOrNote(l);
        }
    });
}

uint16_t StandIns::PortOf(const std::string& address) const {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    for (const Listener& l : loop_->listeners) {
        if (l.address == address) return l.port;
    }
    return 0;
}

std::vector<ProbeRecord> StandIns::Probes(size_t from) const {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    if (from >= loop_->probes.size()) return {};
    return std::vector<ProbeRecord>(loop_->probes.begin() + static_cast<std::ptrdiff_t>(from),
                                    loop_->probes.end());
}

std::vector<PostRecord> StandIns::Posts() const {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    return loop_->posts;
}

StandInCounts StandIns::Counts() const {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    return loop_->counts;
}

std::vector<std::string> StandIns::TakeNotes() {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    std::vector<std::string> notes;
    notes.swap(loop_->notes);
    return notes;
}

}  // namespace lab
