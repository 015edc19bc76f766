// Stands in for the service manager's notification socket: a datagram socket
// of our own that NOTIFY_SOCKET points at while the object lives. A thread
// takes every message off the socket at once, as the manager would: a full
// datagram queue would block the sender.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test {

class NotifyListener {
  public:
    // `watchdogUsec` > 0 also asks for a watchdog with that interval.
    explicit NotifyListener(const std::string& path, long watchdogUsec = 0) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        if (watchdogUsec > 0) ::setenv("WATCHDOG_USEC", std::to_string(watchdogUsec).c_str(), 1);
        if (fd_ >= 0) reader_ = std::thread([this] { Read(); });
    }
    ~NotifyListener() {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    bool ok() const { return fd_ >= 0; }

    // The next message, waiting at most `timeout`.
    std::optional<std::string> Next(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(mutex_);
        if (!arrived_.wait_for(hold, timeout, [this] { return !messages_.empty(); })) {
            return std::nullopt;
        }
        std::string m = std::move(messages_.front());
        messages_.pop_front();
        return m;
    }
    // Every message sent so far, also those still in the socket.
    std::vector<std::string> Drain() {
        std::lock_guard<std::mutex> hold(mutex_);
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
            messages_.emplace_back(buffer, static_cast<size_t>(n));
        }
        std::vector<std::string> all(messages_.begin(), messages_.end());
        messages_.clear();
        return all;
    }

  private:
    void Read() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;  // 20 ms: how soon a stop is seen
            // Taken off the socket under the lock, so that Drain finds every
            // message either queued here or still in the socket.
            std::lock_guard<std::mutex> hold(mutex_);
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0) continue;
            messages_.emplace_back(buffer, static_cast<size_t>(n));
            arrived_.notify_one();
        }
    }

    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> messages_;
    std::thread reader_;
};

}  // namespace test
