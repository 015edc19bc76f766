// The simulated lines as a backend, integrated exactly between the moments
// anybody looks.
#include "lab/sim_backend.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace lab {
namespace {

using corvane::Gateway;
using corvane::HResult;
using corvane::kInvalidArg;
using corvane::kOk;
using corvane::NetworkInterface;
using corvane::TrafficEntry;
using corvane::TrafficKind;

constexpr double kBitsPerByte = 8;
constexpr int32_t kFirstProcessId = 4000;

int64_t WholeBits(double bits) {
    constexpr double kLimit = 9.2e18;  // below the largest int64
    return bits >= kLimit ? static_cast<int64_t>(kLimit) : static_cast<int64_t>(bits);
}

// The rate (bps) that reaches the bottleneck: the demand as far as the
// shaper's limit and the local link let it through.
double OfferedBps(const DemandStep& demand, int64_t limitBps, double linkBps) {
    double want = 0;
    switch (demand.kind) {
        case DemandKind::Idle:
            return 0;
        case DemandKind::Fixed:
            want = demand.mbps * kBitsPerMegabit;
            break;
        case DemandKind::Greedy:
            want = linkBps;
            break;
    }
    if (limitBps >= 0) want = std::min(want, static_cast<double>(limitBps));
    return std::min(want, linkBps);
}

double LinkBps(const SimLine& line) {
    return line.gateway.linkSpeedBps > 0 ? static_cast<double>(line.gateway.linkSpeedBps)
                                         : kDefaultLinkMbps * kBitsPerMegabit;
}

}  // namespace

SimBackend::SimBackend(SimConfig config, ElapsedFn elapsed, LogFn log)
    : elapsed_(std::move(elapsed)), log_(std::move(log)) {
    if (!elapsed_) {
        auto start = std::chrono::steady_clock::now();
        elapsed_ = [start] { return std::chrono::steady_clock::now() - start; };
    }
    if (!log_) log_ = [](const std::string& text) { corvane::ServiceLog(text); };
    for (SimLine& line : config.lines) {
        LineState state;
        state.limitBps = line.gateway.downloadBps;  // the configured bandwidth shapes at first
        state.uploadBps = line.gateway.uploadBps;
        state.config = std::move(line);
        lines_.push_back(std::move(state));
    }
}

double SimBackend::NowSeconds() const {
    return std::chrono::duration<double>(elapsed_()).count();
}

void SimBackend::AdvanceLocked() {
    double now = NowSeconds();
    if (!(now > nowSeconds_)) return;
    for (LineState& line : lines_) AdvanceLine(line, nowSeconds_, now);
    nowSeconds_ = now;
}

void SimBackend::AdvanceLine(LineState& line, double from, double to) {
    const SimLine& c = line.config;
    const double bufferMax = static_cast<double>(c.bufferBytes) * kBitsPerByte;
    const double linkBps = LinkBps(c);
    double t = from;
    while (t < to) {
        // Capacity and demand are constant up to the next step of either.
        double next = to;
        for (const RateStep& s : c.capacity) {
            if (s.atSeconds > t && s.atSeconds < next) next = s.atSeconds;
        }
        for (const DemandStep& s : c.demand) {
            if (s.atSeconds > t && s.atSeconds < next) next = s.atSeconds;
        }
        const double dt = next - t;
        const double capacity = CapacityAt(c.capacity, t) * kBitsPerMegabit;
        const double offered = OfferedBps(DemandAt(c.demand, t), line.limitBps, linkBps);
        double delivered = 0;
        if (offered >= capacity) {
            // The line runs full; the excess queues until the buffer is full,
            // then it is dropped.
            double fill = line.bufferBits + (offered - capacity) * dt;
            if (fill > bufferMax) {
                line.droppedBits += fill - bufferMax;
                fill = bufferMax;
            }
            line.bufferBits = fill;
            delivered = capacity * dt;
        } else {
            // The line has room: the queue drains at capacity - offered, and
            // once empty the line carries just what arrives.
            double drain = (capacity - offered) * dt;
            if (line.bufferBits >= drain) {
                line.bufferBits -= drain;
                delivered = capacity * dt;
            } else {
                double emptyAfter = line.bufferBits / (capacity - offered);
                delivered = capacity * emptyAfter + offered * (dt - emptyAfter);
                line.bufferBits = 0;
            }
        }
        line.deliveredBits += delivered;
        line.capacityBits += capacity * dt;
        line.processBits += delivered * c.processShare;
        line.domainBits += delivered * (1 - c.processShare);
        t = next;
    }
}

