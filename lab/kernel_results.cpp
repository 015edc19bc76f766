// The kernel lab's figures, summary, state.csv and plot script.
#include "lab/kernel_results.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <sstream>

namespace lab {
namespace {

// Where the targets are judged: the phase in which the downloads fill the
// line at its first capacity.
constexpr const char* kSaturatedPhase = "saturated";
constexpr double kTargetAddedP95Ms = 40;
constexpr double kTargetGoodputShare = 0.80;
constexpr double kUnshapedAddedP95Ms = 150;

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

std::string LimitText(double mbps) {
    if (mbps < 0) return "-";
    if (mbps >= kLiftedMbps) return "lifted";
    return Num(mbps, 1);
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

const KernelRunRecord* RunNamed(const std::vector<KernelRunRecord>& runs, bool shaped) {
    for (const KernelRunRecord& r : runs) {
        if (r.shaped == shaped) return &r;
    }
    return nullptr;
}

}  // namespace

double MedianRtt(const std::vector<EchoMeter::Sample>& samples, double from, double to) {
    std::vector<double> rtts;
    for (const EchoMeter::Sample& s : samples) {
        if (s.rttMs >= 0 && s.sentAt >= from && s.sentAt < to) rtts.push_back(s.rttMs);
    }
    return Percentile(rtts, 0.5);
}

void AttributeProbes(const std::string& apertureLog, const std::vector<int32_t>& gatewayIds,
                     KernelRunRecord* run) {
    // "0000051<Tue Dec  8 10:14:52 2026-0001633>~<DEBUG>:[ap 21.8, G 3, p's 2][IDLE] Sent
    // Probe ...": the milliseconds since sandrow started, and the gateway.
    std::vector<double> at;  // on the run's clock, from the launch
    std::vector<int> line;
    std::istringstream lines(apertureLog);
    for (std::string text; std::getline(lines, text);) {
        const size_t end = text.find(">~");
        const size_t gate = text.find(", G ");
        if (text.find("] Sent Probe") == std::string::npos || end == std::string::npos || end < 7 ||
            gate == std::string::npos) {
            continue;
        }
        at.push_back(run->sandrowStartS + std::strtod(text.c_str() + end - 7, nullptr) / 1000);
        auto known = std::find(gatewayIds.begin(), gatewayIds.end(),
                               std::strtol(text.c_str() + gate + 4, nullptr, 10));
        line.push_back(known == gatewayIds.end() ? -1
                                                 : static_cast<int>(known - gatewayIds.begin()));
    }
    if (at.empty()) {
        if (gatewayIds.size() == 1) {
            for (KernelProbe& p : run->probes) p.line = 0;
        }
        return;
    }
    // sandrow's clock starts some milliseconds after the launch (exec, the
    // loader). Probes go out one at a time, so with the right delay every
    // logged probe is followed by exactly one request before the next is
    // logged: the delay is the one under which most are.
    auto fits = [&](double delay) {
        size_t count = 0, request = 0;
        for (size_t k = 0; k < at.size(); ++k) {
            const double from = at[k] + delay;
            const double to = k + 1 < at.size() ? at[k + 1] + delay : 1e18;
            while (request < run->probes.size() && run->probes[request].at < from) ++request;
            size_t inside = 0;
            for (size_t r = request; r < run->probes.size() && run->probes[r].at < to; ++r) {
                ++inside;
            }
            count += inside == 1 ? 1 : 0;
        }
        return count;
    };
    constexpr int kMaxDelayMs = 1000;
    std::vector<size_t> fitted;
    for (int ms = 0; ms <= kMaxDelayMs; ++ms) fitted.push_back(fits(ms / 1000.0));
    // The middle of the first run of delays that fit best.
    const size_t best = *std::max_element(fitted.begin(), fitted.end());
    const auto first = std::find(fitted.begin(), fitted.end(), best);
    const auto end = std::find_if(first, fitted.end(), [best](size_t n) { return n != best; });
    const double delay = (static_cast<double>(first - fitted.begin()) +
                          static_cast<double>(end - 1 - fitted.begin())) /
                         2000.0;
    // A request belongs to the last probe logged before it arrived.
    size_t next = 0;
    for (KernelProbe& p : run->probes) {
        while (next < at.size() && at[next] + delay <= p.at) ++next;
        p.line = next == 0 ? -1 : line[next - 1];
    }
}

PhaseFigures FiguresOf(const KernelRunRecord& run, size_t line, const Phase& phase,
                       uint32_t wanAddress) {
    PhaseFigures f;
    if (line >= run.lines.size()) return f;
    const KernelLineRecord& record = run.lines[line];
    double delivered = 0;
    double capacity = 0;
    size_t rows = 0;
    for (const KernelSecond& s : record.seconds) {
        if (s.t <= phase.start || s.t > phase.end) continue;
        delivered += s.goodputMbps;
        capacity += s.capacityMbps;
        const bool first = rows++ == 0;
        if (first) f.limitStartMbps = s.limitMbps;
        f.limitEndMbps = s.limitMbps;
        // A row holds the last look of the second before t: below at the
        // phase's first row counts as below from its start.
        if (f.onsetS < 0 && s.limitMbps >= 0 && s.limitMbps < s.capacityMbps) {
            f.onsetS = first ? 0 : s.t - phase.start;
        }
        if (s.limitMbps >= 0) {
            f.limitMinMbps =
                f.limitMinMbps < 0 ? s.limitMbps : std::min(f.limitMinMbps, s.limitMbps);
            f.limitMaxMbps = std::max(f.limitMaxMbps, s.limitMbps);
        }
    }
    f.goodputShare = capacity > 0 ? delivered / capacity : 0;
    std::vector<double> added;
    std::vector<double> settled;
    const double half = phase.start + (phase.end - phase.start) / 2;
    for (const EchoMeter::Sample& s : record.meter) {
        if (s.sentAt < phase.start || s.sentAt >= phase.end) continue;
        if (s.rttMs < 0) {
            ++f.lost;
            continue;
        }
        added.push_back(std::max(0.0, s.rttMs - record.idleRttMs));
        if (s.sentAt >= half) settled.push_back(added.back());
    }
    f.answered = added.size();
    f.addedMedianMs = Percentile(added, 0.5);
    f.addedP95Ms = Percentile(added, 0.95);
    f.settledMedianMs = Percentile(settled, 0.5);
    f.settledP95Ms = Percentile(settled, 0.95);
    for (const KernelProbe& p : run.probes) {
        if (p.line != static_cast<int>(line) || p.at < phase.start || p.at >= phase.end) continue;
        ++(p.from == wanAddress ? f.probesOwn : f.probesOther);
    }
    return f;
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

std::string KernelStateCsv(const Scenario& scenario, const std::vector<KernelRunRecord>& runs) {
    const std::vector<SimLine>& lines = scenario.sim.lines;
    auto prefix = [&](size_t line) { return lines.size() > 1 ? lines[line].name + "_" : ""; };
    std::ostringstream out;
    out << "t";
    for (size_t l = 0; l < lines.size(); ++l) {
        out << "," << prefix(l) << "capacity_mbps," << prefix(l) << "loaded";
        for (const KernelRunRecord& r : runs) {
            for (const char* column : {"goodput_mbps", "limit_mbps", "added_ms", "isp_queue_ms",
                                       "router_queue_ms", "probes"}) {
                out << "," << prefix(l) << r.name << "_" << column;
            }
        }
    }
    out << "\n";
    size_t rows = 0;
    for (const KernelRunRecord& r : runs) {
        for (const KernelLineRecord& line : r.lines) rows = std::max(rows, line.seconds.size());
    }
    for (size_t i = 0; i < rows; ++i) {
        for (size_t l = 0; l < lines.size(); ++l) {
            const KernelSecond* any = nullptr;
            for (const KernelRunRecord& r : runs) {
                if (l < r.lines.size() && i < r.lines[l].seconds.size()) {
                    any = &r.lines[l].seconds[i];
                }
            }
            if (any == nullptr) {
                out << ",," << std::string(6 * runs.size(), ',');
                continue;
            }
            if (l == 0) out << Num(any->t, 0);
            out << "," << Num(any->capacityMbps, 2) << "," << (any->loaded ? 1 : 0);
            for (const KernelRunRecord& r : runs) {
                if (l >= r.lines.size() || i >= r.lines[l].seconds.size()) {
                    out << ",,,,,,";
                    continue;
                }
                const KernelSecond& s = r.lines[l].seconds[i];
                // A lifted or missing limit is left empty: gnuplot draws no line.
                out << "," << Num(s.goodputMbps, 3) << ","
                    << (s.limitMbps < 0 || s.limitMbps >= kLiftedMbps ? "" : Num(s.limitMbps, 3))
                    << "," << (s.addedMs < 0 ? "" : Num(s.addedMs, 2)) << ","
                    << Num(s.ispQueueMs, 1) << "," << Num(s.routerQueueMs, 1) << "," << s.probes;
            }
        }
        out << "\n";
    }
    return out.str();
}

namespace {

// One line's curves in the plot: its rates (capacity, each run's goodput,
// sandrow's limit) and its latencies, from its block of columns at `base`.
std::pair<std::vector<std::string>, std::vector<std::string>> LineCurves(
    size_t base, const std::vector<bool>& shaped) {
    auto col = [&](size_t run, size_t offset) {
        return std::to_string(base + 2 + 6 * run + offset);
    };
    std::vector<std::string> rates{std::to_string(base) +
                                   " with steps lw 2 lc rgb '#1f77b4' title 'capacity'"};
    std::vector<std::string> latency;
    for (size_t r = 0; r < shaped.size(); ++r) {
        if (!shaped[r]) {
            rates.push_back(col(r, 0) +
                            " with lines lw 1.5 lc rgb '#ff7f0e' title 'goodput without'");
            latency.push_back(col(r, 2) +
                              " with lines lw 1.5 lc rgb '#ff7f0e' title 'meter, without'");
            continue;
        }
        rates.push_back(col(r, 0) +
                        " with lines lw 1.5 lc rgb '#2ca02c' title 'goodput with sandrow'");
        rates.push_back(col(r, 1) + " with steps lw 2 lc rgb '#d62728' title 'limit (sandrow)'");
        latency.push_back(col(r, 2) +
                          " with lines lw 1.5 lc rgb '#2ca02c' title 'meter, with sandrow'");
        latency.push_back(col(r, 3) +
                          " with lines dt 2 lc rgb '#9467bd' title 'ISP queue, with sandrow'");
        latency.push_back(col(r, 4) +
                          " with lines dt 3 lc rgb '#8c564b' title 'router queue, with sandrow'");
    }
    return {rates, latency};
}

}  // namespace

std::string KernelGnuplotScript(const Scenario& scenario) {
    const std::vector<SimLine>& lines = scenario.sim.lines;
    // The runs made, in the state file's order: the unshaped one first.
    std::vector<bool> shaped;
    if (scenario.kernel.runUnshaped) shaped.push_back(false);
    if (scenario.kernel.runSandrow) shaped.push_back(true);
    const char* made = shaped.size() == 2 ? "without and with sandrow"
                       : shaped.front()   ? "with sandrow"
                                          : "without shaping";
    std::ostringstream out;
    out << "# Made by sandrow-lab --kernel; run in the run directory: gnuplot plot.gp\n"
           "set terminal pngcairo size 1400,"
        << 1000 * lines.size()
        << " font 'DejaVu Sans,11' noenhanced\n"
           "set output 'plot.png'\n"
           "set datafile separator ','\n"
           "set datafile missing ''\n"
           "set multiplot layout "
        << 2 * lines.size() << ",1 title 'sandrow-lab --kernel: " << scenario.name << " (real TCP; "
        << made
        << ")'\n"
           "set xrange [0:"
        << Num(scenario.duration, 0)
        << "]\n"
           "set grid\n"
           "set key outside right top vertical\n"
           "set lmargin 10\n"
           "set rmargin 30\n";
    for (const Phase& phase : scenario.phases) {
        if (phase.start > 0) {
            out << "set arrow from " << Num(phase.start, 1) << ", graph 0 to "
                << Num(phase.start, 1) << ", graph 1 nohead dt 3 lc rgb 'gray50'\n";
        }
        out << "set label '" << phase.name << "' at " << Num(phase.start + 0.5, 1)
            << ", graph 0.96 left font ',9' tc rgb 'gray30'\n";
    }
    // Columns: 1 t, then per line a block: capacity, loaded, and for each
    // run made its goodput, limit, added, ISP queue, router queue, probes.
    auto plot = [&](const std::vector<std::string>& curves) {
        out << "plot 'state.csv' skip 1 using 1:" << curves[0];
        for (size_t i = 1; i < curves.size(); ++i) out << ", \\\n  '' skip 1 using 1:" << curves[i];
        out << "\n";
    };
    for (size_t l = 0; l < lines.size(); ++l) {
        const std::string of = lines.size() > 1 ? lines[l].name + ": " : "";
        const auto [rates, latency] = LineCurves(2 + (2 + 6 * shaped.size()) * l, shaped);
        out << "set xlabel ''\nset ylabel '" << of
            << "rate (Mbit/s)'\nset yrange [0:*]\nset offsets 0, 0, graph 0.12, 0\n";
        plot(rates);
        out << "set ylabel '" << of
            << "latency added over idle (ms)'\nset xlabel 'time (s)'\n"
               "set offsets 0, 0, graph 0.12, 0\n";
        plot(latency);
    }
    out << "unset multiplot\n";
    return out.str();
}

std::string KernelStatusLine(const Scenario& scenario, const KernelRunRecord& run, size_t row) {
    std::ostringstream out;
    bool first = true;
    for (size_t l = 0; l < run.lines.size(); ++l) {
        if (row >= run.lines[l].seconds.size()) continue;
        const KernelSecond& s = run.lines[l].seconds[row];
        if (first) out << "[" << std::setw(3) << Num(s.t, 0) << " s] " << Padded(run.name, 9);
        if (run.lines.size() > 1) out << (first ? "" : " | ") << scenario.sim.lines[l].name << ": ";
        first = false;
        out << "capacity " << Num(s.capacityMbps, 1) << ", limit " << LimitText(s.limitMbps)
            << ", goodput " << Num(s.goodputMbps, 1) << " mbps; latency ";
        if (s.addedMs < 0) {
            out << "-";
        } else {
            out << "+" << Num(s.addedMs, 1) << " ms";
        }
        out << ", ISP queue " << Num(s.ispQueueMs, 0) << " ms, router queue "
            << Num(s.routerQueueMs, 0) << " ms";
        if (s.probes > 0) out << ", " << s.probes << " probe" << (s.probes > 1 ? "s" : "");
    }
    return out.str();
}

}  // namespace lab
