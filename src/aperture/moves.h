// The moves of a gateway's download aperture. Each changes the aperture,
// prints one console line with its log twin, and sets the new limit
// (aperture x 1.1) in the shaper.
#pragma once

#include <string_view>

#include "shaper/hresult.h"
#include "slots/isp_ctx.h"

inline constexpr double kStepUpLimitFactor = 1.05;  // a step up never passes recovery x 1.05
inline constexpr double kStepSwitchMbps = 5.0;      // +0.5 mbps at or below, x 1.1 above
inline constexpr double kSmallStepMbps = 0.5;
inline constexpr double kForceDownFactor = 0.9;
inline constexpr double kHalvingFactor = 0.5;

// One step up toward `target`; 0 without a move when target is not above.
HRESULT StepUpAperture(IspCtx& ctx, double target, std::string_view tag);
// The reaction to a detected limit, given the moving average and its peak.
HRESULT HandleLimitDetected(IspCtx& ctx, double mma, double peak);
// The reaction when a probe at full aperture reaches the threshold.
HRESULT JumpDownAtMax(IspCtx& ctx);
// The aperture back to the recovery value.
HRESULT RestoreMaxBW(IspCtx& ctx);
// Raises the recovery point and the floor behind a grown aperture.
void CheckAndIncreaseFloor(IspCtx& ctx);
// `mbps` is at or above the jump-to-floor share of the recovery point.
bool IsCloseToMaxValue(IspCtx& ctx, double mbps);
