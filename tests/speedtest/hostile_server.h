// Hostile HTTP peers (endless streams, absurd chunk sizes, endless headers,
// silence, resets mid-body), a memory meter and a console sink that keeps
// streamed filler short.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "platform/console.h"
#include "speedtest/loopback_server.h"

namespace hostile {

using Peer = test::Connection;
using Server = test::LoopbackServer;

// `head` once, then `unit` over and over; the unit holds neither "[" nor "]",
// so a console line stays apart from the filler it quotes.
struct Stream {
    std::string head, unit;
};
const Stream kEndlessBody{"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n",
                          "<!-- hostile 0123456789 -->"};
const Stream kEndlessHeaders{"HTTP/1.1 200 OK", "\r\nX-Hostile: 0123456789abcdef"};
// A chunked reply whose first chunk names 2^63, then filler forever.
const Stream kEndlessChunk{
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8000000000000000\r\n", kEndlessBody.unit};

// The stream until the client stops taking it.
inline void StreamForever(Peer& p, const Stream& stream) {
    std::string block;
    while (block.size() < 65536) block += stream.unit;  // whole units keep the phase
    p.StreamGenerated(stream.head, [&block] { return block; });
}

// A handler the test swaps while the server runs.
class Switch {
  public:
    void Set(Server::Handler handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = std::move(handler);
    }
    void operator()(Peer& p) const {
        std::unique_lock<std::mutex> lock(mutex_);
        Server::Handler handler = handler_;
        lock.unlock();
        handler(p);
    }

  private:
    mutable std::mutex mutex_;
    Server::Handler handler_;
};

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
inline long StatusKb(const std::string& field, const std::string& pid = "self") {
    std::ifstream in("/proc/" + pid + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// The sanitizers' allocator keeps freed memory in quarantine: memory figures
// mean nothing there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kMemoryFiguresHold = false;
#else
inline constexpr bool kMemoryFiguresHold = true;
#endif
inline constexpr double kLiveLimitMb = 40;   // what a case may still hold afterwards
inline constexpr double kPeakLimitMb = 160;  // three capped replies at once and slack, not growth

// Runs `work` with this process's memory metered: prints the figures, expects
// what it still holds once the allocator trimmed (live) and its peak bounded,
// and sets `ms` to its duration.
template <typename Work>
auto Metered(const std::string& what, long long& ms, Work work) {
    ::malloc_trim(0);
    const long before = StatusKb("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const auto start = std::chrono::steady_clock::now();
    auto result = work();
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
             .count();
    auto mb = [before](const char* field) { return (StatusKb(field) - before) / 1024.0; };
    const double peak = mb("VmHWM"), raw = mb("VmRSS");
    ::malloc_trim(0);
    const double live = mb("VmRSS");
    std::printf("[ memory ] %-60s live %+6.1f MB, raw %+6.1f MB, peak %+6.1f MB, %5lld ms\n",
                what.c_str(), live, raw, peak, ms);
    if (kMemoryFiguresHold) {
        EXPECT_LT(live, kLiveLimitMb) << what;
        EXPECT_LT(peak, kPeakLimitMb) << what;
    }
    return result;
}

// The console line of a reply cut at the exchange's 32 MiB limit.
inline std::string Capped(const std::string& routine, const std::string& host) {
    return routine + ": reply from " + host + " passed 33554432 bytes, reading stopped\n";
}

// Collects the console, the run of a filler unit in a write (at any phase,
// longer than one unit) becoming "<filler>" with its length noted, so that
// 32 MiB quoted stay small; the last byte of a write (its line end) is never
// in the run. Only what stays is copied, so that the sink does not weigh in
// the memory figures of what it watches.
class CondensedConsole {
  public:
    CondensedConsole() {
        platform::SetConsoleSinkForTest([this](std::string_view text) { Take(text); });
    }
    ~CondensedConsole() { platform::SetConsoleSinkForTest(nullptr); }
    CondensedConsole(const CondensedConsole&) = delete;
    CondensedConsole& operator=(const CondensedConsole&) = delete;

    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    std::vector<size_t> runs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.clear();
        runs_.clear();
    }

  private:
    void Take(std::string_view w) {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t limit = w.empty() ? 0 : w.size() - 1;
        for (const std::string& unit : {kEndlessBody.unit, kEndlessHeaders.unit}) {
            const size_t at = w.substr(0, limit).find(unit), period = unit.size();
            if (at == std::string_view::npos) continue;
            size_t start = at, end = at + period;
            while (start > 0 && w[start - 1] == w[start - 1 + period]) --start;
            while (end < limit && w[end] == w[end - period]) ++end;
            text_.append(w.substr(0, start)).append("<filler>").append(w.substr(end));
            runs_.push_back(end - start);
            return;
        }
        text_.append(w);
    }

    mutable std::mutex mutex_;
    std::string text_;
    std::vector<size_t> runs_;
};

// How a hostile peer treats a request, given the document it would have
// served whole and the cut of it that it sends before going wrong.
using Behaviour = std::function<Server::Handler(const std::string& whole, const std::string& cut)>;

// Reads the request, then `then`, whatever the document.
inline Behaviour Always(std::function<void(Peer&)> then) {
    return [then](const std::string&, const std::string&) { return test::AfterRequest(then); };
}
inline Behaviour Streams(Stream stream) {
    return Always([stream](Peer& p) { StreamForever(p, stream); });
}
inline Behaviour HoldsSilently() {
    return Always([](Peer& p) { p.HoldSilently(); });
}
// A chunked reply whose one chunk names `size` and holds the whole document.
inline Behaviour ChunkOfSize(std::string size) {
    return [size](const std::string& whole, const std::string&) {
        return test::AnswerWith("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + size +
                                "\r\n" + whole + "\r\n0\r\n\r\n");
    };
}
// Promises a long body, sends the cut, then goes silent or resets.
inline Behaviour StopsMidBody(bool reset) {
    return [reset](const std::string&, const std::string& cut) {
        return test::AfterRequest([reset, cut](Peer& p) {
            p.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + cut);
            reset ? p.Close(true) : p.HoldSilently();
        });
    };
}

}  // namespace hostile
