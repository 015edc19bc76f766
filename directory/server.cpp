// The directory's HTTP server, its socket activation and its loop.
#include "directory/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/eintr.h"

namespace directory {
namespace {

using namespace std::chrono_literals;

// The first descriptor the service manager passes (SD_LISTEN_FDS_START).
constexpr int kActivatedFd = 3;
// A descriptor the process cannot get more of (EMFILE ...) leaves the
// listener readable: accepting pauses this long instead of spinning on it.
constexpr auto kAcceptPause = 100ms;
constexpr int kListenBacklog = 64;
// Reads per turn of the loop for one client that sends after its answer.
constexpr int kMaxDrainReads = 16;
constexpr const char* kDocumentType = "text/xml; charset=utf-8";

std::string Errno(int error) {
    return std::strerror(error);
}

void Log(const std::string& line) {
    std::fprintf(stderr, "sandrow-directory: %s\n", line.c_str());
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

std::string AddressText(const sockaddr_in& sa) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* error) {
    const size_t colon = text.rfind(':');
    in_addr address{};
    unsigned port = 0;
    bool fine = colon != std::string::npos && colon + 1 < text.size();
    if (fine) {
        const std::string host = text.substr(0, colon);
        const char* first = text.data() + colon + 1;
        const char* last = text.data() + text.size();
        auto [end, ec] = std::from_chars(first, last, port);
        fine = ::inet_pton(AF_INET, host.c_str(), &address) == 1 && ec == std::errc() &&
               end == last && port <= 65535;
    }
    if (!fine) {
        *error =
            "'" + text + "' is not ADDRESS:PORT with an IPv4 address (e.g. " + kDefaultListen + ")";
        return false;
    }
    out->address = address.s_addr;
    out->port = static_cast<uint16_t>(port);
    return true;
}

UniqueFd TakeActivatedListener(std::string* error) {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (pid == nullptr || fds == nullptr) return UniqueFd();
    const std::string pidText = pid;
    const std::string fdsText = fds;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    long listenPid = 0;
    int count = 0;
    auto [pidEnd, pidEc] =
        std::from_chars(pidText.data(), pidText.data() + pidText.size(), listenPid);
    auto [fdsEnd, fdsEc] = std::from_chars(fdsText.data(), fdsText.data() + fdsText.size(), count);
    // Meant for another process (a parent that did not clear them): not ours.
    if (pidEc != std::errc() || pidEnd != pidText.data() + pidText.size() ||
        listenPid != static_cast<long>(::getpid())) {
        return UniqueFd();
    }
    if (fdsEc != std::errc() || fdsEnd != fdsText.data() + fdsText.size() || count < 1) {
        return UniqueFd();
    }
    UniqueFd fd(kActivatedFd);
    int listening = 0;
    int type = 0;
    socklen_t length = sizeof listening;
    socklen_t typeLength = sizeof type;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
        ::getsockopt(fd.get(), SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || listening == 0 ||
        type != SOCK_STREAM) {
        *error =
            "the socket passed by the service manager (fd 3) is not a listening stream "
            "socket (the socket unit needs ListenStream=)";
        fd.Release();  // not ours to close: it is whatever the manager left there
        return UniqueFd();
    }
    // Our loop never blocks on it, and nothing we start inherits it.
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
    if (count > 1) Log("the service manager passed " + fdsText + " sockets; serving on the first");
    return fd;
}

std::string Answer(std::string_view head, const Documents& documents) {
    std::string_view line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    std::string_view method, target, version;
    if (second != std::string_view::npos && line.find(' ', second + 1) == std::string_view::npos) {
        method = line.substr(0, first);
        target = line.substr(first + 1, second - first - 1);
        version = line.substr(second + 1);
    }
    const bool headOnly = method == "HEAD";
    if (method.empty() || target.empty() || version.substr(0, 7) != "HTTP/1.") {
        return Plain("400 Bad Request", "bad request");
    }
    // sandrow's requests carry no query, but a browser's or a cache-buster's may.
    const std::string_view path = target.substr(0, target.find('?'));
    const std::string* body = nullptr;
    if (path == kConfigDocumentPath) body = &documents.config;
    if (path == kServerListPath) body = &documents.serverList;
    if (body == nullptr) {
        return Plain("404 Not Found",
                     "not found; this directory serves /speedtest-config.php and "
                     "/speedtest-servers-static.php",
                     headOnly);
    }
    if (method != "GET" && !headOnly) {
        return Plain("405 Method Not Allowed", "only GET and HEAD", false, "Allow: GET, HEAD");
    }
    return Response("200 OK", kDocumentType, *body, headOnly);
}

std::string HeadTooLargeAnswer() {
    return Plain("431 Request Header Fields Too Large", "request head too large");
}

// ---------------------------------------------------------------------------

struct DirectoryServer::Client {
    enum class State { Reading, Writing, Draining, Done };

