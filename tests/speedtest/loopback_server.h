// A scripted HTTP server on loopback addresses: one thread accepts
// connections, one at a time, and hands each to a handler.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/http_client.h"

namespace test {

// A listening socket on `address` at *port (0: an ephemeral one, written
// back). Throws when it cannot listen.
inline int ListenOn(const std::string& address, uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;  // port 80 again right after an earlier test let it go
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in at{AF_INET, htons(*port), {}, {}};
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    socklen_t size = sizeof(at);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), size) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on " + address);
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    *port = ntohs(at.sin_port);
    return fd;
}

// One accepted connection, non-blocking; every wait ends when the server stops.
class Connection {
  public:
    Connection(int fd, int stopFd, std::string local) : fd_(fd), stop_(stopFd), local_(local) {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~Connection() { Close(false); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& request() const { return request_; }
    const std::string& local() const { return local_; }  // the address the client dialled

    // The header block and, when it names a Content-Length, the body; gives
    // up after 5 s or when the client goes.
    void ReadRequest() {
        http::ReadUntil(
            fd_, &request_, http::Clock::now() + std::chrono::seconds(5), stop_,
            [](const std::string& r) {
                const size_t blank = r.find("\r\n\r\n"), length = r.find("Content-Length: ");
                if (blank == std::string::npos) return false;
                return r.size() >=
                       blank + 4 +
                           (length < blank ? std::strtoul(&r[length + 16], nullptr, 10) : 0);
            });
    }
    // All of `bytes`; false once the client is gone.
    bool Send(std::string_view bytes) { return http::SendAll(fd_, bytes, http::kNever, stop_); }
    // `head`, then blocks from `next` until the client stops taking them.
    void StreamGenerated(const std::string& head, const std::function<std::string()>& next) {
        if (!Send(head)) return;
        while (Send(next())) {
        }
    }
    // Waits `ms`.
    void Pause(int ms) {
        pollfd entry{stop_, POLLIN, 0};
        ::poll(&entry, 1, ms);
    }
    // Says nothing more until the client closes.
    void HoldSilently() {
        std::string ignored;
        http::ReadUntil(fd_, &ignored, http::kNever, stop_);
    }
    // Ends the connection with RST (hard) or FIN.
    void Close(bool hard = true) {
        linger abort{1, 0};
        if (hard && fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_, stop_;
    std::string local_, request_;
};

// Serves one connection at a time on each address, all on one port (0: an
// ephemeral one), with a handler that decides what to answer.
class LoopbackServer {
  public:
    using Handler = std::function<void(Connection&)>;

    explicit LoopbackServer(Handler handler, std::vector<std::string> addresses = {"127.0.0.1"},
                            uint16_t port = 0)
        : handler_(std::move(handler)), addresses_(addresses), port_(port) {
        for (const std::string& address : addresses) {
            entries_.push_back({ListenOn(address, &port_), POLLIN, 0});
        }
        entries_.push_back({::eventfd(0, EFD_CLOEXEC), POLLIN, 0});  // the stop signal, last
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackServer() { Stop(); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    void Stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        if (::write(entries_.back().fd, &one, sizeof(one)) != sizeof(one)) std::abort();
        thread_.join();
        for (pollfd& entry : entries_) ::close(entry.fd);
    }
    uint16_t port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    void Run() {
        while (::poll(entries_.data(), entries_.size(), -1) >= 0 && entries_.back().revents == 0) {
            for (size_t i = 0; i + 1 < entries_.size(); ++i) {
                if (entries_[i].revents == 0) continue;
                int fd = ::accept4(entries_[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                Connection connection(fd, entries_.back().fd, addresses_[i]);
                handler_(connection);
                connection.Close(false);
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(connection.request());
            }
        }
    }

    Handler handler_;
    std::vector<std::string> addresses_;
    uint16_t port_;
    std::vector<pollfd> entries_;  // only the server's thread touches them while it runs
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

inline std::string HttpReply(const std::string& body, const std::string& status = "200 OK") {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// The calling thread in a fresh network namespace with loopback up (where a
// server may take port 80) until destroyed. Not entered without root.
class PrivateNetwork {
  public:
    PrivateNetwork() : home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        entered_ = home_ >= 0 && ::unshare(CLONE_NEWNET) == 0 &&
                   std::system("ip link set lo up >/dev/null 2>&1") == 0;
    }
    ~PrivateNetwork() {
        if (home_ < 0) return;
        ::setns(home_, CLONE_NEWNET);
        ::close(home_);
    }
    bool entered() const { return entered_; }

  private:
    int home_;
    bool entered_ = false;
};

inline LoopbackServer::Handler AfterRequest(std::function<void(Connection&)> then) {
    return [then](Connection& c) {
        c.ReadRequest();
        then(c);
    };
}
inline LoopbackServer::Handler AnswerWith(std::string reply) {
    return AfterRequest([reply](Connection& c) { c.Send(reply); });
}
inline LoopbackServer::Handler ResetAfterRequest() {
    return AfterRequest([](Connection& c) { c.Close(); });
}
inline LoopbackServer::Handler SilentAfterRequest() {
    return AfterRequest([](Connection& c) { c.HoldSilently(); });
}

}  // namespace test
