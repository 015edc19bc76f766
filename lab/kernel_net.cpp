// Building the kernel lab's namespaces, links, addresses, routes and line.
#include "lab/kernel_net.h"

#include <linux/netlink.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <cmath>
#include <cstring>
#include <fstream>

#include "lab/net_requests.h"
#include "lab/traffic.h"
#include "netlink/links.h"
#include "netlink/tc.h"

namespace lab {
namespace {

namespace links = nl::links;
namespace netns = nl::netns;
namespace tc = nl::tc;

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
    return index != 0 && Do(transport, lab::AddAddress(index, Ipv4(address), prefix), error) &&
           Do(transport, links::SetLinkUp(index, true, name), error);
}

bool Route(nl::Transport& transport, const char* destination, int prefix, const char* gateway,
           const char* dev, std::string* error) {
    int index = IndexOf(transport, dev, error);
    return index != 0 && Do(transport,
                            lab::AddRoute(destination == nullptr ? 0 : Ipv4(destination), prefix,
                                          Ipv4(gateway), index),
                            error);
}

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

std::string Isp(size_t line) {
    return "isp" + std::to_string(line);
}
std::string IspAddress(size_t line) {
    return "10." + std::to_string(99 - line) + ".0.1";
}
// The router's own table for what comes from the client's address of a line.
uint8_t LineTable(size_t line) {
    return static_cast<uint8_t>(101 + line);
}
uint32_t LineMetric(size_t line) {
    return static_cast<uint32_t>(100 * (line + 1));
}

// The namespace's sysctl `name` (under /proc/sys/net/ipv4/) set to `value`.
bool Sysctl(const netns::Namespace& ns, const std::string& name, const char* value) {
    netns::Inside inside(ns);
    std::ofstream file("/proc/sys/net/ipv4/" + name);
    file << value << "\n";
    return inside.ok() && file.flush().good();
}

}  // namespace

std::string KernelNet::Wan(size_t line) {
    return "wan" + std::to_string(line);
}
std::string KernelNet::WanAddress(size_t line) {
    return "10." + std::to_string(99 - line) + ".0.2";
}
std::string KernelNet::ClientAddress(size_t line) {
    return "10.99.1." + std::to_string(2 + line);
}

bool KernelNet::AddRoundTrip(size_t line, double ms, std::string* error) {
    const std::string isp = Isp(line), ifbName = isp + "-rtt";
    if (!Do(internetSocket_, links::NewIfb(ifbName, "", 0), error)) return false;
    int ifb = IndexOf(internetSocket_, ifbName.c_str(), error);
    if (ifb == 0 || !Do(internetSocket_, links::SetLinkUp(ifb, true, ifbName), error)) {
        return false;
    }
    nl::Message netem = NetemDelay(ifb, ms);
    if (nl::Result r = internetSocket_.Request(netem); !r.ok()) {
        *error = r.error == ENOENT
                     ? "this kernel has no netem to add the line's round trip (" + r.Text() + ")"
                     : r.Text();
        return false;
    }
    return Do(internetSocket_, tc::IngressQdisc(ispIndex_[line], isp), error) &&
           Do(internetSocket_, tc::RedirectFilter(ispIndex_[line], ifb, isp, ifbName), error);
}

// Line N: the veth pair, its addresses, the router's routes and rule through
// it, the internet's route back to the client's address N, the ISP's queue.
bool KernelNet::AddLine(size_t line, const KernelLineNet& config, std::string* error) {
    const std::string wan = Wan(line), isp = Isp(line), ispAddress = IspAddress(line);
    const uint32_t client = Ipv4(ClientAddress(line).c_str());
    if (!Do(routerSocket_, lab::NewVeth(wan, isp, internet_->fd(), 1), error) ||
        !Configure(internetSocket_, isp.c_str(), ispAddress.c_str(), 24, error) ||
        !Configure(routerSocket_, wan.c_str(), WanAddress(line).c_str(), 24, error)) {
        return false;
    }
    const int wanIndex = IndexOf(routerSocket_, wan.c_str(), error);
    const int ispIndex = IndexOf(internetSocket_, isp.c_str(), error);
    if (wanIndex == 0 || ispIndex == 0) return false;
    ispIndex_.push_back(ispIndex);
    if (!Do(routerSocket_,
            lab::AddRoute(0, 0, Ipv4(ispAddress.c_str()), wanIndex, LineMetric(line)), error) ||
        !Do(routerSocket_,
            lab::AddRoute(0, 0, Ipv4(ispAddress.c_str()), wanIndex, 0, LineTable(line)), error) ||
        !Do(routerSocket_, lab::AddSourceRule(client, LineTable(line)), error) ||
        !Do(internetSocket_, lab::AddRoute(client, 32, Ipv4(WanAddress(line).c_str()), ispIndex),
            error)) {
        return false;
    }
    if (config.rttMs > 0 && !AddRoundTrip(line, config.rttMs, error)) {
        *error = config.rttKey + ": " + *error;
        return false;
    }
    uint64_t rate = BytesPerSecond(config.capacityMbps);
    return Do(internetSocket_, tc::HtbRoot(ispIndex, tc::Mode::Create, isp), error) &&
           Do(internetSocket_, tc::HtbClass(ispIndex, rate, tc::Mode::Create, isp), error) &&
           Do(internetSocket_, tc::BfifoLeaf(ispIndex, config.bufferBytes, tc::Mode::Create, isp),
              error);
}

