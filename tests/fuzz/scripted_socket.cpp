// Defines every call of platform/socket.h, so that the linker never needs the
// real one. Waits never block: the script never answers would-block twice in
// a row, so a wait that calls the socket readable is always right.
#include "scripted_socket.h"

#include <netdb.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fuzz_check.h"
#include "platform/socket.h"

namespace fuzz {
namespace {

SocketScript gScript;
SocketLog gLog;
int gLastError = 0;
int gOpenHandle = -1;  // the one connection the script serves
int gNextHandle = 1000;
bool gNonBlocking = false;
bool gWouldBlocked = false;  // the last receive answered would-block
bool gResetDone = false;
uint64_t gState = 0;

// splitmix64: a few good bits per call from one seed.
uint64_t Next() {
    uint64_t z = (gState += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

int Fail(int error) {
    gLastError = error;
    return -1;
}

void CheckServed(const platform::Socket& socket) {
    FUZZ_CHECK(socket.valid());
    FUZZ_CHECK(socket.handle() == gOpenHandle);
}

}  // namespace

void SetSocketScript(const SocketScript& script) {
    FUZZ_CHECK(script.maxPiece > 0);
    gScript = script;
}

const SocketLog& ConnectionLog() {
    return gLog;
}

}  // namespace fuzz

namespace platform {

int WSAStartup(unsigned short /*version*/) {
    return 0;
}

int WSACleanup() {
    return 0;
}

int WSAGetLastError() {
    return fuzz::gLastError;
}

bool LookupHostIPv4(const std::string& host, uint32_t* address) {
    if (host.empty()) {
        fuzz::Fail(EAI_NONAME);
        return false;
    }
    *address = 0x0100007F;  // 127.0.0.1, never dialled
    return true;
}

Socket::~Socket() {
    if (fd_ >= 0 && fd_ == fuzz::gOpenHandle) fuzz::gOpenHandle = -1;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int Socket::Close() {
    FUZZ_CHECK(fd_ >= 0);
    if (fd_ == fuzz::gOpenHandle) fuzz::gOpenHandle = -1;
    fd_ = -1;
    return 0;
}

Socket OpenTcpSocket() {
    // One connection at a time, as every routine of the client makes them.
    FUZZ_CHECK(fuzz::gOpenHandle < 0);
    fuzz::gOpenHandle = fuzz::gNextHandle++;
    fuzz::gLog = fuzz::SocketLog{};
    fuzz::gState = fuzz::gScript.seed;
    fuzz::gNonBlocking = false;
    fuzz::gWouldBlocked = false;
    fuzz::gResetDone = false;
    return Socket(fuzz::gOpenHandle);
}

int SetNonBlocking(Socket& socket) {
    fuzz::CheckServed(socket);
    fuzz::gNonBlocking = true;
    return 0;
}

int SetSendBufferSize(Socket& socket, int /*bytes*/) {
    fuzz::CheckServed(socket);
    return 0;
}

int SetBlockingTimeouts(Socket& socket, uint32_t /*milliseconds*/) {
    fuzz::CheckServed(socket);
    return 0;
}

int Connect(Socket& socket, uint32_t /*address*/, uint16_t /*port*/) {
    fuzz::CheckServed(socket);
    // A non-blocking connect is still under way when the call returns.
    return fuzz::gNonBlocking ? fuzz::Fail(EINPROGRESS) : 0;
}

long Send(Socket& socket, const char* data, size_t length) {
    fuzz::CheckServed(socket);
    FUZZ_CHECK(data != nullptr || length == 0);
    return static_cast<long>(length);
}

long Recv(Socket& socket, char* buffer, size_t length) {
    fuzz::CheckServed(socket);
    FUZZ_CHECK(buffer != nullptr && length > 0);
    const std::string_view reply = fuzz::gScript.reply;
    const size_t left = reply.size() - fuzz::gLog.delivered;
    if (left == 0) {
        if (fuzz::gScript.resetAtEnd && !fuzz::gResetDone) {
            fuzz::gResetDone = true;
            return fuzz::Fail(ECONNRESET);
        }
        return 0;
    }
    const uint64_t draw = fuzz::Next();
    if (fuzz::gNonBlocking && !fuzz::gWouldBlocked && draw % 4 == 0) {
        fuzz::gWouldBlocked = true;
        return fuzz::Fail(EAGAIN);
    }
    fuzz::gWouldBlocked = false;
    size_t piece = 1 + static_cast<size_t>(draw >> 8) % fuzz::gScript.maxPiece;
    piece = std::min({piece, length, left});
    std::memcpy(buffer, reply.data() + fuzz::gLog.delivered, piece);
    fuzz::gLog.delivered += piece;
    return static_cast<long>(piece);
}

int WaitSocket(const Socket& socket, WaitFor /*what*/, uint32_t /*timeoutMs*/) {
    fuzz::CheckServed(socket);
    return 1;
}

uint32_t GetCurrentThreadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

}  // namespace platform
