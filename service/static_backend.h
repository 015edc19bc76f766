// The `static` backend: a fixed picture of gateways, interfaces and traffic
// counters read from an INI file, with counters that may grow at a set rate.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "service/backend.h"
#include "service/metrics_config.h"

namespace corvane {

// A process or domain whose counters start at the entry's values (bits) and
// grow by these rates (bits per second) from the start of the service.
struct TrafficRule {
    TrafficEntry entry;
    int64_t uploadRateBps = 0;
    int64_t downloadRateBps = 0;
};

struct StaticConfig {
    std::vector<Gateway> gateways;
    std::vector<NetworkInterface> interfaces;
    std::vector<TrafficRule> processes;
    std::vector<TrafficRule> domains;
    MetricsConfig metrics;
};

// Parses the configuration text; `fileName` only names the file in the error.
// On failure returns false with *error = "FILE:LINE: problem" (one line).
bool ParseStaticConfig(const std::string& text, const std::string& fileName, StaticConfig* config,
                       std::string* error);
// Reads and parses the file; an unreadable file is "FILE: problem".
bool LoadStaticConfig(const std::string& path, StaticConfig* config, std::string* error);

// A counter that starts at `base` and grows by `rateBps` per second over
// `elapsed`; it saturates at the largest int64 instead of wrapping.
int64_t GrownCounter(int64_t base, int64_t rateBps, std::chrono::nanoseconds elapsed);

class StaticBackend : public Backend {
  public:
    // Time since the service started; the default is the monotonic clock from
    // the moment of construction. Tests pass their own.
    using ElapsedFn = std::function<std::chrono::nanoseconds()>;

    explicit StaticBackend(StaticConfig config, ElapsedFn elapsed = nullptr);

    HResult GetGateways(std::vector<Gateway>* out) override;
    HResult GetInterfaces(std::vector<NetworkInterface>* out) override;
    HResult GetTraffic(TrafficKind kind, std::vector<TrafficEntry>* out) override;
    HResult SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                             int64_t downloadBps) override;

  private:
    struct Limits {
        int64_t uploadBps;
        int64_t downloadBps;
    };
    void Grown(const std::vector<TrafficRule>& rules, std::vector<TrafficEntry>* out) const;

    StaticConfig config_;
    ElapsedFn elapsed_;
    std::map<std::string, Limits> limits_;  // by gateway MAC, as last set
};

}  // namespace corvane
