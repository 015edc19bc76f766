// The tc messages of the kernel backend: building, changing and removing
// its qdiscs, class and redirect, and the dumps that list them.
#include "netlink/tc.h"

// netinet/in.h before the linux/ headers, so that those defer to glibc.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/gen_stats.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

namespace nl::tc {
namespace {

constexpr uint32_t kMaxFrameBytes = 1514;   // an Ethernet frame without its FCS
constexpr uint64_t kBurstPerSecond = 1000;  // HTB's burst: 1 ms of the rate
constexpr uint32_t kRateToQuantum = 10;     // HTB's own default ratio (r2q)
constexpr uint32_t kMinQuantum = kMaxFrameBytes;
constexpr uint32_t kMaxQuantum = 200000;  // above this HTB warns and clamps
// The fallback leaf's depth: a few milliseconds, so that the router's own
// standing queue under load stays below the rise over idle that sandrow's
// probes read as a full line (10 ms and more); a deeper fifo made every
// loaded probe look like one, and the limit walked down to its floor.
constexpr uint64_t kFifoMs = 5;
// At low rates 5 ms are less than a frame: TCP needs room for a short burst.
constexpr uint32_t kMinFifoFrames = 4;
constexpr uint32_t kMinFifoBytes = kMinFifoFrames * kMaxFrameBytes;
constexpr uint32_t kMaxFifoBytes = 16 << 20;
constexpr uint32_t kSfqPerturbSeconds = 10;
constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int kPschedShift = 6;  // the kernel's tick is 64 ns (PSCHED_SHIFT)
// PTM's 64b/65b encoding: 65 bytes on the line for each 64 of the frame.
constexpr uint64_t kPtmPayload = 64;
constexpr uint64_t kPtmLine = 65;
// LinkLayer's names, in its order.
constexpr const char* kLinkLayerNames[] = {"ethernet", "atm", "ptm"};

uint16_t ModeFlags(Mode mode) {
    switch (mode) {
        case Mode::Create:
            return NLM_F_CREATE | NLM_F_EXCL;
        case Mode::Replace:
            return NLM_F_CREATE | NLM_F_REPLACE;
        case Mode::Change:
            return 0;
    }
    return 0;
}

const char* ModeVerb(Mode mode) {
    switch (mode) {
        case Mode::Create:
            return "adding";
        case Mode::Replace:
            return "replacing";
        case Mode::Change:
            return "changing";
    }
    return "";
}

nl::Message TcRequest(uint16_t type, uint16_t flags, int ifindex, uint32_t parent, uint32_t handle,
                      std::string what, uint32_t info = 0) {
    nl::Message m(type, flags, std::move(what));
    auto* tcm = m.Body<tcmsg>();
    tcm->tcm_family = AF_UNSPEC;
    tcm->tcm_ifindex = ifindex;
    tcm->tcm_parent = parent;
    tcm->tcm_handle = handle;
    tcm->tcm_info = info;
    return m;
}

// A filter's priority and protocol (every protocol) as tcm_info carries them.
uint32_t FilterInfo(uint16_t pref) {
    return TC_H_MAKE(static_cast<uint32_t>(pref) << 16, htons(ETH_P_ALL));
}

// Time to send `bytes` at `rateBytes` in the kernel's 64 ns ticks.
uint32_t TransmitTicks(uint64_t bytes, uint64_t rateBytes) {
    if (rateBytes == 0) return std::numeric_limits<uint32_t>::max();
    __uint128_t ns = static_cast<__uint128_t>(bytes) * kNanosPerSecond;
    __uint128_t ticks = (ns / rateBytes + ((1 << kPschedShift) - 1)) >> kPschedShift;
    return ticks > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                        : static_cast<uint32_t>(ticks);
}

tc_ratespec RateSpec(uint64_t rateBytes, const Framing& framing) {
    tc_ratespec r{};
    // With the link layer given the kernel needs no rate table, and counts
    // each packet as overhead + length, at least mpu, in ATM cells for atm.
    r.linklayer = framing.linkLayer == LinkLayer::Atm ? TC_LINKLAYER_ATM : TC_LINKLAYER_ETHERNET;
    r.overhead = static_cast<uint16_t>(HtbOverhead(framing));
    r.mpu = static_cast<uint16_t>(framing.mpu);
    r.cell_align = -1;
    r.rate = rateBytes >= (uint64_t{1} << 32) ? ~0U : static_cast<uint32_t>(rateBytes);
    return r;
}

}  // namespace

const char* LeafKind(Leaf leaf) {
    switch (leaf) {
        case Leaf::Cake:
            return "cake";
        case Leaf::FqCodel:
            return "fq_codel";
        case Leaf::Sfq:
            return "sfq";
        case Leaf::Bfifo:
            return "bfifo";
    }
    return "";
}

std::optional<Leaf> LeafFromKind(std::string_view kind) {
    for (Leaf leaf : kLeavesByPreference) {
        if (kind == LeafKind(leaf)) return leaf;
    }
    return std::nullopt;
}

const char* LinkLayerName(LinkLayer layer) {
    return kLinkLayerNames[static_cast<size_t>(layer)];
}

std::optional<LinkLayer> LinkLayerFromName(std::string_view name) {
    for (size_t i = 0; i < std::size(kLinkLayerNames); ++i) {
        if (name == kLinkLayerNames[i]) return static_cast<LinkLayer>(i);
    }
    return std::nullopt;
}

uint32_t HtbOverhead(const Framing& framing) {
    if (!framing.overhead) return 0;
    return static_cast<uint32_t>(
        std::max<int64_t>(int64_t{*framing.overhead} - framing.headerBytes, 0));
}

uint64_t HtbRate(uint64_t rateBytes, const Framing& framing) {
    if (framing.linkLayer != LinkLayer::Ptm) return rateBytes;
    return std::max<uint64_t>(rateBytes / kPtmLine * kPtmPayload, 1);
}

uint32_t BurstBytes(uint64_t rateBytes) {
    uint64_t burst = std::max<uint64_t>(rateBytes / kBurstPerSecond, 2 * kMaxFrameBytes);
    return static_cast<uint32_t>(std::min<uint64_t>(burst, std::numeric_limits<uint32_t>::max()));
}

uint32_t QuantumBytes(uint64_t rateBytes) {
    return static_cast<uint32_t>(
        std::clamp<uint64_t>(rateBytes / kRateToQuantum, kMinQuantum, kMaxQuantum));
}

uint32_t FifoBytes(uint64_t rateBytes) {
    // Bounded before the product, which would wrap for the fastest rates.
    const uint64_t rate = std::min<uint64_t>(rateBytes, uint64_t{kMaxFifoBytes} * 1000 / kFifoMs);
    return static_cast<uint32_t>(
        std::clamp<uint64_t>(rate * kFifoMs / 1000, kMinFifoBytes, kMaxFifoBytes));
}

nl::Message HtbRoot(int ifindex, Mode mode, std::string_view dev) {
    nl::Message m =
        TcRequest(RTM_NEWQDISC, ModeFlags(mode), ifindex, kRootParent, kRootHandle,
                  std::string(ModeVerb(mode)) + " the htb qdisc of " + std::string(dev));
    m.PutString(TCA_KIND, "htb");
    nlattr* options = m.Nest(TCA_OPTIONS);
    tc_htb_glob glob{};
    glob.version = TC_HTB_PROTOVER;
    glob.rate2quantum = kRateToQuantum;   // unused: every class has its quantum
    glob.defcls = kClassHandle & 0xFFFF;  // everything goes to the one class
    m.PutBytes(TCA_HTB_INIT, &glob, sizeof glob);
    m.EndNest(options);
    return m;
}

nl::Message HtbClass(int ifindex, uint64_t lineRateBytes, Mode mode, std::string_view dev,
                     const Framing& framing) {
    const uint64_t rateBytes = HtbRate(lineRateBytes, framing);
    nl::Message m =
        TcRequest(RTM_NEWTCLASS, ModeFlags(mode), ifindex, kRootHandle, kClassHandle,
                  std::string(ModeVerb(mode)) + " the htb class of " + std::string(dev) + " at " +
                      std::to_string(lineRateBytes * 8) + " bps");
    m.PutString(TCA_KIND, "htb");
    nlattr* options = m.Nest(TCA_OPTIONS);
    if (rateBytes >= (uint64_t{1} << 32)) {
        m.PutU64(TCA_HTB_RATE64, rateBytes);
        m.PutU64(TCA_HTB_CEIL64, rateBytes);
    }
    tc_htb_opt opt{};
    opt.rate = RateSpec(rateBytes, framing);
    opt.ceil = RateSpec(rateBytes, framing);
    opt.buffer = TransmitTicks(BurstBytes(rateBytes), rateBytes);
    opt.cbuffer = opt.buffer;
    opt.quantum = QuantumBytes(rateBytes);
    m.PutBytes(TCA_HTB_PARMS, &opt, sizeof opt);
    m.EndNest(options);
    return m;
}

nl::Message LeafQdisc(int ifindex, Leaf leaf, uint64_t rateBytes, bool ingress, Mode mode,
                      std::string_view dev, const Framing& framing) {
    const bool atRoot = leaf == Leaf::Cake;
    nl::Message m = TcRequest(
        RTM_NEWQDISC, ModeFlags(mode), ifindex, atRoot ? kRootParent : kClassHandle,
        atRoot ? kRootHandle : kLeafHandle,
        std::string(ModeVerb(mode)) + " the " + LeafKind(leaf) + " qdisc of " + std::string(dev));
    m.PutString(TCA_KIND, LeafKind(leaf));
    switch (leaf) {
        case Leaf::Cake: {
            nlattr* options = m.Nest(TCA_OPTIONS);
            m.PutU64(TCA_CAKE_BASE_RATE64, rateBytes);
            m.PutU32(TCA_CAKE_INGRESS, ingress ? 1 : 0);
            // Every part of the framing, each time: a change from another
            // framing (an edited file) leaves nothing of the old one.
            if (framing.overhead) {
                m.PutU32(TCA_CAKE_OVERHEAD, static_cast<uint32_t>(*framing.overhead));
            } else {
                m.PutU32(TCA_CAKE_RAW, 0);
            }
            m.PutU32(TCA_CAKE_MPU, framing.mpu);
            m.PutU32(TCA_CAKE_ATM, framing.linkLayer == LinkLayer::Atm   ? CAKE_ATM_ATM
                                   : framing.linkLayer == LinkLayer::Ptm ? CAKE_ATM_PTM
                                                                         : CAKE_ATM_NONE);
            m.EndNest(options);
            break;
        }
        case Leaf::FqCodel: {
            nlattr* options = m.Nest(TCA_OPTIONS);
            m.PutU32(TCA_FQ_CODEL_ECN, 1);
            m.EndNest(options);
            break;
        }
        case Leaf::Sfq: {
            tc_sfq_qopt opt{};  // zeros: the kernel's defaults
            opt.perturb_period = kSfqPerturbSeconds;
            m.PutBytes(TCA_OPTIONS, &opt, sizeof opt);
            break;
        }
        case Leaf::Bfifo:
            return BfifoLeaf(ifindex, FifoBytes(rateBytes), mode, dev);
    }
    return m;
}

nl::Message BfifoLeaf(int ifindex, uint32_t limitBytes, Mode mode, std::string_view dev) {
    nl::Message m =
        TcRequest(RTM_NEWQDISC, ModeFlags(mode), ifindex, kClassHandle, kLeafHandle,
                  std::string(ModeVerb(mode)) + " the bfifo qdisc of " + std::string(dev));
    m.PutString(TCA_KIND, "bfifo");
    tc_fifo_qopt opt{limitBytes};
    m.PutBytes(TCA_OPTIONS, &opt, sizeof opt);
    return m;
}

nl::Message IngressQdisc(int ifindex, std::string_view dev) {
    nl::Message m = TcRequest(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, ifindex, kIngressParent,
                              kIngressHandle, "adding the ingress qdisc of " + std::string(dev));
    m.PutString(TCA_KIND, "ingress");
    return m;
}

nl::Message RedirectFilter(int ifindex, int target, std::string_view dev,
                           std::string_view targetName) {
    nl::Message m = TcRequest(
        RTM_NEWTFILTER, NLM_F_CREATE | NLM_F_EXCL, ifindex, kIngressHook, 0,
        "adding the filter that redirects " + std::string(dev) + " to " + std::string(targetName),
        FilterInfo(kRedirectPref));
    m.PutString(TCA_KIND, "u32");
    nlattr* options = m.Nest(TCA_OPTIONS);
    // One key that matches every packet (mask 0 at offset 0), terminal.
    uint8_t selector[sizeof(tc_u32_sel) + sizeof(tc_u32_key)] = {};
    tc_u32_sel sel{};
    sel.flags = TC_U32_TERMINAL;
    sel.nkeys = 1;
    std::memcpy(selector, &sel, sizeof sel);
    m.PutBytes(TCA_U32_SEL, selector, sizeof selector);
    nlattr* actions = m.Nest(TCA_U32_ACT);
    nlattr* first = m.Nest(1);  // actions are numbered from 1, in order
    m.PutString(TCA_ACT_KIND, "mirred");
    m.PutBytes(TCA_ACT_COOKIE, kRedirectCookie.data(), kRedirectCookie.size());
    nlattr* actOptions = m.Nest(TCA_ACT_OPTIONS | NLA_F_NESTED);
    tc_mirred parms{};
    parms.action = TC_ACT_STOLEN;
    parms.eaction = TCA_EGRESS_REDIR;
    parms.ifindex = static_cast<uint32_t>(target);
    m.PutBytes(TCA_MIRRED_PARMS, &parms, sizeof parms);
    m.EndNest(actOptions);
    m.EndNest(first);
    m.EndNest(actions);
    m.EndNest(options);
    return m;
}

nl::Message DeleteQdisc(int ifindex, uint32_t parent, uint32_t handle, std::string what) {
    return TcRequest(RTM_DELQDISC, 0, ifindex, parent, handle, std::move(what));
}

nl::Message DeleteFilters(int ifindex, std::string_view dev) {
    return TcRequest(RTM_DELTFILTER, 0, ifindex, kIngressHook, 0,
                     "deleting the redirect filter of " + std::string(dev),
                     FilterInfo(kRedirectPref));
}

nl::Message DumpQdiscs(int ifindex) {
    return TcRequest(RTM_GETQDISC, NLM_F_DUMP, ifindex, 0, 0,
                     ifindex == 0 ? std::string("listing the qdiscs")
                                  : "listing the qdiscs of the link #" + std::to_string(ifindex));
}

nl::Message DumpClasses(int ifindex) {
    return TcRequest(RTM_GETTCLASS, NLM_F_DUMP, ifindex, 0, 0,
                     "listing the classes of the link #" + std::to_string(ifindex));
}

nl::Message DumpFilters(int ifindex, uint32_t parent) {
    return TcRequest(RTM_GETTFILTER, NLM_F_DUMP, ifindex, parent, 0,
                     "listing the filters of the link #" + std::to_string(ifindex));
}

}  // namespace nl::tc
