// Aperture moves: step up, limit reaction, jump down at max, restore.
#include "aperture/moves.h"

#include <algorithm>
#include <cstdint>

#include "config/registry_params.h"
#include "log/console_print.h"
#include "log/logger.h"
#include "shaper/limits.h"

namespace {

constexpr double kBpsPerMbps = 1000000.0;

// bps as a signed 64-bit integer, truncated; out-of-range values saturate
// instead of being undefined (the shaper refuses them anyway).
int64_t ToBps(double bps) {
    if (!(bps > -9.2e18)) return 0;
    if (bps >= 9.2e18) return INT64_MAX;
    return static_cast<int64_t>(bps);
}

HRESULT SetLimit(IspCtx& ctx, const char* failurePrefix = "") {
    const int64_t up = ToBps(ctx.uploadMbps * kBpsPerMbps);
    const int64_t down = ToBps(ctx.aperture * kFud * kBpsPerMbps);
    HRESULT hr = SetNetworkLimits(ctx, static_cast<uint64_t>(up), static_cast<uint64_t>(down));
    if (FAILED(hr)) {
        LogError(failurePrefix, "SetNetworkLimits() FAILED, hr=", static_cast<uint32_t>(hr));
    }
    return hr;
}

double StepUpLimit(const IspCtx& ctx) {
    return ctx.DownloadRecoveryBW * kStepUpLimitFactor;
}

// The next aperture of a step up, before the move's own cap.
double SteppedUp(const IspCtx& ctx) {
    double next =
        ctx.aperture <= kStepSwitchMbps ? ctx.aperture + kSmallStepMbps : ctx.aperture * kFud;
    return std::min(next, StepUpLimit(ctx));
}

// "[G %i]" + text + ": %0.2f mbps [fud %0.2f]\n\n" and its log twin.
void AnnounceMove(const IspCtx& ctx, const char* text, const char* logText = nullptr) {
    ConsolePrintf("[G %i]%s: %0.2f mbps [fud %0.2f]\n\n", ctx.G, text, ctx.aperture,
                  ctx.aperture * kFud);
    LogDebug("[G ", ctx.G, "]", logText != nullptr ? logText : text, ": ", ctx.aperture,
             " mbps [fud ", ctx.aperture * kFud, "]");
}

}  // namespace

void CheckAndIncreaseFloor(IspCtx& ctx) {
    if (gAllowUpperLimitGrowth == 0 || !(ctx.aperture > ctx.DownloadRecoveryBW)) return;
    LogDebug("[G ", ctx.G, "] CheckAndIncreaseFloor(): DownloadRecoveryBW ", ctx.DownloadRecoveryBW,
             " < DownloadBW ", ctx.aperture, " (<== Increasing recovery point)");
    const double raised = ctx.DownloadRecoveryBW * kStepUpLimitFactor;
    ctx.DownloadRecoveryBW = ctx.aperture > raised ? raised : ctx.aperture;
    const double floor = gDownloadFloorFactor * ctx.DownloadRecoveryBW;
    if (floor > ctx.floor) {
        LogDebug("[G ", ctx.G, "] CheckAndIncreaseFloor(): Increase floor: ", ctx.floor, " ===> ",
                 floor);
        ctx.floor = floor;
    }
}

bool IsCloseToMaxValue(IspCtx& ctx, double mbps) {
    const double threshold = ctx.DownloadRecoveryBW * gJumpToFloorThresholdPercentage;
    const bool close = mbps >= threshold;
    LogDebug(
        "[G ", ctx.G,
        close ? "] IsCloseToMaxValue() -> TRUE: mbps " : "] IsCloseToMaxValue() -> FALSE: mbps ",
        mbps, close ? " >= JTF Threshold " : " < JTF Threshold ", threshold,
        ". Pct = ", gJumpToFloorThresholdPercentage, ", Recovery = ", ctx.DownloadRecoveryBW,
        " mbps");
    return close;
}

HRESULT StepUpAperture(IspCtx& ctx, double target, std::string_view tag) {
    if (!(target > ctx.aperture)) return 0;
    CheckAndIncreaseFloor(ctx);
    ctx.aperture = std::min(SteppedUp(ctx), target);
    const std::string tagText(tag);
    ConsolePrintf(
        "[G %i, %0.2f mbps][%s]+++++> Increasing download aperture to: %0.2f mbps [fud "
        "%0.2f]\n\n",
        ctx.G, ctx.mbps, tagText.c_str(), ctx.aperture, ctx.aperture * kFud);
    LogDebug("[G ", ctx.G, ", ", ctx.mbps, " mbps][", tagText,
             "]+++++> Increasing download aperture to: ", ctx.aperture, " mbps [fud ",
             ctx.aperture * kFud, "] floor ", ctx.floor, ", recovery ", ctx.DownloadRecoveryBW,
             ", StepUpLimit ", StepUpLimit(ctx), " [mbps_max ", ctx.mbps_max, ", mbps_MMA ",
             ctx.mbps_MMA, " mbps, IspCtx.p.mbps ", ctx.mbps, "]");
    return SetLimit(ctx);
}

