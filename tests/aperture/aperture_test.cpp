// The aperture's moves and the probe cycle driven second by second (a traffic
// reading and a scripted probe answer), on a gateway of the in-memory service.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <tuple>

#include "aperture/moves.h"
#include "aperture/probe_cycle.h"
#include "config/registry_params.h"
#include "probe/budget.h"
#include "probe/latency.h"
#include "shaper/fake_service.h"
#include "shaper/gateways.h"
#include "slots/isp_ctx.h"
#include "support/fake_clock.h"

namespace {

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
            *s = a.seconds;
            return a.answered ? 0 : -1;
        });
    }
    void TearDown() override {
        ResetLatencyForTest();
        ResetBudgetForTest();
        fake::ServiceTest::TearDown();
    }

    IspCtx& Slot() { return gIspCtx[0]; }
    void Shape(double aperture, double floor, double recovery) {
        std::tie(Slot().aperture, Slot().floor, Slot().DownloadRecoveryBW) =
            std::tuple(aperture, floor, recovery);
    }
    // The download that the last limit call set, in bps.
    int64_t LastDownloadBps() const {
        return service_.state->limitCalls.empty() ? -1
                                                  : service_.state->limitCalls.back().downloadBps;
    }

    test::FakeClock clock_;
    std::deque<ProbeAnswer> answers_;
    int probesSent_ = 0;
};

using Moves = ApertureTest;

TEST_F(Moves, LimitDetectedDecreasesByTheRightBranch) {
    struct Case {
        double aperture, floor, recovery, mma, peak;
        bool jtfa;
        double expected;
    };
    const Case cases[] = {
        {100, 70, 100, 30, 0, false, 70},  // jump-min to the floor
        {100, 20, 100, 40, 0, false, 50},  // halved
        {100, 20, 100, 70, 0, false, 70},  // jump-min
        {100, 70, 90, 95, 0, false, 90},   // near the recovery point: forced down 10 %
        {100, 70, 90, 85, 0, false, 85},   {100, 70, 90, 75, 0, false, 75},
        {100, 88, 90, 85, 0, false, 88},   {100, 90, 100, 85, 0, false, 90},
        {100, 70, 100, 30, 0, true, 70},    // jump to floor always
        {100, 20, 100, 20, 60, false, 50},  // the peak is the reference: 40
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.floor << " " << c.recovery << " " << c.mma);
        gENABLE_JTFA = c.jtfa;
        Shape(c.aperture, c.floor, c.recovery);
        EXPECT_EQ(HandleLimitDetected(Slot(), c.mma, c.peak), S_OK);
        EXPECT_DOUBLE_EQ(Slot().aperture, c.expected);
        EXPECT_EQ(LastDownloadBps(), static_cast<int64_t>(c.expected * 1.1 * 1000000));
    }
    gENABLE_JTFA = false;

    // At the floor nothing moves; with the traffic above the aperture it steps up.
    const size_t calls = S().limitCalls.size();
    Shape(70, 70, 100);
    EXPECT_EQ(HandleLimitDetected(Slot(), 30, 0), S_OK);
    EXPECT_EQ(Slot().aperture, 70);
    EXPECT_EQ(S().limitCalls.size(), calls);
    Shape(10, 7, 10);
    EXPECT_EQ(HandleLimitDetected(Slot(), 20, 0), S_OK);
    EXPECT_DOUBLE_EQ(Slot().aperture, 10.5);  // capped at recovery x 1.05
    EXPECT_EQ(LastDownloadBps(), 11550000);
}

TEST_F(Moves, StepsUpWithinTheirCapsAndRaiseTheRecoveryPoint) {
    // Aperture, recovery point, target, the aperture after the step.
    const std::tuple<double, double, double, double> steps[] = {{4.0, 100, 200, 4.5},
                                                                {5.0, 100, 200, 5.5},
                                                                {10.0, 100, 200, 11.0},
                                                                {10.0, 10, 200, 10.5},
                                                                {10.0, 100, 10.2, 10.2}};
    for (const auto& [aperture, recovery, target, expected] : steps) {
        Shape(aperture, 1, recovery);
        EXPECT_EQ(StepUpAperture(Slot(), target, "IDLE"), S_OK);
        EXPECT_DOUBLE_EQ(Slot().aperture, expected) << aperture;
    }
    test::ConsoleCapture console;
    Shape(10, 1, 100);
    EXPECT_EQ(StepUpAperture(Slot(), 10, "IDLE"), 0);  // target not above: nothing at all
    EXPECT_EQ(console.text(), "");

    // Growth allowed, aperture, floor, recovery point; the recovery point and
    // the floor after: recovery follows the aperture, the floor never falls.
    const std::tuple<uint32_t, double, double, double, double, double> floors[] = {
        {1, 60, 30, 50, 52.5, 36.75}, {1, 51, 40, 50, 51, 40}, {0, 60, 30, 50, 50, 30}};
    for (const auto& [growth, aperture, floor, recovery, recoveryAfter, floorAfter] : floors) {
        gAllowUpperLimitGrowth = growth;
        Shape(aperture, floor, recovery);
        CheckAndIncreaseFloor(Slot());
        EXPECT_DOUBLE_EQ(Slot().DownloadRecoveryBW, recoveryAfter) << aperture;
        EXPECT_DOUBLE_EQ(Slot().floor, floorAfter) << aperture;
    }
}

