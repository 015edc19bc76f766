// Sockets and poll loops of the lab's real traffic.
#include "lab/traffic.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunkBytes = 65536;
constexpr int kBacklog = 64;
constexpr size_t kMaxConnections = 256;
constexpr uint32_t kMaxTrackedSequence = 1 << 22;  // bounds the sink's memory
constexpr auto kEchoLostAfter = std::chrono::seconds(1);
constexpr int kConnectTimeoutMs = 5000;

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

sockaddr_in Endpoint(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return a;
}

int NewStop() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void Signal(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void CloseFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

// Joins the thread after telling it to stop, and closes what it used.
void Finish(std::thread* thread, int* stop) {
    if (thread->joinable()) {
        Signal(*stop);
        thread->join();
    }
    CloseFd(stop);
}

int BoundSocket(int type, uint32_t address, uint16_t port, std::string* error) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = Errno("socket");
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local = Endpoint(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        *error = Errno("bind");
        ::close(fd);
        return -1;
    }
    return fd;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

uint32_t Ipv4(const char* text) {
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// ---- TCP ----

bool TcpSink::Start(uint32_t address, uint16_t port, std::string* error) {
    listener_ = BoundSocket(SOCK_STREAM, address, port, error);
    if (listener_ < 0) return false;
    if (::listen(listener_, kBacklog) != 0) {
        *error = Errno("listen");
        CloseFd(&listener_);
        return false;
    }
    stop_ = NewStop();
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void TcpSink::Stop() {
    Finish(&thread_, &stop_);
    CloseFd(&listener_);
}

void TcpSink::Serve() {
    std::vector<int> connections;
    std::vector<char> buffer(kChunkBytes);
    for (;;) {
        std::vector<pollfd> fds{{stop_, POLLIN, 0}, {listener_, POLLIN, 0}};
        for (int c : connections) fds.push_back({c, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0 && connections.size() < kMaxConnections) {
            int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0) {
                connections.push_back(c);
                ++connections_;
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            for (;;) {
                ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
                if (n > 0) {
                    bytes_ += static_cast<uint64_t>(n);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
                ::close(fds[i].fd);  // closed or reset
                connections.erase(std::find(connections.begin(), connections.end(), fds[i].fd));
                break;
            }
        }
    }
    for (int c : connections) ::close(c);
}

bool TcpSource::Start(uint32_t address, uint16_t port, int flows, std::string* error,
                      const std::string& congestion) {
    for (int i = 0; i < flows; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            *error = Errno("socket");
            Stop();
            return false;
        }
        if (!congestion.empty() && ::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, congestion.data(),
                                                static_cast<socklen_t>(congestion.size())) != 0) {
            *error = "congestion control " + congestion + ": " + std::strerror(errno);
            ::close(fd);
            Stop();
            return false;
        }
        sockaddr_in peer = Endpoint(address, port);
        sockets_.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 &&
            errno != EINPROGRESS) {
            *error = Errno("connect");
            Stop();
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        int soError = 0;
        socklen_t length = sizeof soError;
        if (::poll(&p, 1, kConnectTimeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 || soError != 0) {
            *error = std::string("connect: ") +
                     (soError != 0 ? std::strerror(soError) : "no answer within 5 s");
            Stop();
            return false;
        }
    }
    stop_ = NewStop();
    thread_ = std::thread([this] { Send(); });
    return true;
}

void TcpSource::Stop() {
    Finish(&thread_, &stop_);
    for (int& fd : sockets_) CloseFd(&fd);
    sockets_.clear();
}

void TcpSource::Send() {
    static const std::vector<char> chunk(kChunkBytes, 'x');
    std::vector<int> open = sockets_;
    while (!open.empty()) {
        std::vector<pollfd> fds{{stop_, POLLIN, 0}};
        for (int s : open) fds.push_back({s, POLLOUT, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            ssize_t n = ::send(fds[i].fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n > 0) {
                bytes_ += static_cast<uint64_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                open.erase(std::find(open.begin(), open.end(), fds[i].fd));  // the peer is gone
            }
        }
    }
}

// ---- UDP ----

bool UdpSink::Start(uint32_t address, uint16_t port, std::string* error) {
    socket_ = BoundSocket(SOCK_DGRAM, address, port, error);
    if (socket_ < 0) return false;
    int size = 4 << 20;  // a burst must not overflow the socket itself
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    stop_ = NewStop();
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void UdpSink::Stop() {
    Finish(&thread_, &stop_);
    CloseFd(&socket_);
}

void UdpSink::Serve() {
    std::vector<char> buffer(kChunkBytes);
    for (;;) {
        pollfd fds[2] = {{stop_, POLLIN, 0}, {socket_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        for (;;) {
            ssize_t n = ::recv(socket_, buffer.data(), buffer.size(), 0);
            if (n < 0) break;
            ++datagrams_;
            bytes_ += static_cast<uint64_t>(n);
            if (n < 4) continue;
            uint32_t sequence;
            std::memcpy(&sequence, buffer.data(), sizeof sequence);
            if (sequence >= kMaxTrackedSequence) continue;
            std::lock_guard<std::mutex> hold(mutex_);
            if (seen_.size() <= sequence) seen_.resize(sequence + 1);
            seen_[sequence] = true;
        }
    }
}

size_t UdpSink::DistinctBelow(uint32_t count) const {
    std::lock_guard<std::mutex> hold(mutex_);
    size_t n = 0;
    for (size_t i = 0; i < seen_.size() && i < count; ++i) n += seen_[i] ? 1 : 0;
    return n;
}

uint32_t SendDatagrams(uint32_t address, uint16_t port, uint32_t count, size_t size,
                       std::chrono::microseconds gap, std::string* error) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Errno("socket");
        return 0;
    }
    sockaddr_in peer = Endpoint(address, port);
    std::vector<char> datagram(std::max<size_t>(size, 4), 'd');
    uint32_t sent = 0;
    Clock::time_point next = Clock::now();
    for (uint32_t i = 0; i < count; ++i) {
        std::memcpy(datagram.data(), &i, sizeof i);
        if (::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                     sizeof peer) == static_cast<ssize_t>(datagram.size())) {
            ++sent;
        } else if (error->empty()) {
            *error = Errno("sendto");
        }
        if (gap.count() > 0) {
            next += gap;
            std::this_thread::sleep_until(next);
        }
    }
    ::close(fd);
    return sent;
}

bool EchoServer::Start(uint32_t address, uint16_t port, std::string* error) {
    socket_ = BoundSocket(SOCK_DGRAM, address, port, error);
    if (socket_ < 0) return false;
    stop_ = NewStop();
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void EchoServer::Stop() {
    Finish(&thread_, &stop_);
    CloseFd(&socket_);
}

void EchoServer::Serve() {
    char buffer[2048];
    for (;;) {
        pollfd fds[2] = {{stop_, POLLIN, 0}, {socket_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        for (;;) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = ::recvfrom(socket_, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) break;
            ::sendto(socket_, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                     length);
        }
    }
}

bool EchoMeter::Start(uint32_t address, uint16_t port, std::chrono::milliseconds interval,
                      std::string* error, uint32_t source) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ < 0) {
        *error = Errno("socket");
        return false;
    }
    sockaddr_in local = Endpoint(source, 0);
    if (source != 0 && ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        *error = Errno("bind");
        CloseFd(&socket_);
        return false;
    }
    sockaddr_in peer = Endpoint(address, port);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        *error = Errno("connect");
        CloseFd(&socket_);
        return false;
    }
    interval_ = interval;
    start_ = Clock::now();
    stop_ = NewStop();
    thread_ = std::thread([this] { Run(); });
    return true;
}

void EchoMeter::Stop() {
    Finish(&thread_, &stop_);
    CloseFd(&socket_);
}

void EchoMeter::Run() {
    Clock::time_point next = Clock::now();
    uint32_t sequence = 0;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= next) {
            {
                std::lock_guard<std::mutex> hold(mutex_);
                samples_.push_back(Sample{Seconds(now - start_), -1});
            }
            ::send(socket_, &sequence, sizeof sequence, 0);
            ++sequence;
            next += interval_;
        }
        {
            // Unanswered for a second: lost.
            std::lock_guard<std::mutex> hold(mutex_);
            double settled = Seconds(now - start_) - Seconds(kEchoLostAfter);
            while (known_ < samples_.size() &&
                   (samples_[known_].rttMs >= 0 || samples_[known_].sentAt < settled)) {
                ++known_;
            }
        }
        int wait = static_cast<int>(std::max<int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count()));
        pollfd fds[2] = {{stop_, POLLIN, 0}, {socket_, POLLIN, 0}};
        if (::poll(fds, 2, wait) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        if (fds[1].revents == 0) continue;
        Clock::time_point arrived = Clock::now();
        uint32_t answered;
        while (::recv(socket_, &answered, sizeof answered, 0) == sizeof answered) {
            std::lock_guard<std::mutex> hold(mutex_);
            if (answered >= known_ && answered < samples_.size() && samples_[answered].rttMs < 0) {
                samples_[answered].rttMs =
                    (Seconds(arrived - start_) - samples_[answered].sentAt) * 1000;
            }
        }
    }
}

std::vector<EchoMeter::Sample> EchoMeter::Samples(size_t from) const {
    std::lock_guard<std::mutex> hold(mutex_);
    if (from >= known_) return {};
    return std::vector<Sample>(samples_.begin() + static_cast<std::ptrdiff_t>(from),
                               samples_.begin() + static_cast<std::ptrdiff_t>(known_));
}

}  // namespace lab
