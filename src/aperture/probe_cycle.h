// One probe cycle of one gateway per second: read the traffic, classify the
// curve, probe where it calls for it, learn the thresholds and move the
// aperture on the verdict.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shaper/hresult.h"
#include "slots/isp_ctx.h"

inline constexpr double kHugeMbps = 500.0;  // readings at or above are dropped whole
inline constexpr double kIdleMbps = 0.5;
inline constexpr uint32_t kIdleProbes = 2;  // per slot between re-initialisations
inline constexpr int32_t kRepeatFlatsBeforeProbe = 5;

// 0, the status of the last move that set a limit, or E_FAIL when a probe failed.
HRESULT CheckAndProbeISP(IspCtx& ctx, const std::string& host);

// Keeps the minimum, the running average and the thresholds; returns the
// probe time in whole milliseconds.
uint32_t ProcessProbeTime(std::string_view tag, double seconds, IspCtx& ctx);

// The thresholds from a new minimum probe time `minMs`.
void ApplyThresholdRule(IspCtx& ctx, uint32_t minMs);

// Seconds to whole milliseconds, truncated, low 32 bits.
uint32_t ProbeMs(double seconds);
