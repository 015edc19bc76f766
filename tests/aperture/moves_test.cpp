// The aperture moves: their arithmetic, caps, console lines and the limits
// they set.
#include "aperture/moves.h"

#include <gtest/gtest.h>

#include <tuple>

#include "aperture/aperture_fixture.h"
#include "config/registry_params.h"

namespace {

using Moves = test::ApertureTest;

void Shape(IspCtx& ctx, double aperture, double floor, double recovery) {
    ctx.aperture = aperture;
    ctx.floor = floor;
    ctx.DownloadRecoveryBW = recovery;
}

TEST_F(Moves, LimitDetectedDecreasesByTheRightBranch) {
    struct Case {
        double aperture, floor, recovery, mma, peak;
        bool jtfa;
        double expected;
        const char* line;  // the console line's text after "[G 0]"
    };
    const Case cases[] = {
        {100, 70, 100, 30, 0, false, 70,
         "-----> Decreasing (jump-min) download aperture to _FLOOR_"},
        {100, 20, 100, 40, 0, false, 50, "-----> Decreasing download aperture to"},
        {100, 20, 100, 70, 0, false, 70, "-----> Decreasing (jump-min) download aperture to"},
        {100, 70, 90, 95, 0, false, 90,
         "-----> [JTT] Decreasing (force-down10) download aperture to"},
        {100, 70, 90, 85, 0, false, 85, "-----> [JTT] Decreasing (jump-min) download aperture to"},
        {100, 70, 90, 75, 0, false, 75, "-----> Decreasing (jump-min) download aperture to"},
        {100, 88, 90, 85, 0, false, 88,
         "-----> [JTT] Decreasing (jump-min) download aperture to _FLOOR_"},
        {100, 90, 100, 85, 0, false, 90,
         "-----> Decreasing (jump-min) download aperture to _FLOOR_"},
        {100, 70, 100, 30, 0, true, 70, "[TS/JTFA]-----> JUMP TO FLOOR"},
        {100, 20, 100, 20, 60, false, 50, "-----> Decreasing download aperture to"},  // ref 40
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        gENABLE_JTFA = c.jtfa;
        Shape(Slot(), c.aperture, c.floor, c.recovery);
        test::ConsoleCapture console;
        EXPECT_EQ(HandleLimitDetected(Slot(), c.mma, c.peak), S_OK);
        EXPECT_DOUBLE_EQ(Slot().aperture, c.expected);
        char expected[200];
        std::snprintf(expected, sizeof(expected), "[G 0]%s: %0.2f mbps [fud %0.2f]\n\n", c.line,
                      c.expected, c.expected * 1.1);
        EXPECT_EQ(console.text(), expected);
        EXPECT_EQ(LastDownloadBps(), static_cast<int64_t>(c.expected * 1.1 * 1000000));
    }
    gENABLE_JTFA = false;

    // At the floor nothing moves; with the traffic above the aperture it steps up.
    size_t calls = S().limitCalls.size();
    Shape(Slot(), 70, 70, 100);
    EXPECT_EQ(HandleLimitDetected(Slot(), 30, 0), S_OK);
    EXPECT_EQ(Slot().aperture, 70);
    EXPECT_EQ(S().limitCalls.size(), calls);
    Shape(Slot(), 10, 7, 10);
    EXPECT_EQ(HandleLimitDetected(Slot(), 20, 0), S_OK);
    EXPECT_DOUBLE_EQ(Slot().aperture, 10.5);  // capped at recovery x 1.05
    EXPECT_EQ(LastDownloadBps(), 11550000);
}

TEST_F(Moves, StepsUpWithinTheirCapsAndRaiseTheRecoveryPoint) {
    struct Case {
        double aperture, recovery, target, expected;
    };
    const Case cases[] = {
        {4.0, 100, 200, 4.5},  {5.0, 100, 200, 5.5},    {10.0, 100, 200, 11.0},
        {10.0, 10, 200, 10.5}, {10.0, 100, 10.2, 10.2},
    };
    for (const Case& c : cases) {
        Shape(Slot(), c.aperture, 1, c.recovery);
        EXPECT_EQ(StepUpAperture(Slot(), c.target, "IDLE"), S_OK);
        EXPECT_DOUBLE_EQ(Slot().aperture, c.expected) << c.aperture;
    }
    test::ConsoleCapture console;
    Shape(Slot(), 10, 1, 100);
    EXPECT_EQ(StepUpAperture(Slot(), 10, "IDLE"), 0);  // target not above: nothing at all
    EXPECT_EQ(console.text(), "");

    Shape(Slot(), 60, 30, 50);
    CheckAndIncreaseFloor(Slot());
    EXPECT_DOUBLE_EQ(Slot().DownloadRecoveryBW, 52.5);
    EXPECT_DOUBLE_EQ(Slot().floor, 36.75);
    Shape(Slot(), 51, 40, 50);  // recovery follows to the aperture; the floor never falls
    CheckAndIncreaseFloor(Slot());
    EXPECT_DOUBLE_EQ(Slot().DownloadRecoveryBW, 51);
    EXPECT_DOUBLE_EQ(Slot().floor, 40);
    gAllowUpperLimitGrowth = 0;
    Shape(Slot(), 60, 30, 50);
    CheckAndIncreaseFloor(Slot());
    EXPECT_DOUBLE_EQ(Slot().DownloadRecoveryBW, 50);
}

TEST_F(Moves, JumpDownRestoreAndFailedLimits) {
    // aperture, floor, JTFA, after the jump (the recovery point is 90).
    const std::tuple<double, double, bool, double> jumps[] = {
        {100, 70, false, 90}, {72, 70, false, 70}, {100, 60, true, 60}};
    for (const auto& [aperture, floor, jtfa, expected] : jumps) {
        gENABLE_JTFA = jtfa;
        Shape(Slot(), aperture, floor, 90);
        EXPECT_EQ(JumpDownAtMax(Slot()), S_OK);
        EXPECT_DOUBLE_EQ(Slot().aperture, expected) << aperture;
    }
    gENABLE_JTFA = false;

    Shape(Slot(), 10, 7, 90.9090909090909);
    {
        test::ConsoleCapture console;
        EXPECT_EQ(RestoreMaxBW(Slot()), S_OK);
        EXPECT_EQ(console.text(),
                  "[G 0]+++++> Set aperture to recovery value: 90.91 mbps [fud 100.00]\n\n");
    }
    EXPECT_EQ(LastDownloadBps(), 100000000);  // the configured 100 mbps again
    EXPECT_EQ(S().limitCalls.back().uploadBps, 20000000);

    // A refused limit is logged and returned; the aperture keeps its new value.
    S().answers["SetGatewayLimits"] = {E_FAIL, true};
    Shape(Slot(), 40, 20, 50);
    EXPECT_EQ(RestoreMaxBW(Slot()), E_FAIL);
    EXPECT_EQ(Slot().aperture, 50);
    EXPECT_EQ(Log().back(), "<ERROR>:RestoreMaxBW() - SetNetworkLimits() FAILED, hr=2147500037");
}

}  // namespace