bool KernelNet::Build(const KernelNetConfig& config, std::string* error) {
    if (config.lines.empty() || config.lines.size() > kMaxLines) {
        *error = "the kernel lab builds 1 to " + std::to_string(kMaxLines) + " lines";
        return false;
    }
    internet_ = netns::Namespace::Create(error);
    if (!internet_) return false;
    router_ = netns::Namespace::Create(error);
    if (!router_) return false;
    client_ = netns::Namespace::Create(error);
    if (!client_) return false;
    far_ = netns::Namespace::Create(error);
    if (!far_) return false;
    for (const netns::Namespace* ns : {&*router_, &*internet_, &*client_, &*far_}) {
        // Each line's traffic comes back the way it left, and answers to the
        // router's own probes come in on the line they left on; no strict
        // reverse-path check (a host's default may be inherited) may drop
        // what the rules route.
        if (!Sysctl(*ns, "conf/all/rp_filter", "0") ||
            !Sysctl(*ns, "conf/default/rp_filter", "0")) {
            *error = "cannot turn off the reverse-path filter in a namespace of the lab";
            return false;
        }
    }
    if (!SocketIn(*internet_, &internetSocket_, error) ||
        !SocketIn(*router_, &routerSocket_, error) || !SocketIn(*client_, &clientSocket_, error) ||
        !SocketIn(*far_, &farSocket_, error)) {
        return false;
    }
    // Wire-sized packets on every link, as on a real line (no 64 KiB TSO
    // frames that a router's queues would never see).
    if (!Do(routerSocket_, lab::NewVeth("lan0", "eth0", client_->fd(), 1), error) ||
        !Do(internetSocket_, lab::NewVeth("core0", "far0", far_->fd(), 1), error) ||
        !Configure(internetSocket_, "core0", "10.99.2.1", 24, error) ||
        !Configure(farSocket_, "far0", kFarAddress, 24, error) ||
        !Configure(routerSocket_, "lan0", "10.99.1.1", 24, error) ||
        !Configure(clientSocket_, "eth0", ClientAddress(0).c_str(), 24, error)) {
        return false;
    }
    const int eth0 = IndexOf(clientSocket_, "eth0", error);
    if (eth0 == 0) return false;
    for (size_t line = 1; line < config.lines.size(); ++line) {
        if (!Do(clientSocket_, lab::AddAddress(eth0, Ipv4(ClientAddress(line).c_str()), 24),
                error)) {
            return false;
        }
    }
    for (const std::string& address : config.internetAddresses) {
        if (!Do(internetSocket_, lab::AddAddress(kLoopbackIndex, Ipv4(address.c_str()), 32),
                error)) {
            return false;
        }
    }
    if (!Route(clientSocket_, nullptr, 0, "10.99.1.1", "eth0", error) ||
        !Route(farSocket_, nullptr, 0, "10.99.2.1", "far0", error)) {
        return false;
    }
    for (const netns::Namespace* ns : {&*router_, &*internet_}) {
        if (!Sysctl(*ns, "ip_forward", "1")) {
            *error = "cannot turn on forwarding in the router or the internet";
            return false;
        }
    }
    for (size_t line = 0; line < config.lines.size(); ++line) {
        if (!AddLine(line, config.lines[line], error)) return false;
    }
    return true;
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

bool KernelNet::SetCapacity(size_t line, double mbps, std::string* error) {
    return Do(internetSocket_,
              tc::HtbClass(ispIndex_.at(line), BytesPerSecond(mbps), tc::Mode::Change, Isp(line)),
              error);
}

LineReading KernelNet::Read(size_t line) {
    LineReading reading;
    std::vector<tc::Qdisc> qdiscs;
    if (tc::ListQdiscs(internetSocket_, ispIndex_.at(line), &qdiscs).ok()) {
        for (const tc::Qdisc& q : qdiscs) {
            if (q.handle != tc::kLeafHandle) continue;
            reading.ispBacklogBytes = q.stats.backlog;
            reading.ispDrops = q.stats.drops;
        }
    }
    std::optional<links::Link> ifb;
    // The service's download IFB for the line's WAN.
    if (!links::FindLink(routerSocket_, "cvn-" + Wan(line), &ifb).ok() || !ifb) return reading;
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