TEST_F(Moves, JumpDownAndRestore) {
    // aperture, floor, JTFA, after the jump (the recovery point is 90).
    const std::tuple<double, double, bool, double> jumps[] = {
        {100, 70, false, 90}, {72, 70, false, 70}, {100, 60, true, 60}};
    for (const auto& [aperture, floor, jtfa, expected] : jumps) {
        gENABLE_JTFA = jtfa;
        Shape(aperture, floor, 90);
        EXPECT_EQ(JumpDownAtMax(Slot()), S_OK);
        EXPECT_DOUBLE_EQ(Slot().aperture, expected) << aperture;
    }
    gENABLE_JTFA = false;

    Shape(10, 7, 90.9090909090909);
    EXPECT_EQ(RestoreMaxBW(Slot()), S_OK);
    EXPECT_EQ(LastDownloadBps(), 100000000);  // the configured 100 mbps again
    EXPECT_EQ(S().limitCalls.back().uploadBps, 20000000);
}

class Cycle : public ApertureTest {
  protected:
    // One second of traffic at `mbps`, then one cycle; `answer` is queued for
    // a probe the cycle may send.
    HRESULT Tick(double mbps, std::optional<ProbeAnswer> answer = std::nullopt) {
        if (answer) answers_.push_back(*answer);
        S().processes[0].download += static_cast<int64_t>(mbps * 1000000);
        clock_.AdvanceMs(1000);
        console_.clear();
        return CheckAndProbeISP(Slot(), "speed.example");
    }
    // The thresholds as two idle probes of 25 ms would have left them.
    void Learnt() {
        Slot().idleProbeTimeMIN = Slot().probeTimeAvg = 25;
        Slot().TSD_Threshold = 35;
        Slot().TSD_Threshold_relaxed = 45;
        Slot().idleProbeCount = 2;
    }
    // A line whose moving average already sits at `mbps`, after the base sample.
    void Steady(double mbps) {
        Tick(0);
        Slot().mbps_MMA = Slot().prevMMA = mbps;
    }
    bool Printed(const std::string& text) const {
        return console_.text().find(text) != std::string::npos;
    }

    test::ConsoleCapture console_;
};

TEST(ThresholdRule, BandsAndARelaxedThresholdThatOnlyGrows) {
    // The idle minimum, the threshold and the relaxed one it sets.
    const std::tuple<uint32_t, uint32_t, uint32_t> fromUnset[] = {
        {0, 10, 20},   {40, 50, 60},    {41, 52, 62},   {80, 91, 101},
        {81, 93, 103}, {120, 132, 142}, {121, 134, 144}};
    IspCtx ctx{};
    for (const auto& [minMs, tsd, relaxed] : fromUnset) {
        ctx.TSD_Threshold = ctx.TSD_Threshold_relaxed = kThresholdNotLearnt;
        ApplyThresholdRule(ctx, minMs);
        EXPECT_EQ(std::tie(ctx.TSD_Threshold, ctx.TSD_Threshold_relaxed), std::tie(tsd, relaxed))
            << minMs;
    }
    ApplyThresholdRule(ctx, 30);  // a faster minimum lowers one threshold only
    EXPECT_EQ(std::tie(ctx.TSD_Threshold, ctx.TSD_Threshold_relaxed), std::make_tuple(40u, 144u));
    EXPECT_EQ(ProbeMs(0.0349999), 34u);   // truncated, not rounded
    EXPECT_EQ(ProbeMs(4294967.296), 0u);  // low 32 bits of 4294967296 ms
}

