// Real traffic for the kernel lab and the kernel backend's tests: bulk TCP
// downloads, counted datagrams and a UDP echo that measures round trips.
// Every socket is made on the thread that calls Start, so it belongs to that
// thread's network namespace; the work then runs on a thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lab {

// IPv4 addresses in network byte order, as the netlink requests take them.
uint32_t Ipv4(const char* text);

// Listens and counts the bytes of every connection made to it: the receiving
// end of the downloads.
class TcpSink {
  public:
    ~TcpSink() { Stop(); }
    bool Start(uint32_t address, uint16_t port, std::string* error);
    void Stop();
    uint64_t Bytes() const { return bytes_.load(); }
    size_t Connections() const { return connections_.load(); }

  private:
    void Serve();
    int listener_ = -1;
    int stop_ = -1;
    std::thread thread_;
    std::atomic<uint64_t> bytes_{0};
    std::atomic<size_t> connections_{0};
};

// Sends as fast as TCP allows over `flows` connections until stopped (or
// until the peer closes), with the system's congestion control or the one
// named ("cubic": a loss-based sender, which fills a line's buffer).
class TcpSource {
  public:
    ~TcpSource() { Stop(); }
    bool Start(uint32_t address, uint16_t port, int flows, std::string* error,
               const std::string& congestion = "");
    void Stop();
    uint64_t Bytes() const { return bytes_.load(); }

  private:
    void Send();
    std::vector<int> sockets_;
    int stop_ = -1;
    std::thread thread_;
    std::atomic<uint64_t> bytes_{0};
};

// Receives datagrams that carry a sequence number in their first 4 bytes.
class UdpSink {
  public:
    ~UdpSink() { Stop(); }
    bool Start(uint32_t address, uint16_t port, std::string* error);
    void Stop();
    uint64_t Datagrams() const { return datagrams_.load(); }
    uint64_t Bytes() const { return bytes_.load(); }
    // Distinct sequence numbers seen below `count`.
    size_t DistinctBelow(uint32_t count) const;

  private:
    void Serve();
    int socket_ = -1;
    int stop_ = -1;
    std::thread thread_;
    std::atomic<uint64_t> datagrams_{0};
    std::atomic<uint64_t> bytes_{0};
    mutable std::mutex mutex_;
    std::vector<bool> seen_;
};

// Sends `count` datagrams of `size` bytes (sequence numbered from 0), spaced
// by `gap` (zero: back to back), from the calling thread. Returns how many
// went out.
uint32_t SendDatagrams(uint32_t address, uint16_t port, uint32_t count, size_t size,
                       std::chrono::microseconds gap, std::string* error);

// Answers every datagram with itself.
class EchoServer {
  public:
    ~EchoServer() { Stop(); }
    bool Start(uint32_t address, uint16_t port, std::string* error);
    void Stop();

  private:
    void Serve();
    int socket_ = -1;
    int stop_ = -1;
    std::thread thread_;
};

// Sends a small datagram to an echo server every `interval` and keeps each
// round trip (a lost answer counts as lost after a second); from `source`
// where it is not 0, so that a router's source rules route it.
class EchoMeter {
  public:
    struct Sample {
        double sentAt = 0;  // seconds on the meter's clock (from Start)
        double rttMs = -1;  // -1: no answer
    };
    ~EchoMeter() { Stop(); }
    bool Start(uint32_t address, uint16_t port, std::chrono::milliseconds interval,
               std::string* error, uint32_t source = 0);
    void Stop();
    // The samples from the `from`th on whose fate is known.
    std::vector<Sample> Samples(size_t from = 0) const;

  private:
    void Run();
    int socket_ = -1;
    int stop_ = -1;
    std::chrono::milliseconds interval_{100};
    std::chrono::steady_clock::time_point start_{};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Sample> samples_;  // by sequence number
    size_t known_ = 0;             // samples_[0, known_) are settled
};

}  // namespace lab
