// The kernel lab's network: four network namespaces joined by veth pairs.
//
//   far      (far0 10.99.2.2; the bulk sender)
//     |
//   internet (core0 10.99.2.1, isp0 10.99.0.1; the stand-ins and the echo
//     |       server on lo, 198.18.0.0/15)
//     | the line: isp0's egress is an HTB class at the line's capacity with
//     | a deep bfifo (the ISP's buffer); with a round trip, what isp0
//     | receives passes a netem delay on an IFB (line-rtt) first
//   router   (wan0 10.99.0.2, lan0 10.99.1.1; corvane-service and sandrow)
//     |
//   client   (eth0 10.99.1.2; the downloads' receiving end, the latency meter)
//
// The sender is a hop away from the line: TCP holds back what waits in its
// own host's qdiscs (TCP small queues), so a sender on the ISP's host would
// never fill the ISP's buffer as a sender out on the internet does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/kernel/netlink.h"
#include "service/kernel/netns.h"

namespace lab {

struct KernelNetConfig {
    double capacityMbps = 20;
    uint32_t bufferBytes = 500000;
    std::vector<std::string> internetAddresses;  // /32s on the internet's lo
    // The line's own round trip (propagation), added with netem to what goes
    // up the line, where no queue of the router or the ISP sees it; 0: none.
    double rttMs = 0;
    std::string rttKey;  // where rttMs was set, for an error ("rtt_ms = 20 in [gateway x]")
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
    inline static const char* kWan = "wan0";
    inline static const char* kIfb = "cvn-wan0";
    inline static const char* kWanAddress = "10.99.0.2";
    inline static const char* kClientAddress = "10.99.1.2";
    inline static const char* kIspAddress = "10.99.0.1";
    inline static const char* kFarAddress = "10.99.2.2";

    // Builds it all; false with *error naming the step.
    bool Build(const KernelNetConfig& config, std::string* error);
    // The line's capacity, changed in place (what waits in the buffer stays).
    bool SetCapacity(double mbps, std::string* error);
    LineReading Read();
    // Whether the router's kernel has the queue `kind` (tried on its lo).
    bool RouterHas(const std::string& kind);

    const corvane::netns::Namespace& internet() const { return *internet_; }
    const corvane::netns::Namespace& router() const { return *router_; }
    const corvane::netns::Namespace& client() const { return *client_; }
    const corvane::netns::Namespace& far() const { return *far_; }

  private:
    bool AddRoundTrip(double ms, std::string* error);

    std::optional<corvane::netns::Namespace> internet_;
    std::optional<corvane::netns::Namespace> router_;
    std::optional<corvane::netns::Namespace> client_;
    std::optional<corvane::netns::Namespace> far_;
    corvane::nl::Socket internetSocket_;
    corvane::nl::Socket routerSocket_;
    corvane::nl::Socket clientSocket_;
    corvane::nl::Socket farSocket_;
    int ispIndex_ = 0;
};

}  // namespace lab