HRESULT HandleLimitDetected(IspCtx& ctx, double mma, double peak) {
    const double ref = peak > 0 ? (mma + peak) * 0.5 : mma;

    if (ref > ctx.aperture) {
        // The line carries more than the aperture: it may open further.
        HRESULT hr = 0;
        if (ctx.maxAperture > ctx.aperture) {
            ctx.aperture = std::min(SteppedUp(ctx), ctx.maxAperture);
            ConsolePrintf(
                "[G %i][TS H]+++++> Increasing download aperture to: %0.2f mbps [fud "
                "%0.2f]\n\n",
                ctx.G, ctx.aperture, ctx.aperture * kFud);
            LogDebug("[G ", ctx.G, "][TS H]+++++> Increasing download aperture to: ", ctx.aperture,
                     " mbps [fud ", ctx.aperture * kFud, "] [mbps ", mma, ", avg ", ref,
                     ", mbps_max ", peak, ", StepUpLimit ", StepUpLimit(ctx), "]");
            hr = SetLimit(ctx);
        }
        CheckAndIncreaseFloor(ctx);
        return hr;
    }
    if (!(ctx.aperture > ref)) return 0;

    if (ctx.aperture <= ctx.floor) {
        LogDebug("[ap ", ctx.aperture, ", G ", ctx.G, "].....> avg-mbps ", ref,
                 " < aperture [ALREADY @ _FLOOR_ ", ctx.floor, ", fud ", ctx.aperture * kFud, "]");
        return 0;
    }
    if (gENABLE_JTFA) {
        ctx.aperture = ctx.floor;
        AnnounceMove(ctx, "[TS/JTFA]-----> JUMP TO FLOOR");
    } else if (IsCloseToMaxValue(ctx, mma)) {
        // The traffic was near the recovery point: jump to the target.
        if (ctx.floor > mma) {
            ctx.aperture = ctx.floor;
            AnnounceMove(ctx, "-----> [JTT] Decreasing (jump-min) download aperture to _FLOOR_");
        } else {
            const double x = std::max(ctx.floor, ctx.aperture * kForceDownFactor);
            if (mma > x) {
                ctx.aperture = x;
                AnnounceMove(ctx, "-----> [JTT] Decreasing (force-down10) download aperture to");
            } else {
                ctx.aperture = mma;
                AnnounceMove(ctx, "-----> [JTT] Decreasing (jump-min) download aperture to");
            }
        }
    } else {
        const double x = ctx.floor > mma ? ctx.floor : mma;
        const double half = ctx.aperture * kHalvingFactor;
        if (half >= x) {
            ctx.aperture = half;
            AnnounceMove(ctx, "-----> Decreasing download aperture to",
                         "-----> Decreasing (50%) download aperture to");
        } else {
            ctx.aperture = x;
            AnnounceMove(ctx, x == ctx.floor
                                  ? "-----> Decreasing (jump-min) download aperture to _FLOOR_"
                                  : "-----> Decreasing (jump-min) download aperture to");
        }
    }
    return SetLimit(ctx);
}

HRESULT JumpDownAtMax(IspCtx& ctx) {
    if (gENABLE_JTFA) {
        ctx.aperture = ctx.floor;
        AnnounceMove(ctx, "[MAX]-----> JUMP TO FLOOR");
    } else {
        ctx.aperture = std::max(ctx.floor, ctx.aperture * kForceDownFactor);
        AnnounceMove(ctx, "[MAX]-----> JUMP DOWN [minmin]");
    }
    return SetLimit(ctx);
}

HRESULT RestoreMaxBW(IspCtx& ctx) {
    ctx.aperture = ctx.DownloadRecoveryBW;
    ConsolePrintf("[G %i]+++++> Set aperture to recovery value: %0.2f mbps [fud %0.2f]\n\n", ctx.G,
                  ctx.aperture, ctx.aperture * kFud);
    LogDebug("[G ", ctx.G, "]+++++> Set aperture to recovery value: ", ctx.aperture, " mbps [fud ",
             ctx.aperture * kFud, "], floor ", ctx.floor, " mbps, recovery ",
             ctx.DownloadRecoveryBW, " mbsp");
    return SetLimit(ctx, "RestoreMaxBW() - ");
}
