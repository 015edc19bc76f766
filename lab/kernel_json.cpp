// The kernel lab's summary.json: per run, phase and gateway the figures
// that the tuning study and CI read.
#include <cmath>
#include <cstdio>
#include <sstream>

#include "lab/kernel_results.h"

namespace lab {
namespace {

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
