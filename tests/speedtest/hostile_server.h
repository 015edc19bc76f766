// A hostile HTTP peer that streams forever, and a memory meter.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "speedtest/loopback_server.h"

namespace hostile {

using Peer = test::Connection;
using Server = test::LoopbackServer;

struct Stream {  // `head` once, then `unit` over and over
    std::string head, unit;
};
const Stream kEndlessBody{"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n",
                          "<!-- hostile 0123456789 -->"};

// The stream until the client stops taking it.
inline void StreamForever(Peer& p, const Stream& stream) {
    std::string block;
    while (block.size() < 65536) block += stream.unit;  // whole units keep the phase
    p.StreamGenerated(stream.head, [&block] { return block; });
}

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
inline long StatusKb(const std::string& field, const std::string& pid = "self") {
    std::ifstream in("/proc/" + pid + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// Under the sanitizers' quarantine memory figures mean nothing.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kMemoryFiguresHold = false;
#else
inline constexpr bool kMemoryFiguresHold = true;
#endif
inline constexpr double kLiveLimitMb = 40;   // what a case may still hold afterwards
inline constexpr double kPeakLimitMb = 160;  // three capped replies at once and slack, not growth

// Runs `work` with this process's memory metered: expects what it still holds
// once trimmed (live) and its peak bounded; sets `ms` to its duration.
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
    const double peak = mb("VmHWM");
    ::malloc_trim(0);
    const double live = mb("VmRSS");
    std::printf("[ memory ] %-60s live %+6.1f MB, peak %+6.1f MB, %5lld ms\n", what.c_str(), live,
                peak, ms);
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

}  // namespace hostile
