// Probe deferral: holding, renewing, expiring and the unlimited case.
#include "probe/deferral.h"

#include <gtest/gtest.h>

#include "config/registry_params.h"
#include "log/logger.h"
#include "probe/budget.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

class DeferralTest : public ::testing::Test {
  protected:
    static void Reset() {
        ResetLoggerForTest();
        ResetConfigForTest();
        ResetBudgetForTest();
    }
    void SetUp() override {
        Reset();
        InitLogger();
    }
    void TearDown() override { Reset(); }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::FakeClock clock_;
    Deferral point_{};
};

TEST_F(DeferralTest, HoldsAtOrBelowTheRateUntilItEnds) {
    DeferProbes(20.0, point_);
    EXPECT_TRUE(CheckProbeIsDeferred(20.0, point_, "FLAT"));
    EXPECT_TRUE(CheckProbeIsDeferred(3.0, point_, "FLAT"));
    EXPECT_TRUE(CheckProbeIsDeferred(0.0, point_, "DOWN"));  // no traffic: still deferred
    EXPECT_FALSE(CheckProbeIsDeferred(20.5, point_, "FLAT"));

    clock_.AdvanceMs(10000);
    DeferProbes(15.0, point_);  // lower: the held point stays
    EXPECT_EQ(point_.mbps, 20.0);
    DeferProbes(25.0, point_);  // higher: replaces it and restarts the 30 s
    EXPECT_EQ(point_.mbps, 25.0);
    clock_.AdvanceMs(29999);
    EXPECT_TRUE(CheckProbeIsDeferred(25.0, point_, "FLAT"));
    clock_.AdvanceMs(1);
    EXPECT_FALSE(CheckProbeIsDeferred(25.0, point_, "FLAT"));
    EXPECT_EQ(point_.untilTick, 0u);
    EXPECT_EQ(point_.mbps, 0.0);

    DeferProbes(0.0, point_);  // no traffic sets nothing
    EXPECT_EQ(point_.untilTick, 0u);

    auto log = test::LogMessages("aperture.log");
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "<DEBUG>:DeferProbes(): SET DEFERRAL [mbps 20]");
    EXPECT_EQ(log[1],
              "<DEBUG>:CheckProbeIsDeferred():[FLAT] mbps 20 <= DeferralPoint.mbps 20. "
              "DEFERRING PROBE!");
    EXPECT_EQ(log[5], "<DEBUG>:CheckProbeIsDeferred():[FLAT] CLEARING DEFERRAL [mbps 25]");
}

TEST_F(DeferralTest, ZeroLengthAndUnlimitedProbingNeverDefer) {
    gDeferralTimeSecs = 0;
    DeferProbes(20.0, point_);
    EXPECT_FALSE(CheckProbeIsDeferred(10.0, point_, "FLAT"));
    EXPECT_EQ(point_.untilTick, 0u);

    gDeferralTimeSecs = 30;
    gUnlimitedProbing = true;
    DeferProbes(20.0, point_);
    EXPECT_FALSE(CheckProbeIsDeferred(10.0, point_, "FLAT"));
    EXPECT_NE(point_.untilTick, 0u);  // kept until it ends, then cleared
    clock_.AdvanceMs(30000);
    EXPECT_FALSE(CheckProbeIsDeferred(10.0, point_, "FLAT"));
    EXPECT_EQ(point_.untilTick, 0u);

    // The length is a 32-bit product of milliseconds: 4294968 s wraps to 704 ms.
    gUnlimitedProbing = false;
    gDeferralTimeSecs = 4294968;
    uint64_t before = clock_.TickCount64();
    DeferProbes(5.0, point_);
    EXPECT_EQ(point_.untilTick - before, 704u);
}

}  // namespace
