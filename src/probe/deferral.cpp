// Probe deferral per gateway.
#include "probe/deferral.h"

#include <cstdint>

#include "config/registry_params.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "probe/budget.h"

void DeferProbes(double mbps, Deferral& point) {
    if (!(mbps > 0)) return;
    const uint64_t now = platform::GetTickCount64();
    // A deferral taken at a higher rate still holds and keeps its end.
    if (point.mbps != 0 && mbps < point.mbps && now < point.untilTick) return;
    // The length wraps in 32 bits as the tick arithmetic always has.
    const uint32_t lengthMs = gDeferralTimeSecs * 1000u;
    point.untilTick = now + lengthMs;
    point.mbps = mbps;
    LogDebug("DeferProbes(): SET DEFERRAL [mbps ", mbps, "]");
}

bool CheckProbeIsDeferred(double mbps, Deferral& point, std::string_view tag) {
    const uint64_t now = platform::GetTickCount64();
    if (now >= point.untilTick) {
        if (point.untilTick != 0) {
            LogDebug("CheckProbeIsDeferred():[", tag, "] CLEARING DEFERRAL [mbps ", point.mbps,
                     "]");
            point.mbps = 0;
            point.untilTick = 0;
        }
        return false;
    }
    if (gUnlimitedProbing) return false;
    if (mbps <= 0) return true;
    if (point.mbps < mbps) return false;
    LogDebug("CheckProbeIsDeferred():[", tag, "] mbps ", mbps, " <= DeferralPoint.mbps ",
             point.mbps, ". DEFERRING PROBE!");
    return true;
}