    UniqueFd fd;
    Clock::time_point deadline;
    State state = State::Reading;
    std::string head;  // the request so far, at most maxHeadBytes + 1
    std::string out;   // the answer
    size_t sent = 0;
};

UniqueFd OpenListener(const ListenAddress& address, std::string* error) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(address.port);
    sa.sin_addr.s_addr = address.address;
    const std::string where = AddressText(sa);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        *error = "cannot open a socket for " + where + ": " + Errno(errno);
        return fd;
    }
    // A restart binds again at once, past the last run's TIME_WAIT sockets.
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0) {
        const int e = errno;
        *error = "cannot listen on " + where + ": " + Errno(e);
        if (e == EACCES) error->append(" (a port below 1024 needs CAP_NET_BIND_SERVICE)");
        if (e == EADDRINUSE) error->append(" (another program serves there; use --listen)");
        return UniqueFd();
    }
    return fd;
}

std::unique_ptr<DirectoryServer> DirectoryServer::Listen(const ListenAddress& address,
                                                         Documents documents, std::string* error,
                                                         ServerLimits limits) {
    UniqueFd fd = OpenListener(address, error);
    if (!fd) return nullptr;
    return Adopt(std::move(fd), std::move(documents), error, limits);
}

std::unique_ptr<DirectoryServer> DirectoryServer::Adopt(UniqueFd listener, Documents documents,
                                                        std::string* error, ServerLimits limits) {
    if (!listener) {
        *error = "no listening socket";
        return nullptr;
    }
    return std::unique_ptr<DirectoryServer>(
        new DirectoryServer(std::move(listener), std::move(documents), limits));
}

DirectoryServer::DirectoryServer(UniqueFd listener, Documents documents, ServerLimits limits)
    : listener_(std::move(listener)), documents_(std::move(documents)), limits_(limits) {}

DirectoryServer::~DirectoryServer() = default;

std::string DirectoryServer::Address() const {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin_family != AF_INET) {
        return "?";
    }
    return AddressText(sa);
}

void DirectoryServer::AddFds(std::vector<pollfd>* fds) {
    // Beyond the bound the listener is still polled: Accept closes what comes.
    listenerPolled_ = Clock::now() >= acceptPausedUntil_;
    if (listenerPolled_) fds->push_back({listener_.get(), POLLIN, 0});
    polled_.clear();
    for (const auto& c : clients_) {
        const short events = c->state == Client::State::Writing ? POLLOUT : POLLIN;
        fds->push_back({c->fd.get(), events, 0});
        polled_.push_back(c.get());
    }
}

int DirectoryServer::MsUntilWork() const {
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> next;
    if (acceptPausedUntil_ > now) next = acceptPausedUntil_;
    for (const auto& c : clients_) {
        if (!next || c->deadline < *next) next = c->deadline;
    }
    if (!next) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now);
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void DirectoryServer::Work(std::span<const pollfd> fds) {
    size_t i = 0;
    bool acceptable = false;
    if (listenerPolled_ && i < fds.size()) acceptable = (fds[i++].revents & POLLIN) != 0;
    for (Client* c : polled_) {
        if (i >= fds.size()) break;
        if (fds[i++].revents == 0) continue;
        switch (c->state) {
            case Client::State::Reading:
                Read(*c);
                break;
            case Client::State::Writing:
                Flush(*c);
                break;
            case Client::State::Draining:
                Drain(*c);
                break;
            case Client::State::Done:
                break;
        }
    }
    polled_.clear();
    const Clock::time_point now = Clock::now();
    for (auto& c : clients_) {
        if (now >= c->deadline) c->state = Client::State::Done;
    }
    std::erase_if(clients_,
                  [](const std::unique_ptr<Client>& c) { return c->state == Client::State::Done; });
    if (acceptable) Accept(now);
}

