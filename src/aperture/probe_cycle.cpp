// The probe cycle: classification of the traffic curve and the verdicts.
#include "aperture/probe_cycle.h"

#include <cmath>

#include "aperture/moves.h"
#include "config/registry_params.h"
#include "log/console_print.h"
#include "log/logger.h"
#include "probe/budget.h"
#include "probe/deferral.h"
#include "probe/latency.h"
#include "shaper/limits.h"

namespace {

// The curve of this cycle against the last, for the FLAT and FALL lines.
struct Curve {
    double delta;
    double abs;
    double margin;
};

enum class Procedure { Flat, CurveDown };

// Asks for one probe with both checks as given; *seconds is 0 before the call.
int32_t Probe(IspCtx& ctx, const std::string& host, const char* tag, bool checks, double* seconds) {
    uint8_t allowDeferral = checks ? 1 : 0;
    uint8_t checkBudget = checks ? 1 : 0;
    *seconds = 0.0;
    return MeasureHostLatency(ctx, host, seconds, tag, &allowDeferral, &checkBudget);
}

// The hourly figures that several debug lines carry.
void AppendProbeCounts(LogLine& line, const IspCtx& ctx) {
    line << " [p's " << ctx.gProbeCount << ", this hour " << ctx.gProbesSentThisHour << ", limit "
         << gMovingProbesPerPartitionedHourLimit << "/" << gProbesPerHour << "]";
}

void EndOfCycle(IspCtx& ctx) {
    ctx.prevMbps = ctx.mbps;
    ctx.prevMMA = ctx.mbps_MMA;
}

HRESULT IdleCycle(IspCtx& ctx, const std::string& host, bool& probeFailed) {
    HRESULT result = 0;
    ctx.idleSecs += 1;
    if (ctx.idleSecs >= gIdleTimeRecoveryThresholdSecs && ctx.DownloadRecoveryBW > ctx.aperture) {
        ConsolePrintf("[ap %0.2f, G %i] Idle DL BW Recovery, ap --> target %0.2f\n", ctx.aperture,
                      ctx.G, ctx.DownloadRecoveryBW);
        result = StepUpAperture(ctx, ctx.DownloadRecoveryBW, "IDLE");
        ctx.mbps_max = 0;
        if (ctx.aperture >= ctx.DownloadRecoveryBW / kFud) {
            LogDebug("[ap ", ctx.aperture, ", G ", ctx.G, "] Idle DL BW Recovery, ap @ target ",
                     ctx.DownloadRecoveryBW, " [p's ", ctx.gProbeCount, "]");
        }
    }

    if (ctx.idleProbeCount < kIdleProbes) {
        double seconds = 0.0;
        uint8_t allowDeferral = 0;
        uint8_t checkBudget = 1;
        const int32_t probe =
            MeasureHostLatency(ctx, host, &seconds, "IDLE", &allowDeferral, &checkBudget);
        if (probe == kProbeAnswered) {
            const uint32_t ms = ProbeMs(seconds);
            if (ctx.idleProbeTimeMIN == 0) {
                ctx.idleProbeTimeMIN = ms;
                ctx.probeTimeAvg = ms;
            } else {
                ConsolePrintf("[G %i, ap %0.2f] idleProbeTimeMIN %u ms VS results %u ms\n\n", ctx.G,
                              ctx.aperture, ctx.idleProbeTimeMIN, ms);
                LogDebug("[G ", ctx.G, ", ap ", ctx.aperture, "] idleProbeTimeMIN ",
                         ctx.idleProbeTimeMIN, " ms VS results ", ms, " ms");
                if (ms < ctx.idleProbeTimeMIN) ctx.idleProbeTimeMIN = ms;
                ctx.probeTimeAvg = (ms + 2 * ctx.probeTimeAvg) / 3;
            }
        } else if (probe < 0) {
            probeFailed = true;
            return E_FAIL;
        }
        ctx.idleProbeCount += 1;
        ApplyThresholdRule(ctx, ctx.idleProbeTimeMIN);
        ConsolePrintf(probe == kProbeOverBudget
                          ? "[X BUDGET] idleProbeTimeMIN = %u ms, TSD_Threshold = %u ms [%u/%u]\n\n"
                          : "idleProbeTimeMIN = %u ms, TSD_Threshold = %u ms [%u/%u]\n\n",
                      ctx.idleProbeTimeMIN, ctx.TSD_Threshold, ctx.idleProbeCount,
                      ctx.idleCycleCount);
        if (ctx.idleProbeCount >= kIdleProbes) {
            ConsolePrintf(
                "[G %i, ap %0.2f/%0.2f] IDLE probes: sample time = %u ms, TSD_Threshold = %u ms "
                "[%u/%u]\n\n",
                ctx.G, ctx.aperture, ctx.DownloadRecoveryBW, ctx.idleProbeTimeMIN,
                ctx.TSD_Threshold, ctx.idleProbeCount, ctx.idleCycleCount + 1);
            LogDebug("[G ", ctx.G, ", ap ", ctx.aperture, "/", ctx.DownloadRecoveryBW,
                     "] IDLE probes: sample time = ", ctx.idleProbeTimeMIN,
                     " ms, TSD_Threshold = ", ctx.TSD_Threshold,
                     " ms, relaxed =  ", ctx.TSD_Threshold_relaxed, " ms [", ctx.idleProbeCount,
                     "/", ctx.idleCycleCount + 1, "] p's ", ctx.gProbeCount);
        }
    }
    ctx.idleCycleCount += 1;
    return result;
}

// Probe, then judge the time against the threshold.
HRESULT ProbeProcedure(IspCtx& ctx, const std::string& host, const char* tag, Procedure which,
                       const Curve& curve, bool& probeFailed) {
    const bool flat = which == Procedure::Flat;
    const char* name = flat ? "FLAT" : "CURVE-DOWN";
    double seconds = 0.0;
    uint32_t ms = 0;
    const int32_t probe = Probe(ctx, host, tag, true, &seconds);
    if (probe == kProbeAnswered) {
        ms = ProcessProbeTime(tag, seconds, ctx);
    } else if (probe < 0) {
        probeFailed = true;
        return E_FAIL;
    }
    ConsolePrintf("[G %i, ap %0.2f/%0.2f] ", ctx.G, ctx.aperture, ctx.DownloadRecoveryBW);
    if (ctx.TSD_Threshold != kThresholdNotLearnt && ms >= ctx.TSD_Threshold) {
        const double shown = flat ? ctx.mbps_MMA : ctx.mbps;
        ConsolePrintf(
            "%s: probeTimeMs = %u ms >= %u [delta %0.2f, abs %0.2f, margin %f][LIMIT "
            "DETECTED: %0.2f to %0.2f]\n\n",
            name, ms, ctx.TSD_Threshold, curve.delta, curve.abs, curve.margin, shown, ctx.mbps_max);
        LogDebug("[G ", ctx.G, ", ap ", ctx.aperture, "/", ctx.DownloadRecoveryBW,
                 flat ? "] FLAT: probeTimeMs = " : "] CURVE-DOWN: probeTimeMs=", ms,
                 " ms >= ", ctx.TSD_Threshold, " [delta ", curve.delta, ", abs ", curve.abs,
                 ", margin ", curve.margin, "][LIMIT DETECTED: ", shown, " to ", ctx.mbps_max, "]");
        HRESULT result = HandleLimitDetected(ctx, ctx.mbps_MMA, ctx.mbps_max);
        ctx.mbps_max = 0;
        return result;
    }

    LogLine line(LogLevel::Debug);
    line << "[G " << ctx.G << ", ap " << ctx.aperture << "/" << ctx.DownloadRecoveryBW << "] "
         << name << ": ";
    if (probe == kProbeDeferred || probe == kProbeOverBudget) {
        const char* why = probe == kProbeDeferred ? "PROBE DEFERRED" : "[X BUDGET]";
        if (flat) {
            ConsolePrintf(
                "FLAT: %s [delta %0.2f, abs %0.2f, margin %f][mbps range: %0.2f to %0.2f]\n\n", why,
                curve.delta, curve.abs, curve.margin, ctx.mbps_MMA, ctx.mbps_max);
        } else {
            ConsolePrintf("CURVE-DOWN: %s [delta %0.2f, abs %0.2f, margin %f]\n\n", why,
                          curve.delta, curve.abs, curve.margin);
        }
        line << why << " [delta " << curve.delta << ", abs " << curve.abs << ", margin "
             << curve.margin << "]";
        if (flat) line << "[mbps range: " << ctx.mbps_MMA << " to " << ctx.mbps_max << "]";
        return 0;
    }
    // These lines show 1 % of the previous cycle's rate in the margin place.
    const double shownMargin = ctx.prevMbps * 0.01;
    if (flat) {
        ConsolePrintf(
            "FLAT: probeTimeMs = %u ms < %u [delta %0.2f, abs %0.2f, margin %f][mbps "
            "range: %0.2f to %0.2f]\n\n",
            ms, ctx.TSD_Threshold, curve.delta, curve.abs, shownMargin, ctx.mbps, ctx.mbps_max);
    } else {
        ConsolePrintf(
            "CURVE-DOWN: probeTimeMs = %u ms < %u [delta %0.2f, abs %0.2f, margin %f]\n\n", ms,
            ctx.TSD_Threshold, curve.delta, curve.abs, shownMargin);
    }
    line << "probeTimeMs = " << ms << " ms < " << ctx.TSD_Threshold << " [delta " << curve.delta
         << ", abs " << curve.abs << ", margin " << shownMargin << "]";
    if (flat) line << "[mbps range: " << ctx.mbps << " to " << ctx.mbps_max << "]";
    return 0;
}

// The traffic has reached the aperture: may it open further?
HRESULT MaxProcedure(IspCtx& ctx, const std::string& host, const char* probeTag,
                     const char* stepTag, bool& probeFailed) {
    uint32_t ms = 0;
    bool probed = false;
    bool failed = false;
    bool stepUp = true;
    HRESULT result = 0;
    double seconds = 0.0;

    if (gUnlimitedProbing && ctx.TSD_Threshold_relaxed != kThresholdNotLearnt) {
        // Unlimited probing: probe first, grow only on a fast answer.
        probed = true;
        const int32_t probe = Probe(ctx, host, probeTag, false, &seconds);
        if (probe != kProbeAnswered) {
            failed = probe < 0;
        } else {
            ms = ProbeMs(seconds);
            stepUp = ms < ctx.TSD_Threshold_relaxed;
            LogDebug("[G ", ctx.G, ", p's ", ctx.gProbeCount, "][", probeTag, "] probeTimeMs ", ms,
                     stepUp ? " < TSD_Threshold_relaxed " : " >= TSD_Threshold_relaxed  ",
                     ctx.TSD_Threshold_relaxed, " [mbps ", ctx.mbps, ", ap ", ctx.aperture, "]",
                     stepUp ? " [INCREASE BW]" : " [_NO_ Increase]");
        }
    }
    if (stepUp) {
        result = StepUpAperture(ctx, ctx.maxAperture, stepTag);
        ctx.mbps_max = 0;
        if (failed) {
            probeFailed = true;
            return E_FAIL;
        }
        if (!probed) {
            // With a budget the aperture grows first and the probe decides.
            const int32_t probe = Probe(ctx, host, probeTag, true, &seconds);
            if (probe == kProbeAnswered) {
                ms = ProcessProbeTime(probeTag, seconds, ctx);
            } else if (probe < 0) {
                probeFailed = true;  // the step up stays
                return E_FAIL;
            }
        }
    }
    if (ctx.TSD_Threshold != kThresholdNotLearnt && ms >= ctx.TSD_Threshold) JumpDownAtMax(ctx);
    return result;
}

HRESULT FlatCycle(IspCtx& ctx, const std::string& host, const Curve& curve, bool& probeFailed) {
    ctx.downProbeArmed = 1;
    if (ctx.flatProbeArmed == 0) {
        ctx.repeatFlatCount += 1;
        ctx.mbps_max = 0;
        const bool forceReset = ctx.repeatFlatCount >= kRepeatFlatsBeforeProbe;
        if (forceReset) ctx.flatProbeArmed = 1;
        ConsolePrintf(forceReset ? "[G %i, ap %0.2f/%0.2f] repeat FLAT %i[FORCE RESET]: [delta "
                                   "%0.2f, abs %0.2f, margin %f][mbps %f, mma %f]\n\n"
                                 : "[G %i, ap %0.2f/%0.2f] repeat FLAT %i: [delta %0.2f, abs "
                                   "%0.2f, margin %f][mbps %f, mma %f]\n\n",
                      ctx.G, ctx.aperture, ctx.DownloadRecoveryBW, ctx.repeatFlatCount, curve.delta,
                      curve.abs, curve.margin, ctx.mbps, ctx.mbps_MMA);
        return 0;
    }
    ctx.flatProbeArmed = 0;
    ctx.repeatFlatCount = 0;
    if (ctx.mbps_max >= ctx.aperture) {
        return MaxProcedure(ctx, host, "FLAT[MAX]", "FLAT-MAX", probeFailed);
    }
    return ProbeProcedure(ctx, host, "FLAT", Procedure::Flat, curve, probeFailed);
}

HRESULT FallingCycle(IspCtx& ctx, const std::string& host, const Curve& curve, bool& probeFailed) {
    ctx.flatProbeArmed = 1;
    if (ctx.downProbeArmed == 0) {
        ctx.mbps_max = 0;
        return 0;
    }
    ctx.downProbeArmed = 0;
    if (ctx.mbps_MMA > ctx.aperture) {
        return MaxProcedure(ctx, host, "DROP[MAX]", "DROP-MAX", probeFailed);
    }
    return ProbeProcedure(ctx, host, "DOWN", Procedure::CurveDown, curve, probeFailed);
}

}  // namespace

