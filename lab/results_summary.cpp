// The summaries: the simulated run's per phase and line, the kernel lab's
// two runs side by side with their targets, and the kernel lab's
// summary.json that the tuning study and CI read.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "lab/processes.h"
#include "lab/results.h"

namespace lab {
namespace {

constexpr size_t kSelectionServers = 5;  // the monitor times the five nearest once each

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++count;
    }
    return count;
}

// The samples of `line` at the start and the end of [start, end).
const Sample* SampleAt(const std::vector<Sample>& samples, size_t line, double t) {
    const Sample* found = nullptr;
    for (const Sample& s : samples) {
        if (s.line != line) continue;
        found = &s;
        if (s.t >= t) break;
    }
    return found;
}

std::string Percent(double part, double whole) {
    return whole > 0 ? Num(100.0 * part / whole, 1) + " %" : "-";
}

// Where the targets are judged: the phase in which the downloads fill the
// line at its first capacity.
constexpr const char* kSaturatedPhase = "saturated";
constexpr double kTargetAddedP95Ms = 40;
constexpr double kTargetGoodputShare = 0.80;
constexpr double kUnshapedAddedP95Ms = 150;

const KernelRunRecord* RunNamed(const std::vector<KernelRunRecord>& runs, bool shaped) {
    for (const KernelRunRecord& r : runs) {
        if (r.shaped == shaped) return &r;
    }
    return nullptr;
}

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A figure, or null where there is none (a negative one).
std::string JsonNumber(double value, int decimals = 3) {
    return value < 0 || !std::isfinite(value) ? "null" : Num(value, decimals);
}

}  // namespace

