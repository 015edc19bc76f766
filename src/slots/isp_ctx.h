// The per-gateway state of the aperture algorithm and the 16 slots that hold
// it, one per possible internet gateway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kMaxIsps = 16;
// Exclusive upper bound of a download limit, bps; the shaper's "not set" (-1)
// is read as this bound.
inline constexpr uint64_t INVALID_DLBW_BPS = 1500000000;
// The limit is the aperture times this margin.
inline constexpr double kFud = 1.1;
// Highest aperture when growth is allowed: 1500 / 1.1, so the limit never reaches 1500 mbps.
inline constexpr double kMaxGrowthAperture = 1363.6363636363635;
inline constexpr uint32_t kThresholdNotLearnt = 0xFFFFFFFF;

// A probe deferral: probes wait while the rate stays near `mbps` until the tick.
struct Deferral {
    double mbps;
    uint64_t untilTick;  // GetTickCount64 ms
};

// Rates in mbps, times in ms, counters in probes, unless a field says otherwise.
struct IspCtx {
    int32_t TargetIfIndex;           // interface of the gateway's adapter; -1 = none
    int32_t G;                       // the shaper's gateway index; negative = slot free
    uint32_t idleProbeTimeMIN;       // smallest probe time seen; 0 = none yet
    uint32_t probeTimeAvg;           // (sample + 2 * old) / 3
    uint32_t TSD_Threshold;          // limit detected at or above; kThresholdNotLearnt
    uint32_t TSD_Threshold_relaxed;  // for the [MAX] cases; only grows
    uint32_t idleProbeCount;
    uint32_t idleCycleCount;
    uint32_t failureCount;  // failed probe cycles since the last re-initialisation
    uint8_t active;         // probed and reported only when non-zero
    uint8_t downProbeArmed;
    uint8_t flatProbeArmed;
    int32_t repeatFlatCount;
    uint32_t idleSecs;  // consecutive idle cycles
    uint64_t gProbeCount;
    uint64_t reportedProbeCount;
    uint64_t ProbeCountHourCheckpoint;
    uint64_t gProbesSentThisHour;
    uint8_t budgetLogged;
    uint64_t lastProcessTotal;   // bits, process counters only
    uint64_t lastCombinedTotal;  // bits, processes plus domains
    uint8_t firstSample;
    double mbps;
    double mbps_max;
    double prevMbps;
    double mbps_MMA;
    double prevMMA;
    double processDomainMbps;
    double processOnlyMbps;
    double initialAperture;
    double initialUploadMbps;
    double aperture;
    double uploadMbps;
    double DownloadRecoveryBW;
    double floor;
    double maxAperture;
    double lastDownloadLimitMbps;
    double lastUploadLimitMbps;
    uint64_t lastDownloadLimitBps;
    std::wstring gatewayMAC;
    std::wstring adapterMAC;
    Deferral DeferralPoint;
    std::vector<int32_t> deviceIDs;
};

// Built with every field zero (G included) until the monitor's first
// re-initialisation.
extern IspCtx gIspCtx[kMaxIsps];

// Writes the start values into all 16 slots; the two MAC texts keep their
// contents.
void ReinitIspContexts();

// Tests: every slot back to its built, all-zero state.
void ResetIspContextsForTest();
