// The 16 gateway slots and their re-initialisation.
#include "slots/isp_ctx.h"

#include <utility>

IspCtx gIspCtx[kMaxIsps] = {};

void ReinitIspContexts() {
    for (IspCtx& ctx : gIspCtx) {
        std::wstring gatewayMAC = std::move(ctx.gatewayMAC);
        std::wstring adapterMAC = std::move(ctx.adapterMAC);
        ctx = IspCtx{};
        ctx.TargetIfIndex = -1;
        ctx.G = -1;
        ctx.TSD_Threshold = kThresholdNotLearnt;
        ctx.TSD_Threshold_relaxed = kThresholdNotLearnt;
        ctx.firstSample = 1;
        ctx.gatewayMAC = std::move(gatewayMAC);
        ctx.adapterMAC = std::move(adapterMAC);
    }
}

void ResetIspContextsForTest() {
    for (IspCtx& ctx : gIspCtx) ctx = IspCtx{};
}
