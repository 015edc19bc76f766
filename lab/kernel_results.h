// What the kernel lab leaves: both runs (without and with sandrow) second by
// second, side by side per phase in the summary, in state.csv and plot.png.
#pragma once

#include <string>
#include <vector>

#include "lab/processes.h"
#include "lab/results.h"
#include "lab/scenario.h"
#include "lab/standins.h"
#include "lab/traffic.h"

namespace lab {

// One second of one run; values over the second before t.
struct KernelSecond {
    double t = 0;
    double capacityMbps = 0;
    double limitMbps = -1;  // the router's download limit; -1: no tree
    bool loaded = false;    // the downloads ran
    double goodputMbps = 0;
    double addedMs = -1;  // median round trip over the idle one; -1: no answer
    double ispQueueMs = 0;
    double routerQueueMs = 0;
    int probes = 0;  // sandrow's latency requests
};

struct KernelRunRecord {
    std::string name;  // "unshaped" or "sandrow"
    bool shaped = false;
    std::vector<KernelSecond> seconds;
    std::vector<EchoMeter::Sample> meter;  // sentAt on the run's clock
    double idleRttMs = 0;                  // the run's baseline
    std::vector<ProbeRecord> probes;
    SandrowFacts sandrow;
    int serviceExit = -1;
    bool treeRemoved = false;  // nothing of the service was left after its stop
    std::string leafKind;      // the router's download leaf as the kernel showed it
};

// What summary.json says of the world besides the runs.
struct KernelWorldFacts {
    std::string kernelRelease;  // uname -r
    uint32_t wanAddress = 0;    // the gateway's own address: probes from it took its line
};

// A limit at or above this is the lifted one (the link's speed).
inline constexpr double kLiftedMbps = 1000;

// The figures of one phase of one run.
struct PhaseFigures {
    double goodputShare = 0;  // delivered / capacity
    double addedMedianMs = 0;
    double addedP95Ms = 0;
    // The same over the phase's second half, once the control has settled.
    double settledMedianMs = 0;
    double settledP95Ms = 0;
    size_t answered = 0;
    size_t lost = 0;
    double limitMinMbps = -1;
    double limitMaxMbps = -1;
    double limitStartMbps = -1;  // in force in the phase's first and last second
    double limitEndMbps = -1;
    double onsetS = -1;      // seconds until the limit was first below the capacity; -1: never
    size_t probesOwn = 0;    // latency requests that came from the gateway's own address
    size_t probesOther = 0;  // ... and from any other
};

// The median round trip of the answered samples in [from, to) seconds.
double MedianRtt(const std::vector<EchoMeter::Sample>& samples, double from, double to);
// `wanAddress` tells the probes of the gateway's own line from the others'.
PhaseFigures FiguresOf(const KernelRunRecord& run, const Phase& phase, uint32_t wanAddress = 0);

std::string KernelSummaryText(const Scenario& scenario, const std::vector<KernelRunRecord>& runs);
// summary.json: the world, then per run, phase and gateway the figures.
std::string KernelSummaryJson(const Scenario& scenario, const std::vector<KernelRunRecord>& runs,
                              const KernelWorldFacts& facts);
std::string KernelStateCsv(const std::vector<KernelRunRecord>& runs);
std::string KernelGnuplotScript(const Scenario& scenario);
std::string KernelStatusLine(const KernelRunRecord& run, const KernelSecond& second);

}  // namespace lab
