// Probe deferral: after a good probe at some traffic rate, probes at that rate
// or below would only say the same, so they wait for a while.
#pragma once

#include <string_view>

#include "slots/isp_ctx.h"

// Sets or renews the deferral at `mbps` for gDeferralTimeSecs.
void DeferProbes(double mbps, Deferral& point);

// True when a probe at `mbps` is to be skipped; clears an expired point.
bool CheckProbeIsDeferred(double mbps, Deferral& point, std::string_view tag);
