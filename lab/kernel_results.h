// What the kernel lab leaves: both runs (without and with sandrow) second by
// second and line by line, side by side per phase in the summary, in
// summary.json, state.csv and plot.png.
#pragma once

#include <string>
#include <vector>

#include "lab/processes.h"
#include "lab/results.h"
#include "lab/scenario.h"
#include "lab/standins.h"
#include "lab/traffic.h"

namespace lab {

// One second of one line in one run; values over the second before t.
struct KernelSecond {
    double t = 0;
    double capacityMbps = 0;
    double limitMbps = -1;  // the router's download limit; -1: no tree
    bool loaded = false;    // the downloads ran
    double goodputMbps = 0;
    double addedMs = -1;  // median round trip over the idle one; -1: no answer
    double ispQueueMs = 0;
    double routerQueueMs = 0;
    int probes = 0;  // sandrow's latency requests that came over the line
};

// One line (gateway) in one run.
struct KernelLineRecord {
    std::vector<KernelSecond> seconds;
    std::vector<EchoMeter::Sample> meter;  // the line's meter; sentAt on the run's clock
    double idleRttMs = 0;                  // the line's baseline in the run
    std::string leafKind;                  // the router's download leaf as the kernel showed it
};

// A latency request as the stand-ins saw it, with the gateway sandrow sent
// it for.
struct KernelProbe {
    double at = 0;      // on the run's clock
    uint32_t from = 0;  // the requester's address (network order)
    int line = -1;      // the gateway's line; -1: none known (a server choice's request)
};

struct KernelRunRecord {
    std::string name;  // "unshaped" or "sandrow"
    bool shaped = false;
    std::vector<KernelLineRecord> lines;  // in the scenario's order
    std::vector<KernelProbe> probes;
    SandrowFacts sandrow;
    double sandrowStartS = -1;  // on the run's clock, as the lab launched it
    int serviceExit = -1;
    bool treeRemoved = false;  // nothing of the service was left after its stop
};

// What summary.json says of the world besides the runs.
struct KernelWorldFacts {
    std::string kernelRelease;           // uname -r
    std::vector<uint32_t> wanAddresses;  // per line: probes from it took that line
};

// Which gateway each probe was for: sandrow logs every probe with its
// gateway's ID ("G 3") before it sends it, one at a time, so a request
// belongs to the last one logged before it arrived. `apertureLog` is
// sandrow's debug log, its times counted from sandrow's start, which lags the
// launch (sandrowStartS) by an amount found from the requests themselves;
// `gatewayIds` the lines' IDs in order. Requests before the first logged
// probe (the server choice's) keep line -1. Without probes in the log (a
// debug level below 4) a single line takes them all.
void AttributeProbes(const std::string& apertureLog, const std::vector<int32_t>& gatewayIds,
                     KernelRunRecord* run);

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
// The figures of `line` in `phase`; `wanAddress` tells the probes that took
// the gateway's own line from those that took another.
PhaseFigures FiguresOf(const KernelRunRecord& run, size_t line, const Phase& phase,
                       uint32_t wanAddress = 0);

std::string KernelSummaryText(const Scenario& scenario, const std::vector<KernelRunRecord>& runs);
// summary.json: the world, then per run, phase and gateway the figures.
std::string KernelSummaryJson(const Scenario& scenario, const std::vector<KernelRunRecord>& runs,
                              const KernelWorldFacts& facts);
// One row a second: per line its capacity and demand, then per run six
// columns; with several lines every column name starts with the line's.
std::string KernelStateCsv(const Scenario& scenario, const std::vector<KernelRunRecord>& runs);
std::string KernelGnuplotScript(const Scenario& scenario);
// One line of the console a second: every line's row of that second.
std::string KernelStatusLine(const Scenario& scenario, const KernelRunRecord& run, size_t row);

}  // namespace lab
