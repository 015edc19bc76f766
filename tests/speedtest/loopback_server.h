// A scripted HTTP server on loopback addresses for the exchange tests: one
// thread accepts connections, one at a time, and hands each to a handler.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace test {

inline bool WaitFd(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

// A listening socket on `address` at *port (0: an ephemeral one, written
// back), for the test servers. Throws when it cannot listen.
inline int ListenOn(const std::string& address, uint16_t* port, bool reuseAddress = false) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (reuseAddress) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
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

class Connection {
  public:
    Connection(int fd, int stopFd, std::string local) : fd_(fd), stop_(stopFd), local_(local) {}
    ~Connection() { Reset(false); }
    const std::string& request() const { return request_; }
    const std::string& local() const { return local_; }  // address the client dialled

    // The header block and, when it names a Content-Length, the body.
    void ReadRequest() {
        char buffer[65536];
        for (size_t need = SIZE_MAX; request_.size() < need && WaitFd(fd_, 5000);) {
            ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) return;
            request_.append(buffer, static_cast<size_t>(n));
            size_t blank = request_.find("\r\n\r\n"), length = request_.find("Content-Length: ");
            if (blank == std::string::npos) continue;
            need = blank + 4 +
                   (length < blank ? std::strtoul(&request_[length + 16], nullptr, 10) : 0);
        }
    }
    bool Write(std::string_view bytes) {
        for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(n))) {
            if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
        }
        return true;
    }
    void Pause(int ms) { WaitFd(stop_, ms); }  // cut short when the server stops
    void HoldUntilStopped() { WaitFd(stop_, -1); }
    void Reset(bool hard = true) {  // hard: ends the connection with RST instead of FIN
        linger abort{1, 0};
        if (hard) ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_, stop_;
    std::string local_, request_;
};

// Listens on each address, all on one ephemeral port.
class LoopbackServer {
  public:
    using Handler = std::function<void(Connection&)>;

    explicit LoopbackServer(Handler handler, std::vector<std::string> addresses = {"127.0.0.1"})
        : handler_(std::move(handler)), addresses_(addresses) {
        for (const std::string& address : addresses) {
            entries_.push_back({ListenOn(address, &port_), POLLIN, 0});
        }
        entries_.push_back({::eventfd(0, EFD_CLOEXEC), POLLIN, 0});  // the stop signal, last
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackServer() { Stop(); }

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
                Connection connection(::accept4(entries_[i].fd, nullptr, nullptr, SOCK_CLOEXEC),
                                      entries_.back().fd, addresses_[i]);
                handler_(connection);
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(connection.request());
            }
        }
    }

    Handler handler_;
    std::vector<std::string> addresses_;
    uint16_t port_ = 0;
    std::vector<pollfd> entries_;  // only the server's thread touches them while it runs
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
};

inline std::string HttpReply(const std::string& body, const std::string& status = "200 OK") {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

inline LoopbackServer::Handler AnswerWith(std::string reply) {
    return [reply](Connection& c) {
        c.ReadRequest();
        c.Write(reply);
    };
}

// Reads the request, then ends the connection with RST.
inline LoopbackServer::Handler ResetAfterRequest() {
    return [](Connection& c) {
        c.ReadRequest();
        c.Reset();
    };
}

// Reads the request and answers nothing until the server stops.
inline LoopbackServer::Handler SilentAfterRequest() {
    return [](Connection& c) {
        c.ReadRequest();
        c.HoldUntilStopped();
    };
}

}  // namespace test