uint32_t ProbeMs(double seconds) {
    const double ms = seconds * 1000.0;
    // Out-of-range values cannot come from a probe; keep the cast defined.
    if (!(ms > -9.2e18 && ms < 9.2e18)) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(ms));
}

void ApplyThresholdRule(IspCtx& ctx, uint32_t minMs) {
    uint32_t offset = 13;
    if (minMs <= 40) {
        offset = 10;
    } else if (minMs <= 80) {
        offset = 11;
    } else if (minMs <= 120) {
        offset = 12;
    }
    ctx.TSD_Threshold = minMs + offset;
    const uint32_t relaxed = minMs + offset + 10;
    if (ctx.TSD_Threshold_relaxed == kThresholdNotLearnt || relaxed > ctx.TSD_Threshold_relaxed) {
        ctx.TSD_Threshold_relaxed = relaxed;
    }
}

uint32_t ProcessProbeTime(std::string_view tag, double seconds, IspCtx& ctx) {
    const uint32_t ms = ProbeMs(seconds);
    bool applied = false;
    bool newMinimum = false;
    if (ctx.idleProbeTimeMIN == 0) {
        ctx.idleProbeTimeMIN = ms;
        ctx.probeTimeAvg = ms;
        applied = true;
    } else if (ms <= ctx.idleProbeTimeMIN) {
        ctx.idleProbeTimeMIN = ms;
        ctx.probeTimeAvg = (ms + 2 * ctx.probeTimeAvg) / 3;
        applied = true;
        newMinimum = true;
    }
    if (applied) {
        ApplyThresholdRule(ctx, ctx.idleProbeTimeMIN);
        LogLine line(LogLevel::Debug);
        line << "[G " << ctx.G << "] " << tag
             << ": UPDATE idleProbeTimeMIN=" << ctx.idleProbeTimeMIN
             << ",  TSD_Threshold= " << ctx.TSD_Threshold << ", relaxed "
             << ctx.TSD_Threshold_relaxed << " [ap " << ctx.aperture << ", mbps " << ctx.mbps
             << ", mbps_max " << ctx.mbps_max << "]";
        AppendProbeCounts(line, ctx);
    }
    if (applied) {
        // Printed once the log line is finished (the logger's lock is released).
        ConsolePrintf("[ap %0.2f, G %i] UPDATE idleProbeTimeMIN=%u TSD_Threshold=%u\n",
                      ctx.aperture, ctx.G, ctx.idleProbeTimeMIN, ctx.TSD_Threshold);
    }
    if (newMinimum || ms <= ctx.probeTimeAvg) DeferProbes(ctx.mbps, ctx.DeferralPoint);
    return ms;
}

