// The `kernel` backend: real shaping of each gateway's WAN interface with the
// kernel's traffic control, driven over rtnetlink.
//
// Download: an IFB device of our own (cvn-<wan>), an ingress qdisc on the WAN
// (or the clsact already there) whose u32 filter of ours redirects every
// packet to the IFB, and on the IFB an
// HTB root with one class at the download limit and a leaf queue in it (or
// cake alone, which shapes by itself). Upload: the same HTB layout at the
// WAN's root. The traffic counters are the IFB's and the WAN's transmitted
// bytes. The tree is rebuilt when a link or tc event shows it damaged.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "netlink/links.h"
#include "netlink/netlink.h"
#include "netlink/tc.h"
#include "service/backend.h"
#include "service/kernel/kernel_config.h"
#include "service/kernel/plan.h"

namespace corvane {
namespace links = ::nl::links;
}  // namespace corvane

namespace corvane {

// What the backend asks of the system besides netlink requests; tests give
// their own.
struct KernelSystem {
    std::function<bool()> hasNetAdmin;
    std::function<int64_t(int ifindex)> linkSpeedBps;  // 0 when unknown
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<std::chrono::system_clock::time_point()> wallNow;  // for the metrics
    bool watchEvents = true;  // listen to the kernel's link and tc events
    // The netlink port the requests go out from: the events of the
    // backend's own changes carry it and are no news. 0: none ignored.
    uint32_t requestPort = 0;
};

class KernelBackend : public Backend {
  public:
    using Clock = std::chrono::steady_clock;

    // The service's own: a netlink socket, link speeds from ethtool and the
    // process's capabilities. nullptr with *error when a socket cannot open.
    static std::unique_ptr<KernelBackend> Open(KernelConfig config, std::string* error);
    KernelBackend(KernelConfig config, nl::Transport& transport, KernelSystem system);
    ~KernelBackend() override;

    // Checks the system, chooses the leaf queue and builds every gateway's
    // tree. False with *error (one line) and nothing of ours left behind.
    bool Start(std::string* error);
    // Removes everything of ours, as after a stop signal or a crash. False
    // when something could not be removed; *problems says what.
    bool RemoveAll(std::vector<std::string>* problems);
    // Removes what carries the service's marks and belongs to no configured
    // gateway: the trees of gateways taken out of the configuration, and
    // trial devices of runs that ended. Done at start and by --cleanup.
    void RemoveOrphans(std::vector<std::string>* problems);

    HResult GetGateways(std::vector<Gateway>* out) override;
    HResult GetInterfaces(std::vector<NetworkInterface>* out) override;
    HResult GetTraffic(TrafficKind kind, std::vector<TrafficEntry>* out) override;
    HResult SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                             int64_t downloadBps) override;

    int WatchFd() override;
    int MsUntilWork() override;
    void Work() override;
    std::map<std::string, std::string> LeafQueues() override;
    // Limits in force, delivered bytes, and the leaves' drops and backlog
    // from one dump of every qdisc.
    HResult Metrics(std::vector<GatewayMetrics>* out) override;
    // RemoveAll, with each problem logged.
    void Shutdown() override;

    // Whether each gateway's tree is whole now, in configuration order.
    std::vector<bool> Shaped() const;

  private:
    struct Gateway;
    struct Counter;
    // Built: whole now; Waiting: must not shape until something changes (no
    // interface, a foreign qdisc); Failed: the kernel refused a change;
    // Unseen: the look itself failed, which says nothing of the tree.
    enum class Outcome { Built, Waiting, Failed, Unseen };
    enum class Look { Fine, MustNotShape, Absent, Unseen };
    // Every qdisc of the system, read in one dump for all the gateways a
    // look covers (the kernel dumps qdiscs only whole).
    struct Snapshot {
        bool ok = false;
        std::string problem;  // why it could not be read
        std::vector<tc::Qdisc> qdiscs;
    };
    // What a look found on the system: our IFB and its qdiscs, the WAN's
    // qdiscs and its ingress filters.
    struct WanView {
        std::optional<links::Link> ifb;
        std::vector<tc::Qdisc> qdiscs;
        std::vector<tc::Qdisc> ifbQdiscs;
        std::vector<tc::Filter> filters;
    };

    bool Send(nl::Message message, std::string* problem);
    bool Check(const nl::Result& result, std::string* problem);
    // Tries the leaf kinds on a scratch device (available_), then gives each
    // gateway its leaf.
    bool DetectLeaves(std::string* error);
    bool ChooseLeaves(std::string* error);
    Snapshot TakeSnapshot();
    // Changes nothing: whether the gateway can be shaped now, with *problem
    // saying why not (or why the look failed).
    Look Preflight(Gateway& g, const Snapshot& all, WanView* view, std::string* problem);
    bool EnsureIfb(Gateway& g, std::optional<links::Link>* ifb, std::string* problem);
    Outcome Ensure(Gateway& g, const Snapshot& all, std::string* problem);
    bool ChangeRate(Gateway& g, int ifindex, const std::string& dev, int64_t bps, bool ingress,
                    std::string* problem);
    void Teardown(Gateway& g, std::vector<std::string>* problems);
    void Reconcile(Gateway& g, const Snapshot& all);
    // A look again after a back-off that doubles up to kMaxRetry.
    void Retry(Gateway& g);
    void Schedule(Gateway& g, Clock::duration delay);
    void OnEvent(const nlmsghdr* message);
    // The gateway's WAN and, unless `ifb` is nullptr, its IFB as the kernel
    // shows them now; false with *problem when the kernel could not be asked.
    bool FindLinks(const Gateway& g, std::optional<links::Link>* wan,
                   std::optional<links::Link>* ifb, std::string* problem);
    uint64_t RateBytes(const Gateway& g, int64_t bps) const;
    plan::Shaper ShaperFor(const Gateway& g, int64_t bps, bool ingress) const;

    std::unique_ptr<nl::Transport> ownTransport_;
    nl::Transport& t_;
    KernelSystem system_;
    std::vector<std::unique_ptr<Gateway>> gateways_;
    std::unique_ptr<nl::EventSocket> events_;
    std::string configPath_;
    std::vector<tc::Leaf> available_;  // leaf kinds the kernel has
    bool started_ = false;
    std::string metricsProblem_;  // as last logged
    Clock::time_point nextSweep_{};
    std::string scratch_;  // the leaf detection's device, ScratchIfbName()
};

// The leaf detection's scratch IFB device of this process.
std::string ScratchIfbName();

}  // namespace corvane