namespace {

// One line over [start, end) of a phase: what it delivered of its capacity,
// its queueing delay under load and the shaper limits it had.
void LineSummary(std::ostringstream& out, const Scenario& scenario, const RunRecord& run, size_t l,
                 double start, double end) {
    const SimLine& line = scenario.sim.lines[l];
    const Sample* a = SampleAt(run.samples, l, start);
    const Sample* b = SampleAt(run.samples, l, end);
    double delivered = a && b ? (b->deliveredBits - a->deliveredBits) / 1e6 : 0;
    double capacity = a && b ? (b->capacityBits - a->capacityBits) / 1e6 : 0;
    std::vector<double> queue;
    for (const Sample& s : run.samples) {
        if (s.line == l && s.loaded && s.t >= start && s.t < end) {
            queue.push_back(s.queueMs);
        }
    }
    Spread q = SpreadOf(queue);
    double lowest = -1, highest = -1, atEnd = -1;
    for (const SecondRow& row : run.rows) {
        if (row.line != l || row.t <= start || row.t > end || row.limitMbps < 0) {
            continue;
        }
        lowest = lowest < 0 ? row.limitMbps : std::min(lowest, row.limitMbps);
        highest = std::max(highest, row.limitMbps);
        atEnd = row.limitMbps;
    }
    out << "  " << line.name << ": demand " << DemandText(DemandAt(line.demand, start))
        << ", capacity " << Num(CapacityAt(line.capacity, start), 1) << " mbps\n"
        << "    delivered / capacity: " << Num(delivered, 1) << " / " << Num(capacity, 1)
        << " Mbit (" << Percent(delivered, capacity) << ")\n"
        << "    queueing delay under load: ";
    if (q.count == 0) {
        out << "no load\n";
    } else {
        out << "mean " << Num(q.mean, 1) << " ms, p95 " << Num(q.p95, 1) << " ms\n";
    }
    if (atEnd >= 0) {
        out << "    shaper limit: " << Num(lowest, 2) << " to " << Num(highest, 2) << " mbps, "
            << Num(atEnd, 2) << " at the end\n";
    }
}

// The phase's probes against the budget; the first `selection` probes of the
// run timed the servers for the choice and are counted apart. The last phase
// also takes what came after the end.
void ProbesSummary(std::ostringstream& out, const RunRecord& run, double start, double end,
                   bool last, size_t selection, double perHour) {
    size_t probes = 0, selectionHere = 0, unanswered = 0;
    for (size_t i = 0; i < run.probes.size(); ++i) {
        const ProbeRecord& r = run.probes[i];
        if (r.at < start || (r.at >= end && !last)) continue;
        (i < selection ? selectionHere : probes) += 1;
        if (r.servedMs < 0) ++unanswered;
    }
    out << "    probes: " << probes;
    if (selectionHere > 0) out << " (+" << selectionHere << " for the server choice)";
    if (unanswered > 0) out << ", " << unanswered << " not answered";
    if (perHour < 0) {
        out << "; budget: unlimited\n";
    } else {
        double allowed = perHour * (end - start) / 3600.0;
        out << " against a budget of " << Num(allowed, 1) << " (" << Num(perHour, 0)
            << " per hour)\n";
    }
}

// The reports posted in the phase and the collector's answers; the last
// phase also takes the report sent at exit.
void ReportsSummary(std::ostringstream& out, const RunRecord& run, double start, double end,
                    bool last) {
    std::vector<const PostRecord*> posts;
    for (const PostRecord& r : run.posts) {
        if (r.at >= start && (r.at < end || last)) posts.push_back(&r);
    }
    out << "    reports: " << posts.size();
    for (const PostRecord* r : posts) {
        out << (r == posts.front() ? " [" : ", ") << "answered " << r->status << " at "
            << Num(r->at, 1)
            << " s: " << (r->form.probes ? std::to_string(*r->form.probes) : std::string("?"))
            << " probes";
    }
    out << (posts.empty() ? "\n" : "]\n");
}

// The whole run: what sandrow's console shows it did and how it ended, and
// what the collector took.
void RunTotals(std::ostringstream& out, const RunRecord& run) {
    const std::string& console = run.sandrow.console;
    out << "\nsandrow: ";
    if (!run.sandrow.started) {
        out << "did not start\n";
    } else {
        out << CountOf(console, "LIMIT DETECTED") << " limits detected, "
            << CountOf(console, "-----> ") << " moves down, " << CountOf(console, "+++++> ")
            << " moves up, " << CountOf(console, "Idle DL BW Recovery") << " idle recovery steps, "
            << CountOf(console, "restarting service") << " restarts; ";
        out << (run.sandrow.stoppedByLab
                    ? "stopped with SIGINT, "
                    : "ended by itself at " + Num(run.sandrow.exitedAt, 1) + " s, ")
            << ExitText(run.sandrow.exitCode) << "\n";
    }
    size_t delivered = 0, kept = 0;
    for (const PostRecord& r : run.posts) {
        if (!r.form.probes) continue;
        (r.status == 200 ? delivered : kept) += static_cast<size_t>(*r.form.probes);
    }
    out << "collector: " << run.posts.size() << " reports, " << delivered
        << " probes delivered (answered 200), " << kept << " in refused reports\n";
}

}  // namespace

std::string SummaryText(const Scenario& scenario, const RunRecord& run) {
    std::ostringstream out;
    const double perHour = ProbesPerHour(scenario, run.daysInMonth);
    const size_t selection =
        std::min(run.probes.size(), std::min(kSelectionServers, scenario.servers.size()));
    out << "Summary of " << scenario.name << " (" << Num(run.endedAt, 1) << " of "
        << Num(scenario.duration, 0) << " s)\n";
    for (size_t p = 0; p < scenario.phases.size(); ++p) {
        const Phase& phase = scenario.phases[p];
        if (phase.start >= run.endedAt) break;
        const double end = std::min(phase.end, run.endedAt);
        const bool last = p + 1 == scenario.phases.size();
        out << "\nPhase \"" << phase.name << "\" (" << Num(phase.start, 1) << "-" << Num(end, 1)
            << " s)\n";
        for (size_t l = 0; l < scenario.sim.lines.size(); ++l) {
            LineSummary(out, scenario, run, l, phase.start, end);
        }
        ProbesSummary(out, run, phase.start, end, last, selection, perHour);
        ReportsSummary(out, run, phase.start, end, last);
    }
    RunTotals(out, run);
    return out.str();
}

