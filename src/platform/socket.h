// Sockets. BSD sockets in the shape of the Winsock calls the monitor makes:
// calls answer -1 on failure and leave the reason for WSAGetLastError.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The socket library needs no start-up on Linux: these exist so that start-up
// and shutdown keep their order and checks. 0 (success) for any version.
int WSAStartup(unsigned short version);
int WSACleanup();

// The reason of the calling thread's last failed call below: the Linux errno,
// or after a failed name lookup the resolver's code (an EAI_ value).
int WSAGetLastError();

// The Winsock codes the exchange loops test, each standing for its Linux
// errors: WouldBlock (10035) for EAGAIN/EWOULDBLOCK and a connect's
// EINPROGRESS, InProgress (10036) for EALREADY, NotConnected (10057) for
// ENOTCONN.
enum class SocketCondition { WouldBlock, InProgress, NotConnected };
inline bool SocketErrorIs(int error, SocketCondition condition) {
    switch (condition) {
        case SocketCondition::WouldBlock:
            return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
        case SocketCondition::InProgress:
            return error == EALREADY;
        case SocketCondition::NotConnected:
            return error == ENOTCONN;
    }
    return false;
}

// gethostbyname: IPv4 only, and only the first address is used. On success
// *address is that address in network byte order.
bool LookupHostIPv4(const std::string& host, uint32_t* address);

// One TCP socket descriptor, closed when the owner goes away.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int descriptor) : fd_(descriptor) {}
    ~Socket();
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return fd_ >= 0; }
    int handle() const { return fd_; }  // as the messages print it
    // closesocket: 0, or -1 with the reason kept. The descriptor is released
    // either way (Linux never keeps it open after close).
    int Close();

  private:
    int fd_ = -1;
};

// socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), close-on-exec. Invalid on failure.
Socket OpenTcpSocket();
// ioctlsocket(FIONBIO, 1): 0 or -1.
int SetNonBlocking(Socket& socket);
// setsockopt(SOL_SOCKET, SO_SNDBUF): 0 or -1.
int SetSendBufferSize(Socket& socket, int bytes);
// Bounds every blocking connect, send and receive of the socket (SO_SNDTIMEO
// and SO_RCVTIMEO); a call that runs out fails with EAGAIN or EINPROGRESS.
int SetBlockingTimeouts(Socket& socket, uint32_t milliseconds);
// connect to an IPv4 address (network byte order) and port (host order):
// 0 or -1. A non-blocking socket answers -1 with WouldBlock while the
// connection is under way.
int Connect(Socket& socket, uint32_t address, uint16_t port);
// Bytes sent, or -1. A connection the peer dropped is an error, never a signal.
long Send(Socket& socket, const char* data, size_t length);
// Bytes received, 0 when the peer closed, or -1.
long Recv(Socket& socket, char* buffer, size_t length);

enum class WaitFor { Writable, Readable };
// Waits without using the processor until the socket is ready, or has an
// error or hang-up for the next call to report: 1; nothing within the time:
// 0; the wait itself failed: -1.
int WaitSocket(const Socket& socket, WaitFor what, uint32_t timeoutMs);

// GetCurrentThreadId: the kernel's id of the calling thread.
uint32_t GetCurrentThreadId();

}  // namespace platform
