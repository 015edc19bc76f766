// What a run leaves second by second: state.csv, the gnuplot script that
// draws it, and the status line on the console.
#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "lab/results.h"

namespace lab {

std::string LimitText(double mbps) {
    if (mbps < 0) return "-";
    if (mbps >= kLiftedMbps) return "lifted";
    return Num(mbps, 1);
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

namespace {

// What every plot script starts with.
void PlotHead(std::ostringstream& out, const std::string& made, size_t height) {
    out << "# Made by " << made
        << "; run in the run directory: gnuplot plot.gp\n"
           "set terminal pngcairo size 1400,"
        << height
        << " font 'DejaVu Sans,11' noenhanced\n"
           "set output 'plot.png'\n"
           "set datafile separator ','\n"
           "set datafile missing ''\n";
}

// The phases' boundaries and names over the time axis.
void PhaseMarks(std::ostringstream& out, const Scenario& scenario) {
    out << "set xrange [0:" << Num(scenario.duration, 0) << "]\nset grid\n";
    for (const Phase& phase : scenario.phases) {
        if (phase.start > 0) {
            out << "set arrow from " << Num(phase.start, 1) << ", graph 0 to "
                << Num(phase.start, 1) << ", graph 1 nohead dt 3 lc rgb 'gray50'\n";
        }
        out << "set label '" << phase.name << "' at " << Num(phase.start + 0.5, 1)
            << ", graph 0.96 left font ',9' tc rgb 'gray30'\n";
    }
}

}  // namespace

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
    PlotHead(out, "sandrow-lab", 800);
    out << "set title 'sandrow-lab: " << scenario.name
        << "'\n"
           "set xlabel 'time (s)'\n"
           "set ylabel 'rate (Mbit/s)'\n"
           "set y2label 'delay (ms)'\n"
           "set ytics nomirror\n"
           "set y2tics\n"
           "set yrange [0:*]\n"
           "set y2range [0:*]\n"
           "set offsets 0, 0, graph 0.1, 0\n"
           "set key outside below horizontal\n";
    PhaseMarks(out, scenario);
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
    PlotHead(out, "sandrow-lab --kernel", 1000 * lines.size());
    out << "set multiplot layout " << 2 * lines.size()
        << ",1 title 'sandrow-lab --kernel: " << scenario.name << " (real TCP; " << made
        << ")'\n"
           "set key outside right top vertical\n"
           "set lmargin 10\n"
           "set rmargin 30\n";
    PhaseMarks(out, scenario);
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
