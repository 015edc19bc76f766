// A controllable clock for tests: ticks move only when the test (or a Sleep)
// moves them, and local time is whatever the test sets.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace test {

class FakeClock : public platform::ClockSource {
  public:
    FakeClock() { platform::SetClockSourceForTest(this); }
    ~FakeClock() override { platform::SetClockSourceForTest(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void AdvanceMs(uint64_t ms) { nowUs_ += ms * 1000; }
    void SetLocal(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                  uint16_t second = 0) {
        local_ = {year, month, 0, day, hour, minute, second, 0};
    }
    platform::LocalTime& local() { return local_; }

    int64_t PerformanceCounter() override { return static_cast<int64_t>(nowUs_ * 10); }
    uint64_t TickCount64() override { return nowUs_ / 1000; }
    platform::LocalTime Local() override { return local_; }
    std::string Ctime() override { return "Sat Dec  5 12:00:00 2026"; }
    uint64_t ProcessClockMs() override { return nowUs_ / 1000; }
    void Sleep(uint32_t milliseconds) override { AdvanceMs(milliseconds); }

  private:
    uint64_t nowUs_ = 1000000000;  // an arbitrary non-zero start
    platform::LocalTime local_{2027, 1, 5, 15, 10, 30, 0, 0};
};

}  // namespace test
