// The socket HTTP exchange: lookup, connect, one send and a receive loop that
// waits on poll, never spinning, within the program's send and idle limits.
#include "speedtest/http_exchange.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "log/console_print.h"
#include "platform/clock.h"

namespace {

constexpr size_t kReceiveBufferBytes = 10240;
// The post keeps one byte of its buffer for the NUL that ends the chunk's text.
constexpr size_t kPostReceiveBytes = kReceiveBufferBytes - 1;
constexpr int kPostSendBufferBytes = 10485760;  // 10 MiB, so one send takes the whole form
ExchangeSettings gExchangeSettings;
std::string gLastErrorText;  // guarded by gDLLock
bool gLastErrorSet = false;  // gLastErrorText holds an error not yet cleared

const ExchangeMessages kLatencyMessages = {
    L"SendMeasureLatencyResponse: my_gethostbyname(%hs) failure, error = %d\n",
    L"SendMeasureLatencyResponse: socket failure, error = %d\n",
    nullptr,
    nullptr,
    L"SendMeasureLatencyResponse: ioctlsocket(...FIONBIO) failed with error: %ld\n",
    nullptr,
    L"SendMeasureLatencyResponse: send failed with error: %d\n",
    L"SendMeasureLatencyResponse: recv failed with error: %d\n",
    L"SendMeasureLatencyResponse: closesocket failed with error = %d\n",
    nullptr,
    L"SendMeasureLatencyResponse: reply from %hs passed %I64u bytes, reading stopped\n",
};

const ExchangeProfile kLatencyProfile = {&kLatencyMessages, false, false};

// Prints one of the routine's lines, if it has one, with the thread id first
// where the routine's lines carry it.
template <typename... Args>
void Say(const ExchangeProfile& profile, const wchar_t* ExchangeMessages::*line, Args... args) {
    if (profile.messages == nullptr) return;
    const wchar_t* format = profile.messages->*line;
    if (format == nullptr) return;
    if (profile.withThreadId) {
        ConsolePrintf(format, static_cast<unsigned>(platform::GetCurrentThreadId()), args...);
    } else {
        ConsolePrintf(format, args...);
    }
}

void SetLookupFailure() {
    SetLastErrorText(kLookupFailureText);
}

// Milliseconds left of `limitMs` after `elapsedMs`, plus one so that the wait
// ends just past the limit rather than on it ("more than" ends the loops).
// Past the limit it is that one: the loop ends at its next check instead of
// waiting for the difference to wrap round.
uint32_t WaitLeft(uint32_t limitMs, uint64_t elapsedMs) {
    return elapsedMs >= limitMs ? 1 : static_cast<uint32_t>(limitMs - elapsedMs) + 1;
}

// The non-blocking send: the whole request once; while the connection is
// still being made, wait for the socket to become writable, up to the send
// limit. 0 sent (not necessarily all of it), 1 failed.
int SendNonBlocking(const ExchangeProfile& profile, platform::Socket& socket,
                    std::string_view request, uint32_t limitMs) {
    const uint64_t begin = platform::GetTickCount64();
    bool readyYetBlocked = false;
    for (;;) {
        if (platform::Send(socket, request.data(), request.size()) != -1) return 0;
        int error = platform::WSAGetLastError();
        if (!platform::SocketErrorIs(error, platform::SocketCondition::WouldBlock) &&
            !platform::SocketErrorIs(error, platform::SocketCondition::NotConnected)) {
            Say(profile, &ExchangeMessages::sendFailed, error);
            return 1;
        }
        uint64_t elapsed = platform::GetTickCount64() - begin;
        if (elapsed > limitMs) return 1;  // the connection never came; silent by design
        if (readyYetBlocked) {
            // poll called the socket ready but send still could not go: pace
            // the retries at 1 ms instead of spinning.
            platform::Sleep(1);
            readyYetBlocked = false;
            continue;
        }
        int ready =
            platform::WaitSocket(socket, platform::WaitFor::Writable, WaitLeft(limitMs, elapsed));
        if (ready < 0) platform::Sleep(1);
        readyYetBlocked = ready > 0;
    }
}

// The socket's mode: blocking with the post's 10 MiB send buffer and bounded
// calls, or non-blocking. 0 when ready, else the exchange's status.
int PrepareSocket(const ExchangeProfile& profile, const ExchangeSettings& settings,
                  platform::Socket& socket) {
    if (profile.blocking) {
        if (platform::SetSendBufferSize(socket, kPostSendBufferBytes) != 0) {
            Say(profile, &ExchangeMessages::sendBufferFailed,
                static_cast<long>(platform::WSAGetLastError()));
            return -1;
        }
        // The blocking calls would otherwise wait as long as the system lets
        // them (minutes for a black-holed collector), and the monitor waits
        // for the post thread without a time-out of its own.
        if (platform::SetBlockingTimeouts(socket, settings.postCallTimeoutMs) != 0) {
            Say(profile, &ExchangeMessages::callTimeoutsFailed,
                static_cast<long>(platform::WSAGetLastError()));
            return -1;
        }
    } else if (platform::SetNonBlocking(socket) != 0) {
        Say(profile, &ExchangeMessages::nonBlockingFailed,
            static_cast<long>(platform::WSAGetLastError()));
        return 1;
    }
    return 0;
}

// Connects, stamping the moment just before; without blocking a connection
// still under way is enough, the send waits for it. 0 or the exchange's status.
int ConnectSocket(const ExchangeProfile& profile, const ExchangeSettings& settings,
                  platform::Socket& socket, uint32_t address, ExchangeResult& result) {
    result.connectStamp = platform::QueryPerformanceCounter();
    if (platform::Connect(socket, address, settings.port) == 0) return 0;
    int error = platform::WSAGetLastError();
    bool underWay =
        !profile.blocking && platform::SocketErrorIs(error, platform::SocketCondition::WouldBlock);
    if (underWay) return 0;
    Say(profile, &ExchangeMessages::connectFailed, static_cast<long>(error));
    return -1;
}

// The request, once. 0 or the exchange's status.
int SendRequest(const ExchangeProfile& profile, const ExchangeSettings& settings,
                platform::Socket& socket, std::string_view request) {
    if (profile.blocking) {
        if (platform::Send(socket, request.data(), request.size()) == -1) {
            Say(profile, &ExchangeMessages::sendFailed, platform::WSAGetLastError());
            return 1;
        }
        return 0;
    }
    return SendNonBlocking(profile, socket, request, settings.sendTimeoutMs) != 0 ? 1 : 0;
}

// Where the receive loop stands between two reads.
struct ReceiveState {
    uint64_t began = 0;          // ms, when the loop began
    uint64_t lastData = 0;       // ms, when the last chunk came or the loop began
    bool readyYetEmpty = false;  // poll called the socket ready but nothing came
};

// A chunk arrived: counted and handed to the sink. False ends the loop: the
// sink has had enough, or the reply has outgrown the limit.
bool TakeChunk(const ExchangeProfile& profile, const ExchangeSettings& settings,
               const std::string& host, const char* data, size_t count, const ChunkSink& sink,
               ReceiveState& state, ExchangeResult& result) {
    if (result.firstDataStamp == 0) {
        result.firstDataStamp = platform::QueryPerformanceCounter();
    }
    result.bytesReceived += static_cast<uint64_t>(count);
    state.lastData = platform::GetTickCount64();
    state.readyYetEmpty = false;
    if (!sink(data, count)) return false;
    if (result.bytesReceived > settings.maxResponseBytes) {
        Say(profile, &ExchangeMessages::tooLarge, host.c_str(),
            static_cast<unsigned long long>(settings.maxResponseBytes));
        return false;
    }
    return true;
}

// Nothing to read yet: false ends the loop on a receive error or once the
// reply has been idle past the limit; otherwise waits on poll for more.
bool AwaitMore(const ExchangeProfile& profile, const ExchangeSettings& settings,
               platform::Socket& socket, ReceiveState& state) {
    int error = platform::WSAGetLastError();
    bool waiting = !profile.blocking &&
                   (platform::SocketErrorIs(error, platform::SocketCondition::WouldBlock) ||
                    platform::SocketErrorIs(error, platform::SocketCondition::InProgress));
    if (!waiting) {
        Say(profile, &ExchangeMessages::recvFailed, error);
        return false;
    }
    const uint64_t now = platform::GetTickCount64();
    const uint64_t idle = now - state.lastData;
    const uint64_t taken = now - state.began;
    // Time-outs, silent by design.
    if (idle > settings.idleTimeoutMs || taken > settings.replyTimeoutMs) return false;
    if (state.readyYetEmpty) {
        platform::Sleep(1);  // see SendNonBlocking: never spin on a false ready
        state.readyYetEmpty = false;
        return true;
    }
    int ready = platform::WaitSocket(
        socket, platform::WaitFor::Readable,
        std::min(WaitLeft(settings.idleTimeoutMs, idle), WaitLeft(settings.replyTimeoutMs, taken)));
    if (ready < 0) platform::Sleep(1);
    state.readyYetEmpty = ready > 0;
    return true;
}

// Reads until the peer closes, the sink or the size limit stops it, a
// receive fails, or the reply goes idle or takes too long.
void ReceiveReply(const ExchangeProfile& profile, const ExchangeSettings& settings,
                  const std::string& host, platform::Socket& socket, const ChunkSink& sink,
                  ExchangeResult& result) {
    // One spare byte past the receive size stays NUL, so a chunk can always
    // be read as text up to its first NUL.
    std::vector<char> buffer(kReceiveBufferBytes + 1);
    const size_t receiveBytes = profile.blocking ? kPostReceiveBytes : kReceiveBufferBytes;
    ReceiveState state;
    state.began = platform::GetTickCount64();
    state.lastData = state.began;
    for (;;) {
        std::memset(buffer.data(), 0, buffer.size());
        long received = platform::Recv(socket, buffer.data(), receiveBytes);
        if (received > 0) {
            if (!TakeChunk(profile, settings, host, buffer.data(), static_cast<size_t>(received),
                           sink, state, result)) {
                return;
            }
            // Here as well as in AwaitMore: a blocking receive that keeps
            // getting a byte before its call time-out never goes there.
            if (state.lastData - state.began > settings.replyTimeoutMs) return;
            continue;
        }
        if (received == 0) return;  // the peer closed
        if (!AwaitMore(profile, settings, socket, state)) return;
    }
}

}  // namespace

