// Summary per phase, state.csv and the plot script of a lab run.
#include "lab/results.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include "lab/processes.h"

namespace lab {
namespace {

constexpr double kBytesPerProbe = 1139;  // the monitor's own figure per latency request
constexpr double kHoursPerDay = 24;
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

}  // namespace

Spread SpreadOf(std::vector<double> values) {
    Spread s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values) sum += v;
    s.mean = sum / static_cast<double>(values.size());
    size_t rank = static_cast<size_t>(std::ceil(0.95 * static_cast<double>(values.size())));
    s.p95 = values[std::max<size_t>(rank, 1) - 1];
    return s;
}

double ProbesPerHour(const Scenario& scenario, int daysInMonth) {
    std::optional<uint32_t> mb = RegistryValue(scenario, "VormProbeMonthBudgetMB");
    if (!mb || *mb == 0) return -1;
    uint64_t perMonth =
        static_cast<uint64_t>(*mb) * 1000000ULL / static_cast<uint64_t>(kBytesPerProbe);
    uint64_t perDay = perMonth / static_cast<uint64_t>(std::max(daysInMonth, 1));
    return static_cast<double>(perDay / static_cast<uint64_t>(kHoursPerDay));
}

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

std::string StateCsv(const Scenario& scenario, const std::vector<SecondRow>& rows) {
    std::ostringstream out;
    out << "t_s,line,gateway,capacity_mbps,limit_mbps,demand,offered_mbps,delivered_mbps,"
           "queue_ms,buffer_bytes,probes,probe_ms,limit_changes\n";
    for (const SecondRow& r : rows) {
        out << Num(r.t, 1) << "," << r.line << "," << scenario.sim.lines[r.line].name << ","
            << Num(r.capacityMbps, 3) << "," << (r.limitMbps < 0 ? "" : Num(r.limitMbps, 3)) << ","
            << r.demand << "," << Num(r.offeredMbps, 3) << "," << Num(r.deliveredMbps, 3) << ","
            << Num(r.queueMs, 2) << "," << Num(r.bufferBytes, 0) << "," << r.probes << ","
            << (r.probeMs < 0 ? "" : Num(r.probeMs, 2)) << "," << r.limitChanges << "\n";
    }
    return out.str();
}

std::string GnuplotScript(const Scenario& scenario) {
    std::ostringstream out;
    out << "# Made by sandrow-lab; run in the run directory: gnuplot plot.gp\n"
           "set terminal pngcairo size 1400,800 font 'DejaVu Sans,11'\n"
           "set output 'plot.png'\n"
           "set datafile separator ','\n"
           "set datafile missing ''\n"
           "set title 'sandrow-lab: "
        << scenario.name
        << "'\n"
           "set xlabel 'time (s)'\n"
           "set ylabel 'rate (Mbit/s)'\n"
           "set y2label 'delay (ms)'\n"
           "set ytics nomirror\n"
           "set y2tics\n"
           "set yrange [0:*]\n"
           "set y2range [0:*]\n"
           "set offsets 0, 0, graph 0.1, 0\n"
           "set xrange [0:"
        << Num(scenario.duration, 0)
        << "]\n"
           "set grid\n"
           "set key outside below horizontal\n";
    for (const Phase& phase : scenario.phases) {
        if (phase.start > 0) {
            out << "set arrow from " << Num(phase.start, 1) << ", graph 0 to "
                << Num(phase.start, 1) << ", graph 1 nohead dt 3 lc rgb 'gray50'\n";
        }
        out << "set label '" << phase.name << "' at " << Num(phase.start + 0.5, 1)
            << ", graph 0.97 left font ',9' tc rgb 'gray30'\n";
    }
    out << "plot \\\n";
    const size_t lines = scenario.sim.lines.size();
    for (size_t l = 0; l < lines; ++l) {
        const std::string name = lines > 1 ? " " + scenario.sim.lines[l].name : "";
        const std::string pick = "($2==" + std::to_string(l) + "?";
        out << "  'state.csv' skip 1 using 1:" << pick
            << "$4:NaN) with steps lw 2 lc rgb '#1f77b4' title 'capacity" << name << "', \\\n"
            << "  'state.csv' skip 1 using 1:" << pick
            << "$5:NaN) with steps lw 2 lc rgb '#d62728' title 'limit" << name << "', \\\n"
            << "  'state.csv' skip 1 using 1:" << pick
            << "$8:NaN) with lines lw 1.5 lc rgb '#2ca02c' title 'delivered" << name << "', \\\n"
            << "  'state.csv' skip 1 using 1:" << pick
            << "$9:NaN) axes x1y2 with lines lw 1 lc rgb '#ff7f0e' title 'queueing delay (ms)"
            << name << "', \\\n";
    }
    out << "  'state.csv' skip 1 using 1:12 axes x1y2 with points pt 7 ps 0.8 lc rgb '#9467bd' "
           "title 'probe answer delay (ms)'\n";
    return out.str();
}

std::string StatusLine(const Scenario& scenario, double t, const std::vector<SecondRow>& rows,
                       const ProbeRecord* last) {
    std::ostringstream out;
    out << "[" << Num(t, 0) << "/" << Num(scenario.duration, 0) << " s]";
    for (const SecondRow& r : rows) {
        if (scenario.sim.lines.size() > 1) out << " " << scenario.sim.lines[r.line].name << ":";
        char text[200];
        std::snprintf(text, sizeof text,
                      " cap %6.2f | limit %7s | delivered %6.2f mbps | queue %6.1f ms",
                      r.capacityMbps, r.limitMbps < 0 ? "none" : Num(r.limitMbps, 2).c_str(),
                      r.deliveredMbps, r.queueMs);
        out << text;
    }
    if (last == nullptr) {
        out << " | no probe yet";
    } else if (last->servedMs < 0) {
        out << " | last probe unanswered at " << Num(last->at, 1) << " s";
    } else {
        out << " | last probe " << Num(last->servedMs, 1) << " ms at " << Num(last->at, 1) << " s";
    }
    return out.str();
}

}  // namespace lab
