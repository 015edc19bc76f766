// The kernel backend's state of each gateway, shared by the files that
// build, repair, serve and count its tree.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "service/kernel/kernel_backend.h"

namespace corvane {

namespace kernel_timing {
using namespace std::chrono_literals;
// Events come in bursts (one per qdisc of a rebuilt tree): one look after them.
inline constexpr auto kEventSettle = 50ms;
inline constexpr auto kFirstRetry = 1s;
inline constexpr auto kMaxRetry = 30s;
// A look at every tree now and then, for what no event told.
inline constexpr auto kSweepInterval = 30s;
}  // namespace kernel_timing

// A counter that keeps counting when the device behind it is made anew (its
// count then starts again from zero).
struct KernelBackend::Counter {
    int index = 0;
    uint64_t last = 0;
    uint64_t base = 0;

    uint64_t Update(int deviceIndex, uint64_t value) {
        if (deviceIndex == 0) return base + last;
        if (deviceIndex != index || value < last) {
            base += last;
            last = 0;
        }
        index = deviceIndex;
        last = value;
        return base + last;
    }
};

struct KernelBackend::Gateway {
    KernelGateway config;
    std::string ifbName;
    tc::Leaf leaf = tc::Leaf::Bfifo;
    int wanIndex = 0;
    int ifbIndex = 0;
    uint32_t mtu = 0;
    int64_t linkSpeedBps = 0;
    bool built = false;
    int64_t downloadBps = -1;  // in force, or to apply once the tree is whole
    int64_t uploadBps = -1;
    int64_t reportedDownloadBps = -1;  // as configured, then the limit last set
    Counter download;
    Counter upload;
    Counter downloadDrops;  // of the leaves, which a rebuild starts at zero
    Counter uploadDrops;
    tc::Framing framing;        // the configured one, with the WAN's link header
    uint64_t limitChanges = 0;  // SetGatewayLimits calls that changed a limit
    std::optional<std::chrono::system_clock::time_point> lastLimitChange;
    std::string problem;  // why it is not shaped, as last logged
    std::optional<Clock::time_point> due;
    Clock::time_point retryAt{};
    Clock::duration backoff{};
    size_t changes = 0;  // requests that changed the tree in this look

    std::string Where() const { return "[gateway " + config.name + "]"; }
};

// "none" or "20000000 bps", as the log writes a limit.
inline std::string LimitText(int64_t bps) {
    return bps < 0 ? std::string("none") : std::to_string(bps) + " bps";
}

}  // namespace corvane
