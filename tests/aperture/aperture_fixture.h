// A discovered gateway on the in-memory service, a scripted latency probe and
// a clock that moves only when told: the ground the aperture tests stand on.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "probe/budget.h"
#include "probe/latency.h"
#include "shaper/fake_service.h"
#include "shaper/gateways.h"
#include "slots/isp_ctx.h"

namespace test {

// One scripted probe answer: seconds to the first byte, or no answer.
struct ProbeAnswer {
    double seconds;
    bool answered = true;
};

class ApertureTest : public fake::ServiceTest {
  protected:
    void SetUp() override {
        fake::ServiceTest::SetUp();
        ResetBudgetForTest();
        ResetLatencyForTest();
        gUnlimitedProbing = true;  // tests that ration probes set the figures they need
        // One gateway of 100 mbps down, 20 up, reached by device 7.
        S().gateways = {{L"02-00-00-00-00-01", 0, 20000000, 100000000}};
        S().interfaces = {{L"02-00-00-00-00-99", 7, 0}};
        S().processes = {{L"browser", 7, 0, 0}};
        ASSERT_EQ(InitTarnelHelper(), S_OK);
        ASSERT_EQ(DiscoverGateways(), S_OK);
        ASSERT_EQ(ValidateDLBWForISPs(), S_OK);
        SetLatencyExchangeForTest([this](const std::string&, const std::string&, double* s) {
            ++probesSent_;
            if (answers_.empty()) return -1;
            ProbeAnswer a = answers_.front();
            answers_.pop_front();
            if (!a.answered) return -1;
            *s = a.seconds;
            return 0;
        });
    }
    void TearDown() override {
        ResetLatencyForTest();
        ResetBudgetForTest();
        fake::ServiceTest::TearDown();
    }

    IspCtx& Slot() { return gIspCtx[0]; }
    // The download that the last limit call set, in bps.
    int64_t LastDownloadBps() const {
        return service_.state->limitCalls.empty() ? -1
                                                  : service_.state->limitCalls.back().downloadBps;
    }

    fake::ManualClock clock_;
    std::deque<ProbeAnswer> answers_;
    int probesSent_ = 0;
};

}  // namespace test
