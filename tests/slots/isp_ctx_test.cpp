// The gateway slots: start values after a re-initialisation, the MAC texts
// kept, all cleared by the reset.
#include "slots/isp_ctx.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

auto Fields(const IspCtx& c) {
    return std::make_tuple(c.TargetIfIndex, c.G, c.TSD_Threshold, c.TSD_Threshold_relaxed,
                           c.firstSample, c.failureCount, c.active, c.gProbeCount,
                           c.reportedProbeCount, c.idleProbeTimeMIN, c.aperture, c.mbps_MMA,
                           c.DeferralPoint.mbps, c.DeferralPoint.untilTick, c.deviceIDs.size());
}

TEST(IspCtx, ReinitialisationWritesStartValuesAndKeepsTheMacTexts) {
    ResetIspContextsForTest();
    IspCtx& used = gIspCtx[3];
    std::tie(used.G, used.failureCount, used.active, used.gProbeCount, used.reportedProbeCount) =
        std::make_tuple(2, 3, 1, 77, 70);
    std::tie(used.aperture, used.mbps_MMA, used.idleProbeTimeMIN, used.TSD_Threshold_relaxed) =
        std::make_tuple(90.9, 12.5, 14, 30);
    used.DeferralPoint = {55.0, 123456};
    used.deviceIDs = {4, 5};
    used.gatewayMAC = L"02-00-00-00-00-01";
    used.adapterMAC = L"02-00-00-00-00-99";

    ReinitIspContexts();
    for (const IspCtx& ctx : gIspCtx) {
        EXPECT_EQ(Fields(ctx), std::make_tuple(-1, -1, 0xFFFFFFFFu, 0xFFFFFFFFu, 1, 0u, 0, 0u, 0u,
                                               0u, 0.0, 0.0, 0.0, 0u, 0u));
    }
    EXPECT_EQ(used.gatewayMAC, L"02-00-00-00-00-01");
    EXPECT_EQ(used.adapterMAC, L"02-00-00-00-00-99");
    ResetIspContextsForTest();
    EXPECT_TRUE(used.gatewayMAC.empty());
}

}  // namespace