namespace {

// One line's table: per phase both runs, and the targets of its saturated
// phase.
void LineTable(const Scenario& scenario, const std::vector<KernelRunRecord>& runs, size_t line,
               std::ostringstream& out) {
    out << Padded("phase", 16) << Padded("run", 10) << Padded("goodput/capacity", 18)
        << Padded("added latency median / p95", 28) << Padded("second half", 18)
        << Padded("lost", 7) << "limit (mbps)\n";
    for (const Phase& phase : scenario.phases) {
        bool first = true;
        for (const KernelRunRecord& r : runs) {
            PhaseFigures f = FiguresOf(r, line, phase);
            std::string limit =
                f.limitMinMbps < 0 ? "-"
                : LimitText(f.limitMinMbps) == LimitText(f.limitMaxMbps)
                    ? LimitText(f.limitMinMbps)
                    : LimitText(f.limitMinMbps) + " to " + LimitText(f.limitMaxMbps);
            size_t total = f.answered + f.lost;
            out << Padded(first ? phase.name : "", 16) << Padded(r.name, 10)
                << Padded(Num(f.goodputShare * 100, 1) + " %", 18)
                << Padded(Num(f.addedMedianMs, 1) + " / " + Num(f.addedP95Ms, 1) + " ms", 28)
                << Padded(Num(f.settledMedianMs, 1) + " / " + Num(f.settledP95Ms, 1) + " ms", 18)
                << Padded(total == 0 ? "-" : Num(100.0 * f.lost / total, 1) + " %", 7) << limit
                << "\n";
            first = false;
        }
    }
    const KernelRunRecord* unshaped = RunNamed(runs, false);
    const KernelRunRecord* shaped = RunNamed(runs, true);
    auto saturated = std::find_if(scenario.phases.begin(), scenario.phases.end(),
                                  [](const Phase& p) { return p.name == kSaturatedPhase; });
    if (unshaped == nullptr || shaped == nullptr || saturated == scenario.phases.end()) return;
    PhaseFigures u = FiguresOf(*unshaped, line, *saturated);
    PhaseFigures s = FiguresOf(*shaped, line, *saturated);
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    out << "\ntargets in the saturated phase: with sandrow p95 added " << Num(s.addedP95Ms, 1)
        << " ms <= " << Num(kTargetAddedP95Ms, 0) << ": "
        << verdict(s.addedP95Ms <= kTargetAddedP95Ms) << " (second half " << Num(s.settledP95Ms, 1)
        << " ms: " << verdict(s.settledP95Ms <= kTargetAddedP95Ms) << "); goodput "
        << Num(s.goodputShare * 100, 1) << " % >= " << Num(kTargetGoodputShare * 100, 0)
        << " %: " << verdict(s.goodputShare >= kTargetGoodputShare)
        << "; without shaping p95 added " << Num(u.addedP95Ms, 1)
        << " ms >= " << Num(kUnshapedAddedP95Ms, 0)
        << " (the line's buffer): " << verdict(u.addedP95Ms >= kUnshapedAddedP95Ms) << "\n";
}

}  // namespace

std::string KernelSummaryText(const Scenario& scenario, const std::vector<KernelRunRecord>& runs) {
    std::ostringstream out;
    const std::vector<SimLine>& lines = scenario.sim.lines;
    const KernelSetup& k = scenario.kernel;
    out << "sandrow-lab --kernel: " << scenario.name << ", real TCP (" << k.flows
        << " downloads a line) through real qdiscs, "
        << (k.runUnshaped && k.runSandrow ? "twice: without shaping (sandrow not started, "
                                            "limit lifted) and with sandrow\n"
            : k.runSandrow                ? "once, with sandrow\n"
                           : "once, without shaping (sandrow not started, limit lifted)\n")
        << "latency meter: a UDP echo every " << scenario.kernel.meterIntervalMs
        << " ms on each line\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        const SimLine& line = lines[i];
        const double capacity0 = line.capacity.front().mbps;
        out << "\n"
            << (lines.size() > 1 ? "line " + line.name : std::string("line")) << ": "
            << Num(capacity0) << " mbps at first, its ISP buffer " << line.bufferBytes << " bytes ("
            << Num(line.bufferBytes * 8 / (capacity0 * 1e3), 0) << " ms at that capacity)";
        if (i < scenario.kernel.lines.size() && scenario.kernel.lines[i].rttMs > 0) {
            out << ", a round trip of " << Num(scenario.kernel.lines[i].rttMs) << " ms";
        }
        out << "\n";
        for (const KernelRunRecord& r : runs) {
            if (i < r.lines.size()) {
                out << r.name << ": idle round trip " << Num(r.lines[i].idleRttMs, 2) << " ms\n";
            }
        }
        out << "\n";
        LineTable(scenario, runs, i, out);
    }
    out << "\n";
    for (const KernelRunRecord& r : runs) {
        out << r.name << ": corvane-service " << ExitText(r.serviceExit)
            << (r.treeRemoved ? ", its tree removed" : ", its tree LEFT BEHIND");
        if (r.shaped) {
            out << "; sandrow "
                << (r.sandrow.started ? ExitText(r.sandrow.exitCode) : std::string("not started"))
                << ", " << r.probes.size() << " latency requests";
        }
        out << "\n";
    }
    return out.str();
}