void DirectoryServer::Accept(Clock::time_point now) {
    // A bounded number per turn, so that a flood cannot keep the loop here.
    for (size_t tries = 0; tries < limits_.maxClients + 1; ++tries) {
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
                Log("cannot accept: " + Errno(e) + " (pausing; logged once)");
                pauseLogged_ = true;
            }
            acceptPausedUntil_ = now + kAcceptPause;
            return;
        }
        UniqueFd accepted(fd);
        // Full: closed at once rather than left to wait in the backlog, so a
        // client learns it now and retries (sandrow does, after 2 s).
        if (clients_.size() >= limits_.maxClients) continue;
        auto c = std::make_unique<Client>();
        c->fd = std::move(accepted);
        c->deadline = now + limits_.deadline;
        clients_.push_back(std::move(c));
    }
}

void DirectoryServer::Read(Client& c) {
    char buffer[4096];
    for (;;) {
        // One byte over the cap tells a head that is too long.
        const size_t room = limits_.maxHeadBytes + 1 - c.head.size();
        ssize_t n = ::recv(c.fd.get(), buffer, std::min(room, sizeof buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {  // gone, or failed, before it asked
            c.state = Client::State::Done;
            return;
        }
        c.head.append(buffer, static_cast<size_t>(n));
        const size_t end = std::min(c.head.find("\r\n\r\n"), c.head.find("\n\n"));
        if (end != std::string::npos && end < limits_.maxHeadBytes) {
            c.out = Answer(c.head, documents_);
        } else if (c.head.size() > limits_.maxHeadBytes) {
            c.out = HeadTooLargeAnswer();
        } else {
            continue;
        }
        c.head.clear();
        c.head.shrink_to_fit();
        c.state = Client::State::Writing;
        Flush(c);
        return;
    }
}

void DirectoryServer::Flush(Client& c) {
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest when writable
        if (n <= 0) {
            c.state = Client::State::Done;
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
    c.state = Client::State::Draining;
}

void DirectoryServer::Drain(Client& c) {
    char buffer[4096];
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            c.state = Client::State::Done;
            return;
        }
    }
}

// ---------------------------------------------------------------------------

bool Reload(const std::string& path, DirectoryServer& server,
            const std::function<void(const std::string&)>& log) {
    DirectoryConfig config;
    std::string error;
    if (!LoadDirectoryConfig(path, &config, &error)) {
        log(error + " (reload refused; the documents stay as they were)");
        return false;
    }
    server.SetDocuments(MakeDocuments(config));
    log("reloaded " + path + ": " + std::to_string(config.targets.size()) + " targets");
    return true;
}

bool Serve(DirectoryServer& server, int stopFd, int hangUpFd, const std::function<void()>& onHangUp,
           std::string* error) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({hangUpFd, POLLIN, 0});
        server.AddFds(&fds);
        const int n = ::poll(fds.data(), fds.size(), server.MsUntilWork());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "poll failed: " + Errno(errno);
            return false;
        }
        if ((fds[0].revents & POLLIN) != 0) return true;
        if ((fds[1].revents & POLLIN) != 0) {
            // Signals of one kind merge while pending; read them all, act once.
            signalfd_siginfo info{};
            while (platform::RetryOnEintr([&] { return ::read(hangUpFd, &info, sizeof info); }) ==
                   static_cast<ssize_t>(sizeof info)) {
            }
            onHangUp();
        }
        server.Work(std::span<const pollfd>(fds).subspan(2));
    }
}

UniqueFd TakeHangUpSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return UniqueFd();
    return UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

}  // namespace directory
