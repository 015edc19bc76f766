// What a lab run leaves: the per-second state (state.csv), the summary per
// phase, and the gnuplot script behind plot.png.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lab/scenario.h"
#include "lab/standins.h"

namespace lab {

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
Spread SpreadOf(std::vector<double> values);

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

}  // namespace lab
