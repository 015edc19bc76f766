// The figures the outputs are made of: percentiles, the probe budget per
// hour, the kernel lab's phase figures and which gateway each probe was for.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "lab/results.h"

namespace lab {
namespace {

constexpr double kBytesPerProbe = 1139;  // the monitor's own figure per latency request
constexpr double kHoursPerDay = 24;

}  // namespace

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

Spread SpreadOf(const std::vector<double>& values) {
    Spread s;
    s.count = values.size();
    for (double v : values) s.mean += v;
    if (!values.empty()) s.mean /= static_cast<double>(values.size());
    s.p95 = Percentile(values, 0.95);
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

}  // namespace lab
