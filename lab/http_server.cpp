#include "lab/http_server.h"

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
#include <mutex>
#include <optional>

#include "lab/documents.h"
#include "platform/fd.h"

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr int kListenBacklog = 128;
constexpr auto kReadTimeout = 30s;   // a request must arrive within this
constexpr auto kWriteTimeout = 30s;  // and its answer leave within this
constexpr auto kHeldTimeout = 120s;  // a held connection lasts this long at most
constexpr auto kDrainTimeout = 5s;   // for the rest of a refused request
constexpr size_t kMaxNotes = 1000;

// Owns one descriptor.
using Fd = platform::UniqueFd;

struct Listener {
    std::string address;
    uint16_t wantedPort = 0;
    Fd fd;
    uint16_t port = 0;
};

struct Connection {
    Fd fd;
    size_t tag = 0;
    uint32_t peer = 0;
    std::string in;
    std::string out;
    size_t sent = 0;
    bool drainAfter = false;  // the request was not read to its end: read the rest away first
    enum class State { Reading, Waiting, Writing, Held } state = State::Reading;
    Clock::time_point sendAt;    // Waiting: when the answer may leave
    Clock::time_point deadline;  // the connection is dropped then
};

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whole when the header and the announced body are in; nullopt while more is
// to come. *bad is set for a request that cannot be read.
std::optional<HttpRequest> ParseRequest(const std::string& in, bool* bad) {
    size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    HttpRequest r;
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

struct HttpServer::Loop {
    Handler handler;
    Fd wake;

    // Shared with the caller's threads.
    mutable std::mutex mutex;
    std::vector<std::function<void()>> commands;
    bool stopping = false;
    HttpCounts counts;
    std::vector<std::string> notes;
    std::vector<Listener> listeners;  // written by the loop under the mutex once running

    bool running = false;  // the loop's thread runs; set and cleared by the caller's thread

    // The loop's own.
    std::vector<std::unique_ptr<Connection>> connections;

    void Note(const std::string& text) {
        std::lock_guard<std::mutex> hold(mutex);
        if (notes.size() < kMaxNotes) notes.push_back(text);
    }

    bool Open(Listener& l, std::string* error) {
        if (l.fd.valid()) return true;
        uint16_t bound = 0;
        Fd fd = Listen(l.address, l.wantedPort, &bound, error);
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

    void Accept(size_t tag) {
        for (;;) {
            sockaddr_storage from{};
            socklen_t fromLength = sizeof from;
            int fd = ::accept4(listeners[tag].fd.get(), reinterpret_cast<sockaddr*>(&from),
                               &fromLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN, or a connection gone before it was taken
            if (connections.size() >= kMaxConnections) {
                ::close(fd);
                std::lock_guard<std::mutex> hold(mutex);
                ++counts.refusedConnections;
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->fd = Fd(fd);
            c->tag = tag;
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

    // False when the connection is to be closed at once.
    bool Dispatch(Connection& c, HttpRequest& request) {
        request.peer = c.peer;
        HttpReply reply = handler(c.tag, request);
        switch (reply.kind) {
            case HttpReply::Kind::Close:
                return false;
            case HttpReply::Kind::Hang:
                c.state = Connection::State::Held;
                c.deadline = Clock::now() + kHeldTimeout;
                return true;
            case HttpReply::Kind::Answer:
                Answer(c, reply.status, reply.body, reply.type);
                if (reply.delay > Clock::duration::zero()) {
                    c.state = Connection::State::Waiting;
                    c.sendAt = Clock::now() + reply.delay;
                }
                return true;
        }
        return false;
    }

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
        std::optional<HttpRequest> request = ParseRequest(c.in, &bad);
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
        std::vector<size_t> polledListeners;
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
            for (size_t tag = 0; tag < listeners.size(); ++tag) {
                if (!listeners[tag].fd.valid()) continue;
                fds.push_back(pollfd{listeners[tag].fd.get(), POLLIN, 0});
                polledListeners.push_back(tag);
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
            for (size_t tag : polledListeners) {
                if (fds[i++].revents != 0) Accept(tag);
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

HttpServer::HttpServer(Handler handler) : loop_(std::make_unique<Loop>()) {
    loop_->handler = std::move(handler);
}

HttpServer::~HttpServer() {
    Stop();
}

size_t HttpServer::AddListener(std::string address, uint16_t port) {
    loop_->listeners.push_back(Listener{std::move(address), port, Fd(), 0});
    return loop_->listeners.size() - 1;
}

bool HttpServer::Start(std::string* error) {
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

void HttpServer::Stop() {
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

// The command runs on the loop's thread, and the caller waits for it, so
// that what it changes is in force for every request that follows the call.
void HttpServer::Post(std::function<void()> command) {
    if (!loop_->running) {
        command();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    {
        std::lock_guard<std::mutex> hold(loop_->mutex);
        loop_->commands.push_back([command = std::move(command), done] {
            command();
            done->set_value();
        });
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(loop_->wake.get(), &one, sizeof one);
    ran.wait();
}

void HttpServer::Open(size_t tag) {
    std::string error;
    if (!loop_->Open(loop_->listeners.at(tag), &error)) loop_->Note(error);
}

void HttpServer::Close(size_t tag) {
    loop_->Close(loop_->listeners.at(tag));
}

uint16_t HttpServer::PortOf(const std::string& address) const {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    for (const Listener& l : loop_->listeners) {
        if (l.address == address) return l.port;
    }
    return 0;
}

HttpCounts HttpServer::Counts() const {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    return loop_->counts;
}

std::vector<std::string> HttpServer::TakeNotes() {
    std::lock_guard<std::mutex> hold(loop_->mutex);
    std::vector<std::string> notes;
    notes.swap(loop_->notes);
    return notes;
}

}  // namespace lab
