// The gateway slots: all zero when built, start values after a
// re-initialisation, the MAC texts kept.
#include "slots/isp_ctx.h"

#include <gtest/gtest.h>

namespace {

TEST(IspCtx, ReinitialisationWritesStartValuesAndKeepsTheMacTexts) {
    ResetIspContextsForTest();
    for (const IspCtx& ctx : gIspCtx) {
        EXPECT_EQ(ctx.G, 0);  // in use as far as start-up code can tell
        EXPECT_EQ(ctx.TargetIfIndex, 0);
        EXPECT_EQ(ctx.TSD_Threshold, 0u);
        EXPECT_EQ(ctx.firstSample, 0);
    }

    IspCtx& used = gIspCtx[3];
    used.G = 2;
    used.failureCount = 3;
    used.active = 1;
    used.gProbeCount = 77;
    used.reportedProbeCount = 70;
    used.aperture = 90.9;
    used.mbps_MMA = 12.5;
    used.idleProbeTimeMIN = 14;
    used.TSD_Threshold_relaxed = 30;
    used.DeferralPoint = {55.0, 123456};
    used.deviceIDs = {4, 5};
    used.gatewayMAC = L"02-00-00-00-00-01";
    used.adapterMAC = L"02-00-00-00-00-99";

    ReinitIspContexts();
    for (const IspCtx& ctx : gIspCtx) {
        EXPECT_EQ(ctx.TargetIfIndex, -1);
        EXPECT_EQ(ctx.G, -1);
        EXPECT_EQ(ctx.TSD_Threshold, 0xFFFFFFFFu);
        EXPECT_EQ(ctx.TSD_Threshold_relaxed, 0xFFFFFFFFu);
        EXPECT_EQ(ctx.firstSample, 1);
        EXPECT_EQ(ctx.failureCount, 0u);
        EXPECT_EQ(ctx.active, 0);
        EXPECT_EQ(ctx.gProbeCount, 0u);
        EXPECT_EQ(ctx.reportedProbeCount, 0u);
        EXPECT_EQ(ctx.idleProbeTimeMIN, 0u);
        EXPECT_EQ(ctx.aperture, 0.0);
        EXPECT_EQ(ctx.mbps_MMA, 0.0);
        EXPECT_EQ(ctx.DeferralPoint.mbps, 0.0);
        EXPECT_EQ(ctx.DeferralPoint.untilTick, 0u);
        EXPECT_TRUE(ctx.deviceIDs.empty());
    }
    EXPECT_EQ(used.gatewayMAC, L"02-00-00-00-00-01");
    EXPECT_EQ(used.adapterMAC, L"02-00-00-00-00-99");
    ResetIspContextsForTest();
    EXPECT_TRUE(used.gatewayMAC.empty());
}

}  // namespace