TEST_F(Cycle, IdleProbesLearnTheThresholdsTwiceOnly) {
    EXPECT_EQ(Tick(0, {{0.030}}), S_OK);  // the first read only sets the base: idle
    EXPECT_EQ(std::tie(Slot().idleProbeTimeMIN, Slot().TSD_Threshold, Slot().TSD_Threshold_relaxed),
              std::make_tuple(30u, 40u, 50u));
    EXPECT_EQ(Tick(0.2, {{0.0259}}), S_OK);
    // The average is (25 + 2 x 30) / 3; the relaxed threshold only ever grows.
    EXPECT_EQ(std::tie(Slot().idleProbeTimeMIN, Slot().probeTimeAvg, Slot().TSD_Threshold,
                       Slot().TSD_Threshold_relaxed),
              std::make_tuple(25u, 28u, 35u, 50u));

    EXPECT_EQ(Tick(0), S_OK);
    EXPECT_EQ(std::tie(probesSent_, Slot().idleCycleCount, Slot().gProbeCount),
              std::make_tuple(2, 3u, 2u));
}

TEST_F(Cycle, FiveRepeatFlatsThenAProbeThenALimit) {
    Learnt();
    gUnlimitedProbing = false;  // deferral only holds while probes are rationed
    gMovingProbesPerPartitionedHourLimit = 100;
    Steady(80);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(Tick(80), S_OK);
        EXPECT_TRUE(Printed("repeat FLAT " + std::to_string(i) + ": [delta "));
    }
    Tick(80);
    EXPECT_TRUE(Printed("repeat FLAT 5[FORCE RESET]: [delta 0.00, abs 0.00, margin 0.800000]"));
    EXPECT_EQ(probesSent_, 0);

    // The sixth FLAT probes: fast, so the line is not full and later probes wait.
    EXPECT_EQ(Tick(80, {{0.024}}), S_OK);
    EXPECT_EQ(probesSent_, 1);
    EXPECT_EQ(Slot().idleProbeTimeMIN, 24u);
    EXPECT_GT(Slot().DeferralPoint.untilTick, 0u);

    // Armed again, the next FLAT is deferred at this rate.
    Slot().flatProbeArmed = 1;
    EXPECT_EQ(Tick(80), S_OK);
    EXPECT_EQ(probesSent_, 1);

    // After the deferral a slow probe detects the limit: the aperture comes
    // down to the traffic (not close to the recovery point, half below it).
    clock_.AdvanceMs(30000);
    Steady(80);
    Slot().flatProbeArmed = 1;
    EXPECT_EQ(Tick(80, {{0.050}}), S_OK);
    EXPECT_DOUBLE_EQ(Slot().aperture, 80.0);
    EXPECT_EQ(LastDownloadBps(), 88000000);
    EXPECT_EQ(Slot().mbps_max, 0.0);
}

TEST_F(Cycle, MaxProcedureUnlimitedProbesBeforeGrowing) {
    Learnt();
    // The probe's answer and the aperture after the cycle: fast, it grows and
    // stays; under the relaxed threshold it grows then jumps down; over it,
    // no growth and a jump down.
    for (const auto& [seconds, aperture] : {std::pair{0.030, 88.0}, {0.040, 79.2}, {0.046, 72.0}}) {
        Slot().aperture = 80;
        Steady(85);
        Slot().flatProbeArmed = 1;
        EXPECT_EQ(Tick(85, {{seconds}}), S_OK);
        EXPECT_NEAR(Slot().aperture, aperture, 1e-9) << seconds;
    }
}

TEST_F(Cycle, IdleRecoveryClimbsBackToTheRecoveryPoint) {
    Learnt();
    gIdleTimeRecoveryThresholdSecs = 10;
    Slot().aperture = 70;
    Tick(0);
    for (int i = 2; i < 10; ++i) Tick(0.1);
    EXPECT_EQ(Slot().aperture, 70);
    Tick(0.1);  // the tenth idle second
    EXPECT_DOUBLE_EQ(Slot().aperture, 77.0);
    for (double expected : {84.7, 90.909090}) {  // capped at the target
        Tick(0.1);
        EXPECT_NEAR(Slot().aperture, expected, 1e-5);
    }

    // Below the floor neither advances nor resets the idle count; activity resets it.
    const uint32_t idle = Slot().idleSecs;
    Steady(50);
    EXPECT_EQ(Slot().idleSecs, idle + 1);  // Steady's own tick was idle
    Tick(50);
    EXPECT_EQ(Slot().idleSecs, idle + 1);
    Slot().mbps_MMA = Slot().prevMMA = 80;
    Tick(80);
    EXPECT_EQ(Slot().idleSecs, 0u);
}

}  // namespace
