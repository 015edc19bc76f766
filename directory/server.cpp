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
constexpr int kListenBacklog = 64;
constexpr const char* kDocumentType = "text/xml; charset=utf-8";

std::string Errno(int error) {
    return std::strerror(error);
}

void Log(const std::string& line) {
    std::fprintf(stderr, "sandrow-directory: %s\n", line.c_str());
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
    const auto [method, target, version] = corvane::ParseRequestLine(head);
    const bool headOnly = method == "HEAD";
    if (method.empty() || target.empty() || version.substr(0, 7) != "HTTP/1.") {
        return corvane::HttpPlain("400 Bad Request", "bad request");
    }
    // sandrow's requests carry no query, but a browser's or a cache-buster's may.
    const std::string_view path = target.substr(0, target.find('?'));
    const std::string* body = nullptr;
    if (path == kConfigDocumentPath) body = &documents.config;
    if (path == kServerListPath) body = &documents.serverList;
    if (body == nullptr) {
        return corvane::HttpPlain("404 Not Found",
                                  "not found; this directory serves /speedtest-config.php and "
                                  "/speedtest-servers-static.php",
                                  headOnly);
    }
    if (method != "GET" && !headOnly) {
        return corvane::HttpPlain("405 Method Not Allowed", "only GET and HEAD", false,
                                  "Allow: GET, HEAD");
    }
    return corvane::HttpResponse("200 OK", kDocumentType, *body, headOnly);
}

// ---------------------------------------------------------------------------

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
    : documents_(std::move(documents)),
      // Full: a new connection is closed at once rather than left to wait in
      // the backlog, so a client learns it now and retries (sandrow does,
      // after 2 s).
      server_(
          std::move(listener),
          corvane::AnswerLimits{limits.maxHeadBytes, limits.deadline, limits.maxClients},
          corvane::WhenFull::Close,
          [this](std::string_view head) { return Answer(head, documents_); }, &Log) {}

DirectoryServer::~DirectoryServer() = default;

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
