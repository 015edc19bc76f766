// The metrics' HTTP endpoint: its listener and its answers, served by the
// one-answer server from the service's loop.
#include "service/metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corvane {
namespace {

// Connections beyond the cap wait here; past it the kernel holds off new
// handshakes and clients retry.
constexpr int kListenBacklog = 16;

std::string Errno(int error) {
    return std::strerror(error);
}

// GET or HEAD /metrics; anything else is refused with the usual status.
std::string MetricsAnswer(std::string_view head, const MetricsSource& source) {
    const RequestLine request = ParseRequestLine(head);
    const bool headOnly = request.method == "HEAD";
    if (request.method.empty() || request.target.empty() ||
        request.version.substr(0, 7) != "HTTP/1.") {
        return HttpPlain("400 Bad Request", "bad request");
    }
    if (request.target.substr(0, request.target.find('?')) != "/metrics") {
        return HttpPlain("404 Not Found", "not found; the metrics are at /metrics", headOnly);
    }
    if (request.method != "GET" && !headOnly) {
        return HttpPlain("405 Method Not Allowed", "only GET and HEAD", false, "Allow: GET, HEAD");
    }
    std::string text;
    return source(&text) ? HttpResponse("200 OK", kMetricsContentType, text, headOnly)
                         : HttpPlain("503 Service Unavailable",
                                     "the backend's figures cannot be read now", headOnly);
}

}  // namespace

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
    : server_(
          std::move(listener), limits, WhenFull::Wait,
          [source = std::move(source)](std::string_view head) {
              return MetricsAnswer(head, source);
          },
          [](const std::string& line) { ServiceLog("metrics endpoint: " + line); }) {}

MetricsEndpoint::~MetricsEndpoint() = default;

void MetricsEndpoint::AddFds(std::vector<pollfd>* fds) {
    server_.AddFds(fds);
}

int MetricsEndpoint::MsUntilWork() {
    return server_.MsUntilWork();
}

void MetricsEndpoint::Work(std::span<const pollfd> fds) {
    server_.Work(fds);
}

}  // namespace corvane
