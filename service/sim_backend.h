// The `sim` backend: every gateway a simulated line whose bottleneck buffer
// fills when the shaper lets more through than the line carries.
#pragma once

// Each line has a capacity and a demand that change over time, and traffic
// counters that grow with what it delivers. The scenario file reader it
// shares with the lab is here too.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/backend.h"
#include "service/ini_config.h"
#include "service/metrics_config.h"

namespace corvane {

// ---------------------------------------------------------------------------
// Scenario files: INI text read with inih into "[kind label]" sections whose
// keys keep their order and line numbers. Every problem is "FILE:LINE: text".

using ScenarioKey = IniKey;
using ScenarioSection = IniSection;  // kind and label name it; a key may repeat
using ScenarioError = IniError;

// Splits the text into sections. False with *error set for a line that is
// neither a section, a key = value pair nor a comment, a line of more than
// kMaxScenarioLineLength characters, a NUL byte, or a key before any section.
inline constexpr size_t kMaxScenarioLineLength = 190;
bool ReadScenarioSections(const std::string& text, const std::string& fileName,
                          std::vector<ScenarioSection>* sections, std::string* error);
// Reads a whole file (at most 1 MiB).
bool LoadScenarioText(const std::string& path, std::string* text, std::string* error);

// The scenario's wording: sections named "[kind label]", keys that may
// repeat until Finish() finds them, and no empty values.
inline constexpr IniDialect kScenarioDialect{
    .maxLineLength = kMaxScenarioLineLength,
    .keysMayRepeat = true,
    .malformedLine = "expected [section], key = value or a comment",
    .headerAsWritten = false,
    .keyWord = "",
    .emptyOnlyIfRequired = false,
};

// Typed access to the keys of one scenario section (see IniSectionReader).
class ScenarioReader : public IniSectionReader {
  public:
    explicit ScenarioReader(ScenarioSection& section)
        : IniSectionReader(section, kScenarioDialect) {}
};

// ---------------------------------------------------------------------------
// The simulated lines.

// A value that holds from `atSeconds` until the next step.
struct RateStep {
    double atSeconds = 0;
    double mbps = 0;
};

enum class DemandKind { Idle, Fixed, Greedy };

// What the machine behind the gateway asks for: nothing, a fixed rate, or as
// much as the shaper lets through (then the arrival rate is the limit).
struct DemandStep {
    double atSeconds = 0;
    DemandKind kind = DemandKind::Idle;
    double mbps = 0;  // Fixed only
};

// "T:VALUE, T:VALUE, ..." with T in seconds, strictly rising from 0.
// Capacity values are mbps above 0; demand values are "idle", "greedy" or a
// fixed rate in mbps (0 reads as idle). False with *error naming the problem.
bool ParseCapacitySchedule(const std::string& text, std::vector<RateStep>* steps,
                           std::string* error);
bool ParseDemandSchedule(const std::string& text, std::vector<DemandStep>* steps,
                         std::string* error);
std::string DemandText(const DemandStep& step);  // "idle", "greedy", "12.5 mbps"

struct SimLine {
    std::string name;        // the label of the [gateway NAME] section
    Gateway gateway;         // downloadBps is the configured download bandwidth
    NetworkInterface iface;  // the one interface that reaches the gateway
    std::vector<RateStep> capacity;
    std::vector<DemandStep> demand;
    int64_t bufferBytes = 250000;  // bottleneck buffer in front of the line
    double processShare = 0.5;     // part of the traffic counted for the process
    std::string processName = "lab-download";
    std::string domainName = "download.lab.example";
};

struct SimConfig {
    std::vector<SimLine> lines;
    MetricsConfig metrics;  // read by LoadSimConfig only: the lab publishes none
};

// Takes the [gateway NAME] sections of a scenario and leaves the others
// alone (their keys stay unused for the caller). Throws ScenarioError.
void ReadSimLines(std::vector<ScenarioSection>& sections, SimConfig* config);
// A scenario file for corvane-service --backend sim: its gateway sections
// and [metrics]; the lab's sections are skipped.
bool LoadSimConfig(const std::string& path, SimConfig* config, std::string* error);

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

class SimBackend : public Backend {
  public:
    // Time since the start of the simulation; the default is the monotonic
    // clock from construction. A clock that goes back is held where it was.
    using ElapsedFn = std::function<std::chrono::nanoseconds()>;
    // Where the backend reports limit changes; the default is ServiceLog.
    using LogFn = std::function<void(const std::string&)>;

    explicit SimBackend(SimConfig config, ElapsedFn elapsed = nullptr, LogFn log = nullptr);

    HResult Initialize(int32_t a, int32_t b, int32_t c, const std::string& d,
                       const std::string& e) override;
    HResult GetGateways(std::vector<Gateway>* out) override;
    HResult GetInterfaces(std::vector<NetworkInterface>* out) override;
    HResult GetProcesses(int16_t selector, std::vector<TrafficEntry>* out) override;
    HResult GetDomains(int16_t selector, std::vector<TrafficEntry>* out) override;
    HResult SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                             int64_t downloadBps) override;
    HResult PrepareLimitChange(int32_t value) override;

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
    void Traffic(bool processes, std::vector<TrafficEntry>* out);

    std::vector<LineState> lines_;
    ElapsedFn elapsed_;
    LogFn log_;
    mutable std::mutex mutex_;
    double nowSeconds_ = 0;  // the moment the lines were last brought to
};

// The rates of a schedule at a moment (the first step's before it).
double CapacityAt(const std::vector<RateStep>& steps, double seconds);
DemandStep DemandAt(const std::vector<DemandStep>& steps, double seconds);

}  // namespace corvane
