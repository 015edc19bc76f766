// Building the kernel lab's namespaces, links, addresses, routes and line.
#include "lab/kernel_net.h"

#include <linux/netlink.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include "lab/traffic.h"
#include "service/kernel/links.h"
#include "service/kernel/tc.h"

namespace lab {
namespace {

namespace links = corvane::links;
namespace netns = corvane::netns;
namespace nl = corvane::nl;
namespace tc = corvane::tc;

constexpr int kLoopbackIndex = 1;

uint64_t BytesPerSecond(double mbps) {
    return static_cast<uint64_t>(std::llround(mbps * 1e6 / 8));
}

// Opens a netlink socket inside `ns`: it stays in that namespace.
bool SocketIn(const netns::Namespace& ns, nl::Socket* socket, std::string* error) {
    netns::Inside inside(ns);
    if (!inside.ok()) {
        *error = "cannot enter a namespace of the lab";
        return false;
    }
    if (int e = socket->Open(NETLINK_ROUTE); e != 0) {
        *error = std::string("netlink: ") + std::strerror(e);
        return false;
    }
    return true;
}

bool Do(nl::Transport& transport, nl::Message message, std::string* error) {
    nl::Result r = transport.Request(message);
    if (!r.ok()) *error = r.Text();
    return r.ok();
}

// Index of a link, after it was made (0 and *error when it is not there).
int IndexOf(nl::Transport& transport, const char* name, std::string* error) {
    std::optional<links::Link> link;
    nl::Result r = links::FindLink(transport, name, &link);
    if (!r.ok() || !link) {
        *error = std::string("no link ") + name + (r.ok() ? "" : ": " + r.Text());
        return 0;
    }
    return link->index;
}

// One end of a pair: its address, up.
bool Configure(nl::Transport& transport, const char* name, const char* address, int prefix,
               std::string* error) {
    int index = IndexOf(transport, name, error);
    return index != 0 && Do(transport, links::AddAddress(index, Ipv4(address), prefix), error) &&
           Do(transport, links::SetLinkUp(index, true, name), error);
}

bool Route(nl::Transport& transport, const char* destination, int prefix, const char* gateway,
           const char* dev, std::string* error) {
    int index = IndexOf(transport, dev, error);
    return index != 0 && Do(transport,
                            links::AddRoute(destination == nullptr ? 0 : Ipv4(destination), prefix,
                                            Ipv4(gateway), index),
                            error);
}

constexpr const char* kRttIfb = "line-rtt";
constexpr uint32_t kNetemHandle = 0x10000;
constexpr uint32_t kNetemLimitPackets = 100000;  // never the line's bottleneck

// A netem qdisc at the root of `ifindex` that holds every packet `ms`.
nl::Message NetemDelay(int ifindex, double ms) {
    nl::Message m(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, "adding the line's netem delay");
    auto* t = m.Body<tcmsg>();
    t->tcm_ifindex = ifindex;
    t->tcm_parent = tc::kRootParent;
    t->tcm_handle = kNetemHandle;
    m.PutString(TCA_KIND, "netem");
    // netem's options: its fixed header, then attributes after it.
    nlattr* options = m.Nest(TCA_OPTIONS);
    auto* opt = m.Body<tc_netem_qopt>();
    opt->limit = kNetemLimitPackets;
    const int64_t ns = std::llround(ms * 1e6);
    m.PutBytes(TCA_NETEM_LATENCY64, &ns, sizeof ns);
    m.EndNest(options);
    return m;
}

}  // namespace

bool KernelNet::AddRoundTrip(double ms, std::string* error) {
    if (!Do(internetSocket_, links::NewIfb(kRttIfb, "", 0), error)) return false;
    int ifb = IndexOf(internetSocket_, kRttIfb, error);
    if (ifb == 0 || !Do(internetSocket_, links::SetLinkUp(ifb, true, kRttIfb), error)) return false;
    nl::Message netem = NetemDelay(ifb, ms);
    if (nl::Result r = internetSocket_.Request(netem); !r.ok()) {
        *error = r.error == ENOENT
                     ? "this kernel has no netem to add the line's round trip (" + r.Text() + ")"
                     : r.Text();
        return false;
    }
    return Do(internetSocket_, tc::IngressQdisc(ispIndex_, "isp0"), error) &&
           Do(internetSocket_, tc::RedirectFilter(ispIndex_, ifb, "isp0", kRttIfb), error);
}

bool KernelNet::Build(const KernelNetConfig& config, std::string* error) {
    internet_ = netns::Namespace::Create(error);
    if (!internet_) return false;
    router_ = netns::Namespace::Create(error);
    if (!router_) return false;
    client_ = netns::Namespace::Create(error);
    if (!client_) return false;
    far_ = netns::Namespace::Create(error);
    if (!far_) return false;
    if (!SocketIn(*internet_, &internetSocket_, error) ||
        !SocketIn(*router_, &routerSocket_, error) || !SocketIn(*client_, &clientSocket_, error) ||
        !SocketIn(*far_, &farSocket_, error)) {
        return false;
    }
    // Wire-sized packets on every link, as on a real line (no 64 KiB TSO
    // frames that a router's queues would never see).
    if (!Do(routerSocket_, links::NewVeth("wan0", "isp0", internet_->fd(), 1), error) ||
        !Do(routerSocket_, links::NewVeth("lan0", "eth0", client_->fd(), 1), error) ||
        !Do(internetSocket_, links::NewVeth("core0", "far0", far_->fd(), 1), error) ||
        !Configure(internetSocket_, "core0", "10.99.2.1", 24, error) ||
        !Configure(farSocket_, "far0", kFarAddress, 24, error) ||
        !Configure(internetSocket_, "isp0", kIspAddress, 24, error) ||
        !Configure(routerSocket_, "wan0", kWanAddress, 24, error) ||
        !Configure(routerSocket_, "lan0", "10.99.1.1", 24, error) ||
        !Configure(clientSocket_, "eth0", kClientAddress, 24, error)) {
        return false;
    }
    for (const std::string& address : config.internetAddresses) {
        if (!Do(internetSocket_, links::AddAddress(kLoopbackIndex, Ipv4(address.c_str()), 32),
                error)) {
            return false;
        }
    }
    if (!Route(routerSocket_, nullptr, 0, kIspAddress, "wan0", error) ||
        !Route(clientSocket_, nullptr, 0, "10.99.1.1", "eth0", error) ||
        !Route(internetSocket_, "10.99.1.0", 24, "10.99.0.2", "isp0", error) ||
        !Route(farSocket_, nullptr, 0, "10.99.2.1", "far0", error)) {
        return false;
    }
    for (const netns::Namespace* ns : {&*router_, &*internet_}) {
        netns::Inside inside(*ns);
        std::ofstream forward("/proc/sys/net/ipv4/ip_forward");
        forward << "1\n";
        if (!inside.ok() || !forward.flush()) {
            *error = "cannot turn on forwarding in the router or the internet";
            return false;
        }
    }
    ispIndex_ = IndexOf(internetSocket_, "isp0", error);
    if (ispIndex_ == 0) return false;
    if (config.rttMs > 0 && !AddRoundTrip(config.rttMs, error)) {
        *error = config.rttKey + ": " + *error;
        return false;
    }
    uint64_t rate = BytesPerSecond(config.capacityMbps);
    return Do(internetSocket_, tc::HtbRoot(ispIndex_, tc::Mode::Create, "isp0"), error) &&
           Do(internetSocket_, tc::HtbClass(ispIndex_, rate, tc::Mode::Create, "isp0"), error) &&
           Do(internetSocket_,
              tc::BfifoLeaf(ispIndex_, config.bufferBytes, tc::Mode::Create, "isp0"), error);
}

bool KernelNet::RouterHas(const std::string& kind) {
    nl::Message add(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, "trying a " + kind + " qdisc");
    auto* t = add.Body<tcmsg>();
    t->tcm_ifindex = kLoopbackIndex;
    t->tcm_parent = tc::kRootParent;
    t->tcm_handle = kNetemHandle;
    add.PutString(TCA_KIND, kind);
    if (!routerSocket_.Request(add).ok()) return false;
    std::string ignored;
    Do(routerSocket_, tc::DeleteQdisc(kLoopbackIndex, tc::kRootParent, kNetemHandle, kind),
       &ignored);
    return true;
}

bool KernelNet::SetCapacity(double mbps, std::string* error) {
    return Do(internetSocket_,
              tc::HtbClass(ispIndex_, BytesPerSecond(mbps), tc::Mode::Change, "isp0"), error);
}

LineReading KernelNet::Read() {
    LineReading reading;
    std::vector<tc::Qdisc> qdiscs;
    if (tc::ListQdiscs(internetSocket_, ispIndex_, &qdiscs).ok()) {
        for (const tc::Qdisc& q : qdiscs) {
            if (q.handle != tc::kLeafHandle) continue;
            reading.ispBacklogBytes = q.stats.backlog;
            reading.ispDrops = q.stats.drops;
        }
    }
    std::optional<links::Link> ifb;
    if (!links::FindLink(routerSocket_, kIfb, &ifb).ok() || !ifb) return reading;
    // Cake shapes alone at the root, with its own bandwidth; the other
    // leaves sit in the HTB class that holds the limit.
    bool cake = false;
    if (tc::ListQdiscs(routerSocket_, ifb->index, &qdiscs).ok()) {
        for (const tc::Qdisc& q : qdiscs) {
            if (q.handle == tc::kRootHandle && q.kind == "cake") {
                cake = true;
                reading.limitMbps = q.cakeRate * 8 / 1e6;
            }
            if ((q.handle == tc::kRootHandle && cake) || q.handle == tc::kLeafHandle) {
                reading.routerBacklogBytes = q.stats.backlog;
                reading.leafKind = q.kind;
            }
        }
    }
    std::vector<tc::Class> classes;
    if (!cake && tc::ListClasses(routerSocket_, ifb->index, &classes).ok()) {
        for (const tc::Class& c : classes) {
            if (c.handle == tc::kClassHandle) reading.limitMbps = c.rateBytes * 8 / 1e6;
        }
    }
    return reading;
}

}  // namespace lab
