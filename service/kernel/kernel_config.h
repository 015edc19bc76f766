// The kernel backend's configuration: one [gateway NAME] section per WAN
// interface that the service shapes (see service/examples/kernel.ini).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "netlink/tc.h"
#include "service/metrics_config.h"

namespace corvane {
namespace tc = ::nl::tc;
}  // namespace corvane

namespace corvane {

struct KernelGateway {
    std::string name;       // the section's NAME
    std::string interface;  // the WAN interface
    std::string mac;        // the text the monitor keys the gateway by
    int32_t id = 0;
    int64_t downloadBps = -1;  // the limits it starts with; -1: not set, no limit
    int64_t uploadBps = -1;
    std::optional<tc::Leaf> leaf;  // unset: the best one the kernel has
    bool replace = false;          // take over a root or ingress qdisc of someone else
    tc::Framing framing;           // the line's; its headerBytes come from the WAN's link
    std::string address;           // optional texts for the gateway list
    std::string description;
    int line = 0;  // of the section, for messages that point at it
};

// What the installed kernel.ini names as its interface until the
// administrator names the WAN; refused, so that the service does not start.
inline constexpr const char* kInterfacePlaceholder = "SET-WAN-HERE";

struct KernelConfig {
    std::string path;
    std::vector<KernelGateway> gateways;
    MetricsConfig metrics;
};

// Parses the configuration text; `fileName` only names the file in errors.
// On failure returns false with *error = "FILE:LINE: problem" naming the key.
bool ParseKernelConfig(const std::string& text, const std::string& fileName, KernelConfig* config,
                       std::string* error);
bool LoadKernelConfig(const std::string& path, KernelConfig* config, std::string* error);

// The IFB device that carries a WAN's download: "cvn-" and the WAN's name,
// shortened with a hash when the whole would not fit the kernel's 15 bytes.
std::string IfbNameFor(const std::string& interface);

}  // namespace corvane