LineSnapshot SimBackend::SnapshotLocked(const LineState& line) const {
    const SimLine& c = line.config;
    LineSnapshot s;
    s.elapsedSeconds = nowSeconds_;
    s.capacityMbps = CapacityAt(c.capacity, nowSeconds_);
    s.limitMbps = line.limitBps < 0 ? -1 : static_cast<double>(line.limitBps) / kBitsPerMegabit;
    s.demand = DemandAt(c.demand, nowSeconds_);
    s.offeredMbps = OfferedBps(s.demand, line.limitBps, LinkBps(c)) / kBitsPerMegabit;
    s.bufferBytes = line.bufferBits / kBitsPerByte;
    s.queueDelaySeconds = line.bufferBits / (s.capacityMbps * kBitsPerMegabit);
    s.deliveredBits = line.deliveredBits;
    s.capacityBits = line.capacityBits;
    s.droppedBits = line.droppedBits;
    s.limitChanges = line.limitChanges;
    return s;
}

std::optional<size_t> SimBackend::FindLine(const std::string& name) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].config.name == name) return i;
    }
    return std::nullopt;
}

double SimBackend::QueueDelaySeconds(size_t line) {
    return Snapshot(line).queueDelaySeconds;
}

LineSnapshot SimBackend::Snapshot(size_t line) {
    std::lock_guard<std::mutex> hold(mutex_);
    AdvanceLocked();
    return SnapshotLocked(lines_.at(line));
}

void SimBackend::ChangeDownloadBandwidth(size_t line, int64_t downloadBps) {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        AdvanceLocked();
        LineState& state = lines_.at(line);
        state.limitBps = downloadBps < 0 ? -1 : downloadBps;
        state.limitSet = true;
        text = "download bandwidth of " + state.config.gateway.mac + " changed to " +
               std::to_string(state.limitBps) + " bps by someone else";
    }
    log_(text);
}

HResult SimBackend::GetGateways(std::vector<Gateway>* out) {
    std::lock_guard<std::mutex> hold(mutex_);
    out->clear();
    for (const LineState& line : lines_) {
        Gateway g = line.config.gateway;
        if (line.limitSet) g.downloadBps = line.limitBps;
        out->push_back(std::move(g));
    }
    return kOk;
}

HResult SimBackend::GetInterfaces(std::vector<NetworkInterface>* out) {
    std::lock_guard<std::mutex> hold(mutex_);
    out->clear();
    for (const LineState& line : lines_) out->push_back(line.config.iface);
    return kOk;
}

void SimBackend::Traffic(bool processes, std::vector<TrafficEntry>* out) {
    std::lock_guard<std::mutex> hold(mutex_);
    AdvanceLocked();
    out->clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
        const LineState& line = lines_[i];
        TrafficEntry e;
        e.name = processes ? line.config.processName : line.config.domainName;
        e.path = processes ? "/usr/bin/" + line.config.processName : line.config.domainName;
        e.description = "traffic of the simulated line " + line.config.name;
        e.deviceId = line.config.iface.deviceId;
        e.processId = processes ? kFirstProcessId + static_cast<int32_t>(i) : 0;
        e.downloadBits = WholeBits(processes ? line.processBits : line.domainBits);
        out->push_back(std::move(e));
    }
}

HResult SimBackend::GetTraffic(TrafficKind kind, std::vector<TrafficEntry>* out) {
    Traffic(kind == TrafficKind::Processes, out);
    return kOk;
}

HResult SimBackend::SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                     int64_t downloadBps) {
    std::ostringstream text;
    text << "SetGatewayLimits " << gatewayMac << " up=" << uploadBps << " down=" << downloadBps;
    HResult hr = kOk;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        AdvanceLocked();
        auto it = std::find_if(lines_.begin(), lines_.end(), [&](const LineState& line) {
            return line.config.gateway.mac == gatewayMac;
        });
        if (it == lines_.end() || uploadBps < -1 || downloadBps < -1) {
            text << ": refused (" << (it == lines_.end() ? "no such gateway" : "a limit below -1")
                 << ")";
            hr = kInvalidArg;
        } else {
            it->limitBps = downloadBps;
            it->uploadBps = uploadBps;
            it->limitSet = true;
            ++it->limitChanges;
        }
    }
    log_(text.str());
    return hr;
}

}  // namespace lab