HRESULT CheckAndProbeISP(IspCtx& ctx, const std::string& host) {
    GetInternetDownloadStats(ctx);

    if (gRegDebugLevel >= 5 || ctx.mbps >= kHugeMbps) {
        if (ctx.mbps >= kHugeMbps) {
            // A reading this large is a counter glitch, not traffic: dropped whole.
            ConsolePrintf(
                "[ap %0.2f, G %i] [HUGE#] Tarnel mbps - Process only %f, Process+Domain %f\n\n",
                ctx.aperture, ctx.G, ctx.processOnlyMbps, ctx.processDomainMbps);
            LogDebug("[ap ", ctx.aperture, ", G ", ctx.G, "] [HUGE#] mbps - Process only ",
                     ctx.processOnlyMbps, ", Process+Domain ", ctx.processDomainMbps);
            return 0;
        }
        ConsolePrintf("[ap %0.2f, G %i] Tarnel mbps - Process only %f, Process+Domain %f\n\n",
                      ctx.aperture, ctx.G, ctx.processOnlyMbps, ctx.processDomainMbps);
        LogDebug("[ap ", ctx.aperture, ", G ", ctx.G, "] mbps - Process only ", ctx.processOnlyMbps,
                 ", Process+Domain ", ctx.processDomainMbps);
    }
    if (ctx.mbps_MMA > ctx.mbps_max) ctx.mbps_max = ctx.mbps_MMA;
    if (ctx.lastDownloadLimitMbps > 0 && ctx.mbps > ctx.lastDownloadLimitMbps) {
        LogDebug("[ap ", ctx.aperture, ", G ", ctx.G, "] mbps ", ctx.mbps, " > last setting ",
                 ctx.lastDownloadLimitMbps, " !!!???");
    }

    HRESULT result = 0;
    bool probeFailed = false;
    if (ctx.mbps < kIdleMbps) {
        result = IdleCycle(ctx, host, probeFailed);
    } else if (ctx.floor >= ctx.mbps || ctx.floor >= ctx.mbps_MMA) {
        if (gRegDebugLevel >= 4) {
            LogLine line(LogLevel::Debug);
            line << "[G " << ctx.G << ", ap " << ctx.aperture << "/" << ctx.DownloadRecoveryBW
                 << "] BELOW FLOOR: mbps " << ctx.mbps << " <= " << ctx.floor;
            AppendProbeCounts(line, ctx);
        }
    } else {
        ctx.idleSecs = 0;
        Curve curve{};
        curve.delta = ctx.mbps_MMA - ctx.prevMMA;
        curve.abs = std::fabs(curve.delta);
        curve.margin = ctx.prevMMA * 0.01;
        if (curve.margin > curve.abs) {
            result = FlatCycle(ctx, host, curve, probeFailed);
        } else if (curve.delta > 0) {
            ctx.downProbeArmed = 1;
            ctx.flatProbeArmed = 1;
            if (gRegDebugLevel >= 4) {
                LogLine line(LogLevel::Debug);
                line << "[G " << ctx.G << ", ap " << ctx.aperture << "/" << ctx.DownloadRecoveryBW
                     << "] RISING: [delta " << curve.delta << "]";
                AppendProbeCounts(line, ctx);
            }
        } else if (curve.delta < 0) {
            result = FallingCycle(ctx, host, curve, probeFailed);
        }
    }
    // A failed probe ends the cycle at once: the curve of this cycle is not
    // taken as the base of the next.
    if (probeFailed) return E_FAIL;
    EndOfCycle(ctx);
    return result;
}
