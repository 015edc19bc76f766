// The lab's `sim` backend, served in the lab's own process: every gateway a
// simulated line whose bottleneck buffer fills when the shaper lets more
// through than the line carries, with traffic counters that grow with what
// it delivers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lab/sim_lines.h"
#include "service/backend.h"

namespace lab {

// One line at one moment.
struct LineSnapshot {
    double elapsedSeconds = 0;
    double capacityMbps = 0;
    double limitMbps = -1;   // the shaper's download limit; -1: none
    double offeredMbps = 0;  // what arrives at the bottleneck now
    DemandStep demand;       // the demand step in force
    double bufferBytes = 0;
    double queueDelaySeconds = 0;  // buffer fill / capacity
    // Totals since the start, in bits.
    double deliveredBits = 0;
    double capacityBits = 0;   // what the line could have carried
    double droppedBits = 0;    // arrivals that found the buffer full
    int64_t limitChanges = 0;  // SetGatewayLimits calls for this gateway
};

class SimBackend : public corvane::Backend {
  public:
    // Time since the start of the simulation; the default is the monotonic
    // clock from construction. A clock that goes back is held where it was.
    using ElapsedFn = std::function<std::chrono::nanoseconds()>;
    // Where the backend reports limit changes; the default is ServiceLog.
    using LogFn = std::function<void(const std::string&)>;

    explicit SimBackend(SimConfig config, ElapsedFn elapsed = nullptr, LogFn log = nullptr);

    corvane::HResult GetGateways(std::vector<corvane::Gateway>* out) override;
    corvane::HResult GetInterfaces(std::vector<corvane::NetworkInterface>* out) override;
    corvane::HResult GetTraffic(corvane::TrafficKind kind,
                                std::vector<corvane::TrafficEntry>* out) override;
    corvane::HResult SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                      int64_t downloadBps) override;

    // The rest may be called from any thread.
    size_t LineCount() const { return lines_.size(); }
    const SimLine& Line(size_t index) const { return lines_[index].config; }
    std::optional<size_t> FindLine(const std::string& name) const;
    double QueueDelaySeconds(size_t line);
    LineSnapshot Snapshot(size_t line);
    // The download bandwidth changed in the service by someone else: the line
    // is shaped to it and the gateway list reports it (bps; -1: none).
    void ChangeDownloadBandwidth(size_t line, int64_t downloadBps);

  private:
    struct LineState {
        SimLine config;
        int64_t limitBps;       // -1: none
        int64_t uploadBps;      // as last set (reported by nobody, kept for the log)
        bool limitSet = false;  // the gateway list reports limitBps once set
        double bufferBits = 0;
        double deliveredBits = 0;
        double capacityBits = 0;
        double droppedBits = 0;
        double processBits = 0;  // each share grows on its own, so neither goes back
        double domainBits = 0;
        int64_t limitChanges = 0;
    };

    // Brings every line from the last moment to now. Caller holds mutex_.
    void AdvanceLocked();
    void AdvanceLine(LineState& line, double from, double to);
    LineSnapshot SnapshotLocked(const LineState& line) const;
    double NowSeconds() const;
    void Traffic(bool processes, std::vector<corvane::TrafficEntry>* out);

    std::vector<LineState> lines_;
    ElapsedFn elapsed_;
    LogFn log_;
    mutable std::mutex mutex_;
    double nowSeconds_ = 0;  // the moment the lines were last brought to
};

}  // namespace lab
