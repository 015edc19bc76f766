// What a lab run leaves, in either world: the records the worlds keep, the
// figures made of them, and the outputs (summary.txt, the kernel lab's
// summary.json, state.csv, plot.gp and the status line of every second).
// The simulated lab keeps one run sampled ten times a second; the kernel lab
// keeps two (without and with sandrow) of real TCP, second by second and line
// by line, measured by a latency meter on each line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lab/scenario.h"
#include "lab/standins.h"
#include "lab/traffic.h"

namespace lab {

// The simulated lab.

// A look at one line, taken ten times a second.
struct Sample {
    double t = 0;  // seconds since the world started
    size_t line = 0;
    double queueMs = 0;
    bool loaded = false;       // the demand is not idle
    double deliveredBits = 0;  // totals since the start
    double capacityBits = 0;
};

// One line of state.csv.
struct SecondRow {
    double t = 0;
    size_t line = 0;
    double capacityMbps = 0;
    double limitMbps = -1;  // -1: none
    std::string demand;
    double offeredMbps = 0;
    double deliveredMbps = 0;  // over the second before t
    double queueMs = 0;
    double bufferBytes = 0;
    int probes = 0;       // latency requests that arrived in the second before t
    double probeMs = -1;  // the largest answer delay among them; -1: none answered
    int64_t limitChanges = 0;
};

// What the summary says about sandrow itself.
struct SandrowFacts {
    bool started = false;
    bool stoppedByLab = false;  // it ran until the lab sent SIGINT
    int exitCode = -1;          // ExitText() form when negative
    double exitedAt = -1;       // seconds, when it ended before the lab stopped it
    std::string console;        // its console output
};

struct RunRecord {
    double endedAt = 0;  // seconds the world ran
    std::vector<Sample> samples;
    std::vector<SecondRow> rows;
    std::vector<ProbeRecord> probes;
    std::vector<PostRecord> posts;
    std::vector<std::string> notes;  // events applied and problems, with their times
    SandrowFacts sandrow;
    int daysInMonth = 30;  // of sandrow's month, for the budget per hour
};

// Mean and 95th percentile (nearest rank) of the values; zero for none.
struct Spread {
    size_t count = 0;
    double mean = 0;
    double p95 = 0;
};
Spread SpreadOf(const std::vector<double>& values);
// The value at `share` (0.5: the median) by nearest rank; zero for none.
double Percentile(std::vector<double> values, double share);

// Probes per hour that VormProbeMonthBudgetMB allows (the monitor's integer
// arithmetic); -1 for unlimited probing (0 or no value).
double ProbesPerHour(const Scenario& scenario, int daysInMonth);

std::string SummaryText(const Scenario& scenario, const RunRecord& run);
std::string StateCsv(const Scenario& scenario, const std::vector<SecondRow>& rows);
// Reads state.csv and draws capacity, limit, delivered rate, queueing delay
// and the probes' answer delays into plot.png.
std::string GnuplotScript(const Scenario& scenario);

// The status line printed every second; `lastProbe` may be null.
std::string StatusLine(const Scenario& scenario, double t, const std::vector<SecondRow>& rows,
                       const ProbeRecord* lastProbe);

// The kernel lab.

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

// Text shared by the outputs: a limit ("lifted" at the link's speed, "-" for
// none) and a column of a table.
std::string LimitText(double mbps);
std::string Padded(const std::string& text, size_t width);

}  // namespace lab
