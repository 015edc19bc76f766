// Linux clocks: CLOCK_MONOTONIC for the counters, localtime_r for local time.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace platform {
namespace {

ClockSource* gClockSource = nullptr;

int64_t MonotonicNs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t RealtimeMs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t gProcessStartMs = 0;  // 0 = not marked yet

int64_t ProcessStartMs() {
    if (gProcessStartMs == 0) gProcessStartMs = RealtimeMs();
    return gProcessStartMs;
}

}  // namespace

int64_t gPerfFrequency = 0;

int64_t QueryPerformanceFrequency() {
    return kPerfFrequency;
}

int64_t PerfFrequency() {
    return gPerfFrequency > 0 ? gPerfFrequency : QueryPerformanceFrequency();
}

void ResetClockForTest() {
    gPerfFrequency = 0;
}

int64_t QueryPerformanceCounter() {
    if (gClockSource != nullptr) return gClockSource->PerformanceCounter();
    return MonotonicNs() / 100;
}

uint64_t GetTickCount64() {
    if (gClockSource != nullptr) return gClockSource->TickCount64();
    return static_cast<uint64_t>(MonotonicNs() / 1000000);
}

LocalTime GetLocalTime() {
    if (gClockSource != nullptr) return gClockSource->Local();
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    ::localtime_r(&ts.tv_sec, &tm);
    LocalTime t{};
    t.year = static_cast<uint16_t>(tm.tm_year + 1900);
    t.month = static_cast<uint16_t>(tm.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    t.day = static_cast<uint16_t>(tm.tm_mday);
    t.hour = static_cast<uint16_t>(tm.tm_hour);
    t.minute = static_cast<uint16_t>(tm.tm_min);
    t.second = static_cast<uint16_t>(tm.tm_sec);
    t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
    return t;
}

std::string CtimeNow() {
    if (gClockSource != nullptr) return gClockSource->Ctime();
    time_t now = ::time(nullptr);
    char buffer[32] = {};  // ctime_r needs 26 bytes
    if (::ctime_r(&now, buffer) == nullptr) return std::string();
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

uint64_t ProcessClockMs() {
    if (gClockSource != nullptr) return gClockSource->ProcessClockMs();
    int64_t elapsed = RealtimeMs() - ProcessStartMs();
    return elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;  // the wall clock may step back
}

void MarkProcessStart() {
    (void)ProcessStartMs();
}

void Sleep(uint32_t milliseconds) {
    if (gClockSource != nullptr) {
        gClockSource->Sleep(milliseconds);
        return;
    }
    struct timespec remaining {};
    remaining.tv_sec = milliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void SetClockSourceForTest(ClockSource* source) {
    gClockSource = source;
}

}  // namespace platform
