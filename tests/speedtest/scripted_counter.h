// A clock whose performance counter answers from a script, so that a timed
// exchange measures exactly the latency a test names; the other clocks run
// on real time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace test {

class ScriptedCounter : public platform::ClockSource {
  public:
    // The next exchange's stamps: connect at `start`, first data `ticks` later.
    void Next(int64_t start, int64_t ticks) {
        stamps_.push_back(start);
        stamps_.push_back(start + ticks);
    }
    void Answer(double seconds) { Next(1000, static_cast<int64_t>(seconds * 1e7 + 0.5)); }

    int64_t PerformanceCounter() override {
        if (stamps_.empty()) return 0;
        int64_t next = stamps_.front();
        stamps_.pop_front();
        return next;
    }
    uint64_t TickCount64() override {
        auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    platform::LocalTime Local() override { return {}; }
    std::string Ctime() override { return "Fri Dec  4 05:42:18 2026"; }
    uint64_t ProcessClockMs() override { return 0; }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  private:
    std::deque<int64_t> stamps_;
};

}  // namespace test
