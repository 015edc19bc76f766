// Traffic control over rtnetlink: the messages that build, change and remove
// a shaper (an HTB root with one class and a leaf queue, or cake alone), the
// ingress qdisc with its redirect to an IFB device, and the parsers of the
// kernel's qdisc, class and filter answers with their statistics.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/netlink.h"

namespace nl::tc {

// The handles of the backend's own qdiscs and class. They are fixed, so that
// after a crash the service knows its tree again.
inline constexpr uint32_t kRootHandle = 0xC5A10000;   // c5a1:   the shaper at the root
inline constexpr uint32_t kClassHandle = 0xC5A10001;  // c5a1:1  its one class, at the limit
inline constexpr uint32_t kLeafHandle = 0xC5A20000;   // c5a2:   the leaf queue in the class
inline constexpr uint32_t kIngressHandle = 0xFFFF0000;
inline constexpr uint32_t kRootParent = 0xFFFFFFFF;     // TC_H_ROOT
inline constexpr uint32_t kIngressParent = 0xFFFFFFF1;  // TC_H_INGRESS (also clsact's)
// Where the redirect filter hangs: the ingress hook, which a plain ingress
// qdisc and a clsact (other tools' BPF programs beside ours) both offer.
inline constexpr uint32_t kIngressHook = 0xFFFFFFF2;
// Priority of the one filter that redirects a WAN's ingress to its IFB.
inline constexpr uint16_t kRedirectPref = 0xC5A1;
// The cookie of the redirect's action (at most 16 bytes): the service's mark
// on the one filter it puts on another's ingress.
inline constexpr std::string_view kRedirectCookie = "corvane-service";

// The queue that holds packets under the limit, best first.
enum class Leaf { Cake, FqCodel, Sfq, Bfifo };
inline constexpr Leaf kLeavesByPreference[] = {Leaf::Cake, Leaf::FqCodel, Leaf::Sfq, Leaf::Bfifo};
const char* LeafKind(Leaf leaf);  // the kernel's name: "cake", "fq_codel", "sfq", "bfifo"
std::optional<Leaf> LeafFromKind(std::string_view kind);

// How the line carries each packet, so that the shaper counts what the line
// counts. `overhead` is what the line adds to each IP packet (cake's
// meaning); unset, a packet counts as the kernel holds it, link header and
// all. `headerBytes` is that link header on the device (14 on Ethernet, 0 on
// PPP): HTB counts from the frame, so its rate is told the difference.
enum class LinkLayer { Ethernet, Atm, Ptm };
struct Framing {
    std::optional<int32_t> overhead;  // -64..256
    uint32_t mpu = 0;                 // the least a packet costs, after the overhead
    LinkLayer linkLayer = LinkLayer::Ethernet;
    uint32_t headerBytes = 0;
    bool operator==(const Framing&) const = default;
};
const char* LinkLayerName(LinkLayer layer);  // "ethernet", "atm", "ptm"
std::optional<LinkLayer> LinkLayerFromName(std::string_view name);
// HTB's per-packet overhead: the line's less the link header, at least 0
// (HTB's rate parameters hold no negative overhead).
uint32_t HtbOverhead(const Framing& framing);
// HTB's rate for a line rate: PTM's 64/65 encoding, which HTB cannot count
// per packet, is taken off the rate.
uint64_t HtbRate(uint64_t rateBytes, const Framing& framing);

// How a message treats what exists: Create fails when it is there, Replace
// takes its place, Change alters it in place (its queue kept).
enum class Mode { Create, Replace, Change };

// Sizes that follow from a rate in bytes per second.
uint32_t BurstBytes(uint64_t rateBytes);  // HTB's burst: 1 ms of the rate, at least two frames
uint32_t QuantumBytes(uint64_t rateBytes);
// A bfifo of about 5 ms of the rate, never below 4 full frames (about
// 10 Mbit/s and less). A GRO aggregate larger than the fifo is dropped as an
// overflow would be; at such rates the WAN seldom aggregates that much.
uint32_t FifoBytes(uint64_t rateBytes);

// `dev` names the device in the message's words.
nl::Message HtbRoot(int ifindex, Mode mode, std::string_view dev);
nl::Message HtbClass(int ifindex, uint64_t rateBytes, Mode mode, std::string_view dev,
                     const Framing& framing = {});
// The leaf: cake is the root itself (with the rate, and its ingress mode on
// an IFB); the others sit in the HTB class.
nl::Message LeafQdisc(int ifindex, Leaf leaf, uint64_t rateBytes, bool ingress, Mode mode,
                      std::string_view dev, const Framing& framing = {});
// A bfifo of `limitBytes` in the HTB class (the lab's deep ISP buffer).
nl::Message BfifoLeaf(int ifindex, uint32_t limitBytes, Mode mode, std::string_view dev);
nl::Message IngressQdisc(int ifindex, std::string_view dev);
// A u32 filter on the ingress hook that matches every packet and whose
// mirred action redirects it to the egress of `target`.
nl::Message RedirectFilter(int ifindex, int target, std::string_view dev,
                           std::string_view targetName);
nl::Message DeleteQdisc(int ifindex, uint32_t parent, uint32_t handle, std::string what);
// Every filter of our priority on the ingress hook.
nl::Message DeleteFilters(int ifindex, std::string_view dev);

nl::Message DumpQdiscs(int ifindex);
nl::Message DumpClasses(int ifindex);
nl::Message DumpFilters(int ifindex, uint32_t parent);

// Queue statistics (TCA_STATS2): what the service reports and the lab plots.
struct Stats {
    uint64_t bytes = 0;
    uint32_t backlog = 0;  // bytes waiting
    uint32_t drops = 0;
};

struct Qdisc {
    int ifindex = 0;
    uint32_t handle = 0;
    uint32_t parent = 0;
    std::string kind;
    Stats stats;
    uint32_t fifoLimit = 0;    // bfifo/pfifo: its limit
    uint64_t cakeRate = 0;     // cake: bytes per second, 0 unlimited
    bool cakeIngress = false;  // cake: counts what it drops against the rate (an IFB's)
    Framing cakeFraming;       // cake: its overhead (unset: raw), mpu and ATM/PTM mode
    uint32_t htbDefault = 0;   // htb: the default class's minor number
};

struct Class {
    int ifindex = 0;
    uint32_t handle = 0;
    uint32_t parent = 0;
    std::string kind;
    uint64_t rateBytes = 0;  // htb: rate and ceiling in bytes per second
    uint64_t ceilBytes = 0;
    uint32_t quantum = 0;
    uint32_t overhead = 0;  // htb: the rate's framing
    uint32_t mpu = 0;
    bool atm = false;
    Stats stats;
};

struct Filter {
    int ifindex = 0;
    uint32_t parent = 0;
    uint32_t handle = 0;
    uint16_t pref = 0;
    uint16_t protocol = 0;  // host order (ETH_P_ALL ...)
    std::string kind;
    int redirectTo = 0;  // the device a mirred redirect sends to; 0 for none
    std::string cookie;  // that redirect action's cookie
};

// Parsers of the kernel's answers (RTM_NEWQDISC, RTM_NEWTCLASS,
// RTM_NEWTFILTER); false when the message is not of that type or too short.
bool ParseQdisc(const nlmsghdr* message, Qdisc* qdisc);
bool ParseClass(const nlmsghdr* message, Class* cls);
bool ParseFilter(const nlmsghdr* message, Filter* filter);

// The qdiscs, classes and filters of one device.
nl::Result ListQdiscs(nl::Transport& transport, int ifindex, std::vector<Qdisc>* out);
nl::Result ListClasses(nl::Transport& transport, int ifindex, std::vector<Class>* out);
nl::Result ListFilters(nl::Transport& transport, int ifindex, uint32_t parent,
                       std::vector<Filter>* out);

// The qdiscs of every device, in one dump.
nl::Result ListAllQdiscs(nl::Transport& transport, std::vector<Qdisc>* out);

// "c5a1:1", "ffff:", "root": a handle as tc writes it.
std::string HandleText(uint32_t handle);

}  // namespace nl::tc