const ExchangeSettings& CurrentExchangeSettings() {
    return gExchangeSettings;
}

void SetExchangeSettingsForTest(const ExchangeSettings& settings) {
    gExchangeSettings = settings;
}

void ResetExchangeSettingsForTest() {
    gExchangeSettings = ExchangeSettings{};
}

ExchangeResult HttpExchange(const ExchangeProfile& profile, const std::string& host,
                            std::string_view request, const ChunkSink& sink) {
    const ExchangeSettings& settings = gExchangeSettings;
    ExchangeResult result;

    uint32_t address = 0;
    if (!platform::LookupHostIPv4(host, &address)) {
        int error = platform::WSAGetLastError();
        SetLookupFailure();
        Say(profile, &ExchangeMessages::lookupFailed, host.c_str(), error);
        result.lookupFailed = true;
        result.status = -1;
        return result;
    }

    platform::Socket socket = platform::OpenTcpSocket();
    if (!socket.valid()) {
        Say(profile, &ExchangeMessages::socketFailed, platform::WSAGetLastError());
        result.status = -1;
        return result;
    }

    result.status = PrepareSocket(profile, settings, socket);
    if (result.status != 0) return result;
    result.status = ConnectSocket(profile, settings, socket, address, result);
    if (result.status != 0) return result;
    result.status = SendRequest(profile, settings, socket, request);
    if (result.status != 0) return result;

    ReceiveReply(profile, settings, host, socket, sink, result);
    result.status = 0;
    result.socket = std::move(socket);
    return result;
}

