// The kernel lab's network: four network namespaces joined by veth pairs,
// with one line (wanN/ispN) per gateway of the scenario.
//
//   far      (far0 10.99.2.2; the bulk senders)
//     |
//   internet (core0 10.99.2.1, ispN 10.(99-N).0.1; the stand-ins and the
//     |       echo server on lo, 198.18.0.0/15)
//     | line N: ispN's egress is an HTB class at the line's capacity with a
//     | deep bfifo (the ISP's buffer); with a round trip, what ispN
//     | receives passes a netem delay on an IFB (ispN-rtt) first
//   router   (wanN 10.(99-N).0.2, lan0 10.99.1.1; corvane-service and sandrow)
//     |       default routes through every line, line N's metric 100 (N + 1);
//     |       what comes from the client's address N takes line N (a rule)
//   client   (eth0 10.99.1.(2+N): one address per line; the downloads'
//              receiving ends, the latency meters)
//
// The senders are a hop away from the lines: TCP holds back what waits in
// its own host's qdiscs (TCP small queues), so a sender on the ISP's host
// would never fill the ISP's buffer as a sender out on the internet does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "netlink/netlink.h"
#include "netlink/netns.h"

namespace lab {

struct KernelLineNet {
    double capacityMbps = 20;
    uint32_t bufferBytes = 500000;
    // The line's own round trip (propagation), added with netem to what goes
    // up the line, where no queue of the router or the ISP sees it; 0: none.
    double rttMs = 0;
    std::string rttKey;  // where rttMs was set, for an error ("rtt_ms = 20 in [gateway x]")
};

struct KernelNetConfig {
    std::vector<KernelLineNet> lines;            // at most KernelNet::kMaxLines
    std::vector<std::string> internetAddresses;  // /32s on the internet's lo
};

// What the qdiscs show at one moment.
struct LineReading {
    uint32_t ispBacklogBytes = 0;  // waiting in the ISP's buffer
    uint64_t ispDrops = 0;
    double limitMbps = -1;            // the router's download limit; -1: no tree
    uint32_t routerBacklogBytes = 0;  // waiting in the router's own leaf
    std::string leafKind;             // the router's download leaf ("cake", ...)
};

class KernelNet {
  public:
    static constexpr size_t kMaxLines = 4;
    inline static const char* kFarAddress = "10.99.2.2";
    // Line N's names and addresses.
    static std::string Wan(size_t line);            // "wan0": the router's end
    static std::string WanAddress(size_t line);     // "10.99.0.2", "10.98.0.2", ...
    static std::string ClientAddress(size_t line);  // "10.99.1.2", "10.99.1.3", ...

    // Builds it all; false with *error naming the step.
    bool Build(const KernelNetConfig& config, std::string* error);
    // A line's capacity, changed in place (what waits in the buffer stays).
    bool SetCapacity(size_t line, double mbps, std::string* error);
    LineReading Read(size_t line);
    // Whether the router's kernel has the queue `kind` (tried on its lo).
    bool RouterHas(const std::string& kind);

    const nl::netns::Namespace& internet() const { return *internet_; }
    const nl::netns::Namespace& router() const { return *router_; }
    const nl::netns::Namespace& client() const { return *client_; }
    const nl::netns::Namespace& far() const { return *far_; }

  private:
    bool AddLine(size_t line, const KernelLineNet& config, std::string* error);
    bool AddRoundTrip(size_t line, double ms, std::string* error);

    std::optional<nl::netns::Namespace> internet_;
    std::optional<nl::netns::Namespace> router_;
    std::optional<nl::netns::Namespace> client_;
    std::optional<nl::netns::Namespace> far_;
    nl::Socket internetSocket_;
    nl::Socket routerSocket_;
    nl::Socket clientSocket_;
    nl::Socket farSocket_;
    std::vector<int> ispIndex_;  // per line
};

}  // namespace lab
