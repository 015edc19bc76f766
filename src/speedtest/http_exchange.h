// One HTTP/1.1 request over a fresh IPv4 TCP connection: the exchange shared by
// the latency measurement, the directory fetches and the probe-count post.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "platform/sync.h"

// Limits of every exchange. The program always runs with these defaults;
// tests shorten the waits and point the connection at their own port.
struct ExchangeSettings {
    uint16_t port = 80;
    uint32_t sendTimeoutMs = 15000;  // ms for the non-blocking send to get through
    uint32_t idleTimeoutMs = 60000;  // ms without data before the receive loop gives up
    // ms the whole reply may take: a peer that sends a byte now and then is
    // never idle, and would otherwise hold the routine until the size limit.
    uint32_t replyTimeoutMs = 90000;
    // ms that each blocking connect, send and receive of a post may take.
    uint32_t postCallTimeoutMs = 60000;
    // Bytes; a reply that grows past this ends the receive loop as if the
    // peer had closed, so a stranger on the internet cannot exhaust memory.
    size_t maxResponseBytes = size_t{32} * 1024 * 1024;
};

const ExchangeSettings& CurrentExchangeSettings();
void SetExchangeSettingsForTest(const ExchangeSettings& settings);
void ResetExchangeSettingsForTest();

// The console lines of one routine, as wide printf formats; nullptr where the
// routine prints nothing. Arguments: lookup (host, error); socket, options,
// call time-outs, connect, send, receive and close
// (error); closed (socket); too large (host,
// byte limit as 64-bit). With `withThreadId` every line takes the thread id
// before those.
struct ExchangeMessages {
    const wchar_t* lookupFailed;
    const wchar_t* socketFailed;
    const wchar_t* sendBufferFailed;
    const wchar_t* callTimeoutsFailed;
    const wchar_t* nonBlockingFailed;
    const wchar_t* connectFailed;
    const wchar_t* sendFailed;
    const wchar_t* recvFailed;
    const wchar_t* closeFailed;
    const wchar_t* closed;
    const wchar_t* tooLarge;
};

// How one routine runs the exchange.
struct ExchangeProfile {
    const ExchangeMessages* messages;  // nullptr: nothing is printed
    bool withThreadId;                 // the post thread's lines start with its id
    // Blocking socket with the 10 MiB send buffer and bounded calls (the
    // post); otherwise non-blocking with the program's own time-outs.
    bool blocking;
};

// Sees each received chunk in arrival order; false ends the receive loop.
using ChunkSink = std::function<bool(const char* data, size_t count)>;

struct ExchangeResult {
    // -1: lookup, socket, send-buffer or connect failure; 1: non-blocking
    // mode, send or send time-out failure; 0: the receive loop ran.
    int status = -1;
    bool lookupFailed = false;
    int64_t connectStamp = 0;    // performance counter just before connect
    int64_t firstDataStamp = 0;  // performance counter at the first chunk; 0 = none
    uint64_t bytesReceived = 0;
    // Still open after status 0, for the caller to close when it has read
    // the reply (CloseExchangeSocket).
    platform::Socket socket;
};

// The last error an exchange (or a probe) left for the monitor to show, e.g.
// kLookupFailureText; kept until cleared. gDLLock guards it; start-up
// initialises the lock and shutdown deletes it.
inline constexpr const char* kLookupFailureText = "Fatal Error: hostname lookup failure!";
extern platform::CriticalSection gDLLock;
void SetLastErrorText(std::string_view text);
// The text, or false when none is set; it stays set.
bool TakeLastErrorText(std::string* text);
void ClearLastErrorText();

// Lookup, socket, connect, one send and the receive loop. A failed lookup
// sets the last error text.
ExchangeResult HttpExchange(const ExchangeProfile& profile, const std::string& host,
                            std::string_view request, const ChunkSink& sink);

// closesocket with the routine's message on failure (and on success where
// the routine has one).
void CloseExchangeSocket(const ExchangeProfile& profile, platform::Socket& socket);

// The latency request for `host`: the fixed 238 bytes, then "Host: ", the
// host and "\r\n\r\n".
std::string BuildLatencyRequest(const std::string& host);

// Times `request` to `host` from just before the connect to the first byte of
// any answer. 0: answered, *seconds written; -1: lookup, socket or connect
// failed, or nothing came; 1: non-blocking mode, send or send time-out failed.
int SendMeasureLatencyResponse(const std::string& host, const std::string& request,
                               double* seconds);