std::string KernelSummaryJson(const Scenario& scenario, const std::vector<KernelRunRecord>& runs,
                              const KernelWorldFacts& facts) {
    const std::vector<SimLine>& lines = scenario.sim.lines;
    std::ostringstream out;
    out << "{\"kernel\": " << JsonText(facts.kernelRelease) << ", \"leaf\": {";
    for (size_t i = 0; i < lines.size(); ++i) {
        // The shaped run's leaf; the unshaped one's where that is all there is.
        std::string leaf;
        for (const KernelRunRecord& r : runs) {
            if (i < r.lines.size() && !r.lines[i].leafKind.empty() && (leaf.empty() || r.shaped)) {
                leaf = r.lines[i].leafKind;
            }
        }
        out << (i ? ", " : "") << JsonText(lines[i].name) << ": "
            << (leaf.empty() ? "null" : JsonText(leaf));
    }
    out << "}, \"rtt_ms\": {";
    for (size_t i = 0; i < lines.size(); ++i) {
        out << (i ? ", " : "") << JsonText(lines[i].name) << ": "
            << Num(i < scenario.kernel.lines.size() ? scenario.kernel.lines[i].rttMs : 0);
    }
    out << "},\n \"runs\": [";
    // A lifted limit is the link's speed, not a limit: null.
    auto limit = [](double mbps) { return JsonNumber(mbps >= kLiftedMbps ? -1 : mbps); };
    for (size_t i = 0; i < runs.size(); ++i) {
        const KernelRunRecord& r = runs[i];
        out << (i ? ",\n  " : "\n  ") << "{\"name\": " << JsonText(r.name) << ", \"phases\": [";
        for (size_t j = 0; j < scenario.phases.size(); ++j) {
            const Phase& phase = scenario.phases[j];
            out << (j ? ",\n    " : "\n    ") << "{\"name\": " << JsonText(phase.name)
                << ", \"gateways\": [";
            for (size_t g = 0; g < lines.size(); ++g) {
                const uint32_t wan = g < facts.wanAddresses.size() ? facts.wanAddresses[g] : 0;
                PhaseFigures f = FiguresOf(r, g, phase, wan);
                size_t total = f.answered + f.lost;
                out << (g ? ",\n      " : "") << "{\"name\": " << JsonText(lines[g].name)
                    << ", \"capacity_mbps\": " << Num(CapacityAt(lines[g].capacity, phase.start), 3)
                    << ", \"goodput_pct\": " << Num(f.goodputShare * 100, 2)
                    << ", \"added_median_ms\": " << Num(f.addedMedianMs, 2)
                    << ", \"added_p95_ms\": " << Num(f.addedP95Ms, 2)
                    << ", \"second_half_median_ms\": " << Num(f.settledMedianMs, 2)
                    << ", \"second_half_p95_ms\": " << Num(f.settledP95Ms, 2)
                    << ", \"lost_pct\": " << JsonNumber(total == 0 ? -1 : 100.0 * f.lost / total, 2)
                    << ", \"limit_start_mbps\": " << limit(f.limitStartMbps)
                    << ", \"limit_end_mbps\": " << limit(f.limitEndMbps)
                    << ", \"onset_s\": " << JsonNumber(f.onsetS, 1)
                    << ", \"probes_own_interface\": " << f.probesOwn
                    << ", \"probes_other_interface\": " << f.probesOther << "}";
            }
            out << "]}";
        }
        out << "]}";
    }
    out << "]}\n";
    return out.str();
}

}  // namespace lab
