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

class Connection {
  public:
    Connection(int fd, int stopFd, std::string local) : fd_(fd), stop_(stopFd), local_(local) {}
    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }
    const std::string& request() const { return request_; }
    const std::string& local() const { return local_; }  // address the client dialled

    // The header block and, when it names a Content-Length, the body.
    void ReadRequest() {
        size_t need = std::string::npos;
        char buffer[65536];
        while ((need == std::string::npos || request_.size() < need) && WaitFd(fd_, 5000)) {
            ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) return;
            request_.append(buffer, static_cast<size_t>(n));
            size_t blank = request_.find("\r\n\r\n");
            if (need != std::string::npos || blank == std::string::npos) continue;
            need = blank + 4;
            size_t length = request_.find("Content-Length: ");
            if (length < blank) need += std::strtoul(&request_[length + 16], nullptr, 10);
        }
    }
    bool Write(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    void Pause(int ms) { WaitFd(stop_, ms); }  // cut short when the server stops
    void HoldUntilStopped() { WaitFd(stop_, -1); }
    void Reset() {  // ends the connection with RST instead of FIN
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
    int stop_;
    std::string local_;
    std::string request_;
};

// Listens on each address, all on one ephemeral port.
class LoopbackServer {
  public:
    using Handler = std::function<void(Connection&)>;

    explicit LoopbackServer(Handler handler, std::vector<std::string> addresses = {"127.0.0.1"})
        : handler_(std::move(handler)), stop_(::eventfd(0, EFD_CLOEXEC)) {
        for (const std::string& address : addresses) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in at{AF_INET, htons(port_), {}, {}};
            ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
            socklen_t size = sizeof(at);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&at), size) != 0 || ::listen(fd, 16) != 0) {
                ::close(fd);
                throw std::runtime_error("cannot listen on " + address);
            }
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
            port_ = ntohs(at.sin_port);
            listeners_.push_back({fd, POLLIN, 0});
            addresses_.push_back(address);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackServer() { Stop(); }

    void Stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        if (::write(stop_, &one, sizeof(one)) != sizeof(one)) std::abort();
        thread_.join();
        for (pollfd& listener : listeners_) ::close(listener.fd);
        ::close(stop_);
    }
    uint16_t port() const { return port_; }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

  private:
    void Run() {
        std::vector<pollfd> entries = listeners_;
        entries.push_back({stop_, POLLIN, 0});
        while (::poll(entries.data(), entries.size(), -1) >= 0 && entries.back().revents == 0) {
            for (size_t i = 0; i + 1 < entries.size(); ++i) {
                if (entries[i].revents == 0) continue;
                Connection connection(::accept4(entries[i].fd, nullptr, nullptr, SOCK_CLOEXEC),
                                      stop_, addresses_[i]);
                handler_(connection);
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(connection.request());
            }
        }
    }

    Handler handler_;
    int stop_;
    uint16_t port_ = 0;
    std::vector<pollfd> listeners_;
    std::vector<std::string> addresses_;
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

}  // namespace test