void CloseExchangeSocket(const ExchangeProfile& profile, platform::Socket& socket) {
    int handle = socket.handle();
    if (socket.Close() != 0) {
        Say(profile, &ExchangeMessages::closeFailed, platform::WSAGetLastError());
    } else {
        Say(profile, &ExchangeMessages::closed, handle);
    }
}

std::string BuildLatencyRequest(const std::string& host) {
    std::string request =
        "GET /speedtest/latency.txt HTTP/1.1\r\n"
        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        "Accept-Language: en-US,en;q=0.5\r\n"
        "Accept-Encoding: identity\r\n"
        "Connection: close\r\n"
        "User-Agent: Mozilla/5.0 (Windows NT 6.3; WOW64)\r\n";
    request += "Host: ";
    request += host;
    request += "\r\n\r\n";
    return request;
}

int SendMeasureLatencyResponse(const std::string& host, const std::string& request,
                               double* seconds) {
    // The answer's content does not matter, only when its first byte came.
    ExchangeResult exchange = HttpExchange(kLatencyProfile, host, request.c_str(),
                                           [](const char*, size_t) { return true; });
    if (exchange.status != 0) return exchange.status;
    CloseExchangeSocket(kLatencyProfile, exchange.socket);

    if (exchange.connectStamp > 0 && exchange.firstDataStamp > 0) {
        int64_t frequency = platform::PerfFrequency();
        int64_t microseconds =
            (exchange.firstDataStamp - exchange.connectStamp) * 1000000 / frequency;
        *seconds = static_cast<double>(microseconds) / 1000000.0;
        return 0;
    }
    ConsolePrintf(L"SendMeasureLatencyResponse: no data received from server %hs\n", host.c_str());
    return -1;
}

platform::CriticalSection gDLLock;

void SetLastErrorText(std::string_view text) {
    std::lock_guard<platform::CriticalSection> hold(gDLLock);
    gLastErrorSet = true;
    gLastErrorText.assign(text);
}

bool TakeLastErrorText(std::string* text) {
    std::lock_guard<platform::CriticalSection> hold(gDLLock);
    if (!gLastErrorSet) return false;
    *text = gLastErrorText;
    return true;
}

void ClearLastErrorText() {
    std::lock_guard<platform::CriticalSection> hold(gDLLock);
    gLastErrorSet = false;
    gLastErrorText.clear();
}
