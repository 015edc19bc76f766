// Clocks and sleeping: the high-resolution counter, the millisecond tick,
// local time and the process clock of the log header. Tests replace the
// source with a controllable one.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Broken-down local time, in the field order of the Windows SYSTEMTIME.
struct LocalTime {
    uint16_t year;
    uint16_t month;      // 1..12
    uint16_t dayOfWeek;  // 0 = Sunday
    uint16_t day;        // 1..31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

inline constexpr int64_t kPerfFrequency = 10000000;  // counter ticks per second (100 ns each)

int64_t QueryPerformanceFrequency();
int64_t QueryPerformanceCounter();  // monotonic, 100 ns units
// The frequency start-up read (counter ticks per second); 0 until then.
extern int64_t gPerfFrequency;
// gPerfFrequency, or the counter's own before start-up read it: what every
// conversion of counter ticks divides by.
int64_t PerfFrequency();
uint64_t GetTickCount64();  // monotonic, milliseconds
LocalTime GetLocalTime();   // follows the process's TZ
// The current local time as ctime(3) prints it, without the line end:
// "Fri Dec  4 05:42:18 2026" (24 characters for years 1000-9999).
std::string CtimeNow();
// Called first thing in main: the origin of ProcessClockMs.
void MarkProcessStart();
// Wall-clock milliseconds since the process started (the log header's
// "processor clock"; CPU time is not meant).
uint64_t ProcessClockMs();
void Sleep(uint32_t milliseconds);  // sleeps the whole time, signals notwithstanding

// A replacement time source for tests. Every function above asks it while it
// is installed.
class ClockSource {
  public:
    virtual ~ClockSource() = default;
    virtual int64_t PerformanceCounter() = 0;
    virtual uint64_t TickCount64() = 0;
    virtual LocalTime Local() = 0;
    virtual std::string Ctime() = 0;
    virtual uint64_t ProcessClockMs() = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
};

// nullptr restores the real clocks. The source must outlive its installation.
void SetClockSourceForTest(ClockSource* source);
// Tests: gPerfFrequency back to unread.
void ResetClockForTest();

}  // namespace platform
