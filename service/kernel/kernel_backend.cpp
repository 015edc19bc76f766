// The kernel backend: building, checking, repairing and removing each
// gateway's shaping tree, its limits and its counters.
#include "service/kernel/kernel_backend.h"

#include <linux/capability.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include "service/kernel/ethtool.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

// The IFB devices carry this alias, so that the service knows them again.
constexpr const char* kAliasPrefix = "corvane-service: download of ";
// The scratch device on which the leaf queues are tried; "cvn-" names are
// the gateways' own, so this one cannot collide with them.
// The leaf detection's scratch IFB: "cvnp" and the process id, so that two
// services (two configurations) starting at once do not share one.
constexpr const char* kScratchPrefix = "cvnp";
constexpr const char* kScratchAlias = "corvane-service: trying queue kinds";
// A lifted limit on a link whose speed the driver does not tell.
constexpr int64_t kUnknownLinkLiftBps = 10000000000;
// Events come in bursts (one per qdisc of a rebuilt tree): one look after them.
constexpr auto kEventSettle = 50ms;
constexpr auto kFirstRetry = 1s;
constexpr auto kMaxRetry = 30s;
// A look at every tree now and then, for what no event told.
constexpr auto kSweepInterval = 30s;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

bool HasNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

int64_t Bits(uint64_t bytes) {
    return bytes > static_cast<uint64_t>(kInt64Max) / 8 ? kInt64Max
                                                        : static_cast<int64_t>(bytes * 8);
}

std::string LimitText(int64_t bps) {
    return bps < 0 ? std::string("none") : std::to_string(bps) + " bps";
}

const tc::Qdisc* FindQdisc(const std::vector<tc::Qdisc>& qdiscs, uint32_t parent) {
    for (const tc::Qdisc& q : qdiscs) {
        if (q.parent == parent) return &q;
    }
    return nullptr;
}

const tc::Qdisc* FindQdiscByHandle(const std::vector<tc::Qdisc>& qdiscs, uint32_t handle) {
    for (const tc::Qdisc& q : qdiscs) {
        if (q.handle == handle) return &q;
    }
    return nullptr;
}

// A root qdisc that the kernel put there by itself (handle 0:): ours may
// take its place.
bool IsDefault(const tc::Qdisc* q) {
    return q == nullptr || (q->handle >> 16) == 0;
}

// An ingress qdisc is ours when it holds only our redirect (its entries at
// our preference, every redirect among them with our cookie), or nothing
// while our IFB exists (a crash between the two).
// Ours is a u32 whose one key node redirects with our cookie (to no device
// once its IFB is gone); u32 also lists its hash table (node 0), bare.
bool Ours(const tc::Filter& f) {
    if (f.pref != tc::kRedirectPref || f.kind != "u32") return false;
    const bool hashTable = (f.handle & 0xFFF) == 0;
    return hashTable || f.cookie == tc::kRedirectCookie;
}

bool OwnIngress(const tc::Qdisc& ingress, const std::vector<tc::Filter>& filters, bool ifbExists) {
    if (ingress.kind != "ingress") return false;
    if (!std::all_of(filters.begin(), filters.end(), Ours)) return false;
    return !filters.empty() || ifbExists;
}

// Another's filter in the place of our redirect.
bool ForeignAtOurPref(const std::vector<tc::Filter>& filters) {
    return std::any_of(filters.begin(), filters.end(),
                       [](const tc::Filter& f) { return f.pref == tc::kRedirectPref && !Ours(f); });
}

// The framing as the log shows it; empty for a plain Ethernet count.
std::string FramingText(const tc::Framing& f, tc::Leaf leaf) {
    tc::Framing plain;
    plain.headerBytes = f.headerBytes;
    if (f == plain) return "";
    std::string text = std::string(", framing ") + tc::LinkLayerName(f.linkLayer);
    if (f.overhead) text += " overhead " + std::to_string(*f.overhead);
    if (f.mpu != 0) text += " mpu " + std::to_string(f.mpu);
    if (leaf != tc::Leaf::Cake && f.overhead && *f.overhead < static_cast<int>(f.headerBytes)) {
        text += " (HTB counts the " + std::to_string(f.headerBytes) +
                "-byte link header: it takes no smaller overhead)";
    }
    return text;
}

std::string QdiscText(const tc::Qdisc& q) {
    return q.kind + " " + tc::HandleText(q.handle);
}

}  // namespace

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

std::unique_ptr<KernelBackend> KernelBackend::Open(KernelConfig config, std::string* error) {
    auto socket = std::make_unique<nl::Socket>();
    if (int e = socket->Open(NETLINK_ROUTE); e != 0) {
        *error = std::string("cannot open a netlink socket: ") + std::strerror(e);
        return nullptr;
    }
    auto speeds = std::make_shared<ethtool::LinkSpeeds>();
    speeds->Open();  // without ethtool netlink every speed is unknown
    KernelSystem system;
    system.hasNetAdmin = &HasNetAdmin;
    system.linkSpeedBps = [speeds](int ifindex) { return speeds->SpeedBps(ifindex); };
    system.now = [] { return Clock::now(); };
    system.requestPort = socket->portId();
    nl::Socket& transport = *socket;
    auto backend = std::make_unique<KernelBackend>(std::move(config), transport, std::move(system));
    backend->ownTransport_ = std::move(socket);
    return backend;
}

std::string ScratchIfbName() {
    return kScratchPrefix + std::to_string(::getpid());
}

KernelBackend::KernelBackend(KernelConfig config, nl::Transport& transport, KernelSystem system)
    : t_(transport),
      system_(std::move(system)),
      configPath_(config.path),
      scratch_(ScratchIfbName()) {
    if (!system_.now) system_.now = [] { return Clock::now(); };
    if (!system_.wallNow) system_.wallNow = [] { return std::chrono::system_clock::now(); };
    if (!system_.linkSpeedBps) system_.linkSpeedBps = [](int) { return int64_t{0}; };
    if (!system_.hasNetAdmin) system_.hasNetAdmin = [] { return true; };
    for (KernelGateway& c : config.gateways) {
        auto g = std::make_unique<Gateway>();
        g->ifbName = IfbNameFor(c.interface);
        g->downloadBps = c.downloadBps;
        g->uploadBps = c.uploadBps;
        g->reportedDownloadBps = c.downloadBps;
        g->framing = c.framing;
        g->config = std::move(c);
        gateways_.push_back(std::move(g));
    }
}

KernelBackend::~KernelBackend() = default;

bool KernelBackend::Check(const nl::Result& result, std::string* problem) {
    if (result.ok()) return true;
    *problem = result.Text();
    return false;
}

bool KernelBackend::Send(nl::Message message, std::string* problem) {
    return Check(t_.Request(message), problem);
}

uint64_t KernelBackend::RateBytes(const Gateway& g, int64_t bps) const {
    if (bps < 0) bps = g.linkSpeedBps > 0 ? g.linkSpeedBps : kUnknownLinkLiftBps;
    // Above the link's own speed a limit limits nothing.
    if (g.linkSpeedBps > 0) bps = std::min(bps, g.linkSpeedBps);
    // HTB and cake take no rate of 0: a zero limit is one byte a second.
    return std::max<uint64_t>(static_cast<uint64_t>(bps) / 8, 1);
}

bool KernelBackend::OwnIfb(const Gateway& g, const links::Link& link) const {
    return link.kind == "ifb" && link.alias == kAliasPrefix + g.config.interface;
}

// The leaf kinds are tried on a scratch IFB device: a kernel without IFB or
// HTB cannot shape at all.
bool KernelBackend::DetectLeaves(std::string* error) {
    available_.clear();
    std::string problem;
    std::optional<links::Link> scratch;
    if (!Check(links::FindLink(t_, scratch_, &scratch), error)) return false;
    if (scratch) {
        if (scratch->kind != "ifb" ||
            (!scratch->alias.empty() && scratch->alias != kScratchAlias)) {
            *error = "a device named " + scratch_ + " exists that corvane-service did not create";
            return false;
        }
        Send(links::DeleteLink(scratch->index, scratch_), &problem);  // left by a crash
    }
    if (!Send(links::NewIfb(scratch_, kScratchAlias, 0), &problem)) {
        *error = "the kernel cannot make IFB devices (" + problem + ")";
        return false;
    }
    if (!Check(links::FindLink(t_, scratch_, &scratch), error)) return false;
    if (!scratch) {
        *error = "the IFB device " + scratch_ + " vanished after its creation";
        return false;
    }
    const int index = scratch->index;
    Send(links::SetAlias(index, kScratchAlias, scratch_), &problem);
    bool ok = true;
    if (Send(tc::LeafQdisc(index, tc::Leaf::Cake, 1, true, tc::Mode::Create, scratch_), &problem)) {
        available_.push_back(tc::Leaf::Cake);
        Send(tc::DeleteQdisc(index, tc::kRootParent, tc::kRootHandle, "removing the trial cake"),
             &problem);
    }
    if (!Send(tc::HtbRoot(index, tc::Mode::Create, scratch_), &problem) ||
        !Send(tc::HtbClass(index, 1000000, tc::Mode::Create, scratch_), &problem)) {
        *error = "the kernel has no HTB queueing discipline (" + problem + ")";
        ok = false;
    }
    for (tc::Leaf leaf : {tc::Leaf::FqCodel, tc::Leaf::Sfq, tc::Leaf::Bfifo}) {
        if (!ok) break;
        if (Send(tc::LeafQdisc(index, leaf, 1000000, true, tc::Mode::Create, scratch_), &problem)) {
            available_.push_back(leaf);
            Send(tc::DeleteQdisc(index, tc::kClassHandle, tc::kLeafHandle, "removing a trial leaf"),
                 &problem);
        }
    }
    std::string removal;
    if (!Send(links::DeleteLink(index, scratch_), &removal)) {
        ServiceLog("cannot remove the scratch device: " + removal);
    }
    if (!ok) return false;
    if (available_.empty()) {
        *error = "the kernel has none of the leaf queues cake, fq_codel, sfq and bfifo";
        return false;
    }
    return true;
}

bool KernelBackend::Start(std::string* error) {
    if (!system_.hasNetAdmin()) {
        *error =
            "the kernel backend needs CAP_NET_ADMIN (run corvane-service as root or grant it "
            "the capability)";
        return false;
    }
    // Every check that changes nothing comes first, so that a refusal leaves
    // the system as it was. The one read of the qdiscs serves the build too:
    // what comes in between (orphans, the trial device) touches no
    // configured WAN and no IFB of ours.
    const Snapshot all = TakeSnapshot();
    for (auto& g : gateways_) {
        std::string problem;
        WanView view;
        const Look look = Preflight(*g, all, &view, &problem);
        if (look == Look::Absent) {
            // An LTE stick not plugged in yet, a PPP link not up: shaped
            // when its link appears, the others from now on.
            ServiceLog(problem + "; shaped once it appears");
            g->problem = problem;
            continue;
        }
        if (look != Look::Fine) {
            *error = problem;
            return false;
        }
    }
    std::vector<std::string> problems;
    RemoveOrphans(&problems);
    for (const std::string& p : problems) ServiceLog(p);
    if (!DetectLeaves(error)) return false;
    std::vector<std::string> missing;
    for (tc::Leaf leaf : tc::kLeavesByPreference) {
        if (std::find(available_.begin(), available_.end(), leaf) == available_.end()) {
            missing.push_back(tc::LeafKind(leaf));
        }
    }
    const tc::Leaf best = available_.front();
    std::string choice = std::string("leaf queue: ") + tc::LeafKind(best);
    if (!missing.empty()) {
        choice += " (the kernel has no";
        for (size_t i = 0; i < missing.size(); ++i) {
            choice += (i == 0 ? " " : i + 1 == missing.size() ? " or " : ", ") + missing[i];
        }
        choice += ")";
    }
    ServiceLog(choice);
    // Listening first: damage done while the trees are built is heard.
    if (system_.watchEvents) {
        events_ = std::make_unique<nl::EventSocket>();
        if (int e = events_->Open({RTNLGRP_LINK, RTNLGRP_TC}); e != 0) {
            *error = std::string("cannot listen to link and tc events: ") + std::strerror(e);
            return false;
        }
    }
    for (auto& g : gateways_) {
        g->leaf = g->config.leaf.value_or(best);
        if (std::find(available_.begin(), available_.end(), g->leaf) == available_.end()) {
            *error = configPath_ + ":" + std::to_string(g->config.line) +
                     ": leaf = " + tc::LeafKind(g->leaf) + " in " + g->Where() +
                     ", but the kernel has no " + tc::LeafKind(g->leaf);
            return false;
        }
    }
    for (auto& g : gateways_) {
        if (g->wanIndex == 0) continue;  // absent: Reconcile builds it when it comes
        std::string problem;
        if (Ensure(*g, all, &problem) != Outcome::Built) {
            *error = g->config.interface + ": " + problem;
            std::vector<std::string> ignored;
            RemoveAll(&ignored);
            return false;
        }
        g->built = true;
        ServiceLog(
            g->config.interface + ": shaping download through " + g->ifbName + " (" +
            (g->leaf == tc::Leaf::Cake ? "cake" : std::string("htb + ") + tc::LeafKind(g->leaf)) +
            ") at " + LimitText(g->downloadBps) + ", upload at " + LimitText(g->uploadBps) +
            FramingText(g->framing, g->leaf));
    }
    started_ = true;
    nextSweep_ = system_.now() + kSweepInterval;
    return true;
}

KernelBackend::Snapshot KernelBackend::TakeSnapshot() {
    Snapshot all;
    all.ok = Check(tc::ListAllQdiscs(t_, &all.qdiscs), &all.problem);
    return all;
}

KernelBackend::Look KernelBackend::Preflight(Gateway& g, const Snapshot& all, WanView* view,
                                             std::string* problem) {
    std::optional<links::Link> wan;
    if (!Check(links::FindLink(t_, g.config.interface, &wan), problem)) return Look::Unseen;
    if (!wan) {
        g.wanIndex = 0;
        *problem = "no interface " + g.config.interface + " (interface of " + g.Where() + ")";
        return Look::Absent;
    }
    g.wanIndex = wan->index;
    g.mtu = wan->mtu;
    g.framing.headerBytes = wan->headerBytes();
    std::optional<links::Link>& ifb = view->ifb;
    if (!Check(links::FindLink(t_, g.ifbName, &ifb), problem)) return Look::Unseen;
    if (ifb && !OwnIfb(g, *ifb)) {
        *problem = "a device named " + g.ifbName + " exists that corvane-service did not create";
        return Look::MustNotShape;
    }
    if (!all.ok) {
        *problem = all.problem;
        return Look::Unseen;
    }
    std::vector<tc::Qdisc>& qdiscs = view->qdiscs;
    for (const tc::Qdisc& q : all.qdiscs) {
        if (q.ifindex == wan->index) qdiscs.push_back(q);
        if (ifb && q.ifindex == ifb->index) view->ifbQdiscs.push_back(q);
    }
    const std::string takeOver = "; set replace = yes in " + g.Where() + " to take it over";
    const tc::Qdisc* root = FindQdisc(qdiscs, tc::kRootParent);
    if (!IsDefault(root) && root->handle != tc::kRootHandle && !g.config.replace) {
        *problem = g.config.interface + " already has a root qdisc (" + QdiscText(*root) +
                   ") that corvane-service did not create" + takeOver;
        return Look::MustNotShape;
    }
    const tc::Qdisc* ingress = FindQdisc(qdiscs, tc::kIngressParent);
    if (ingress == nullptr) return Look::Fine;
    std::vector<tc::Filter>& filters = view->filters;
    if (!Check(tc::ListFilters(t_, wan->index, tc::kIngressHook, &filters), problem)) {
        return Look::Unseen;
    }
    if (ingress->kind == "clsact") {
        // Other tools' programs hang there: ours goes beside them, unless
        // one of theirs holds our place.
        if (!g.config.replace && ForeignAtOurPref(filters)) {
            *problem = g.config.interface + "'s clsact qdisc already has a filter at preference " +
                       std::to_string(tc::kRedirectPref) + " that corvane-service did not create" +
                       takeOver;
            return Look::MustNotShape;
        }
        return Look::Fine;
    }
    if (!g.config.replace) {
        if (!OwnIngress(*ingress, filters, ifb.has_value())) {
            *problem = g.config.interface + " already has an ingress qdisc (" +
                       QdiscText(*ingress) + ") that corvane-service did not create" + takeOver;
            return Look::MustNotShape;
        }
    }
    return Look::Fine;
}

KernelBackend::Outcome KernelBackend::Ensure(Gateway& g, const Snapshot& all,
                                             std::string* problem) {
    g.changes = 0;
    // What Preflight looked at is what is built on: the WAN's qdiscs and
    // filters do not change before this look changes them.
    WanView view;
    switch (Preflight(g, all, &view, problem)) {
        case Look::Fine:
            break;
        case Look::MustNotShape:
        case Look::Absent:
            return Outcome::Waiting;
        case Look::Unseen:
            return Outcome::Unseen;
    }
    g.linkSpeedBps = system_.linkSpeedBps(g.wanIndex);
    const std::string& wanName = g.config.interface;

    std::optional<links::Link>& ifb = view.ifb;
    if (!ifb) {
        // Created up, then named as ours: the kernel takes no alias at creation.
        if (!Send(links::NewIfb(g.ifbName, kAliasPrefix + wanName, g.mtu), problem)) {
            return Outcome::Failed;
        }
        ++g.changes;
        if (!Check(links::FindLink(t_, g.ifbName, &ifb), problem)) return Outcome::Failed;
        if (!ifb) {
            *problem = g.ifbName + " vanished after its creation";
            return Outcome::Failed;
        }
        if (!Send(links::SetAlias(ifb->index, kAliasPrefix + wanName, g.ifbName), problem)) {
            // Unmarked it would be no one's, and in the way of the next try.
            std::string ignored;
            Send(links::DeleteLink(ifb->index, g.ifbName), &ignored);
            return Outcome::Failed;
        }
    } else if (!ifb->up()) {
        if (!Send(links::SetLinkUp(ifb->index, true, g.ifbName), problem)) return Outcome::Failed;
        ++g.changes;
    }
    g.ifbIndex = ifb->index;
    if (!EnsureShaper(g, g.ifbIndex, g.ifbName, view.ifbQdiscs, RateBytes(g, g.downloadBps), true,
                      problem)) {
        return Outcome::Failed;
    }

    const tc::Qdisc* ingress = FindQdisc(view.qdiscs, tc::kIngressParent);
    std::vector<tc::Filter>& filters = view.filters;
    // A clsact stays, with whatever else it holds; a foreign ingress qdisc
    // is replaced (replace = yes: Preflight let it pass).
    if (ingress != nullptr && ingress->kind != "clsact") {
        if (!OwnIngress(*ingress, filters, true)) {
            if (!Send(tc::DeleteQdisc(g.wanIndex, tc::kIngressParent, ingress->handle,
                                      "removing the ingress qdisc of " + wanName),
                      problem)) {
                return Outcome::Failed;
            }
            ++g.changes;
            ingress = nullptr;
            filters.clear();
        }
    }
    if (ingress == nullptr) {
        if (!Send(tc::IngressQdisc(g.wanIndex, wanName), problem)) return Outcome::Failed;
        ++g.changes;
    }
    const bool redirected = std::any_of(filters.begin(), filters.end(), [&g](const tc::Filter& f) {
        return f.pref == tc::kRedirectPref && f.redirectTo == g.ifbIndex &&
               f.cookie == tc::kRedirectCookie;
    });
    // A redirect to an IFB that was made anew points at nothing: replaced.
    const bool atOurPref = std::any_of(filters.begin(), filters.end(), [](const tc::Filter& f) {
        return f.pref == tc::kRedirectPref;
    });
    if (!redirected && atOurPref) {
        if (!Send(tc::DeleteFilters(g.wanIndex, wanName), problem)) return Outcome::Failed;
    }
    if (!redirected) {
        if (!Send(tc::RedirectFilter(g.wanIndex, g.ifbIndex, wanName, g.ifbName), problem)) {
            return Outcome::Failed;
        }
        ++g.changes;
    }
    if (!EnsureShaper(g, g.wanIndex, wanName, view.qdiscs, RateBytes(g, g.uploadBps), false,
                      problem)) {
        return Outcome::Failed;
    }
    return Outcome::Built;
}

bool KernelBackend::EnsureShaper(Gateway& g, int ifindex, const std::string& dev,
                                 const std::vector<tc::Qdisc>& qdiscs, uint64_t rateBytes,
                                 bool ingress, std::string* problem) {
    const tc::Framing& framing = g.framing;
    const bool cake = g.leaf == tc::Leaf::Cake;
    const char* rootKind = cake ? "cake" : "htb";
    const tc::Qdisc* root = FindQdisc(qdiscs, tc::kRootParent);
    if (root != nullptr && root->handle == tc::kRootHandle && root->kind != rootKind) {
        // Ours, from a run with another leaf: a kind cannot be changed in place.
        if (!Send(tc::DeleteQdisc(ifindex, tc::kRootParent, tc::kRootHandle,
                                  "removing the " + root->kind + " qdisc of " + dev),
                  problem)) {
            return false;
        }
        ++g.changes;
        root = nullptr;
    }
    if (root == nullptr || root->handle != tc::kRootHandle) {
        // The kernel's default gives way by itself; a foreign one only to
        // Replace (Preflight let it pass: replace = yes).
        tc::Mode mode = IsDefault(root) ? tc::Mode::Create : tc::Mode::Replace;
        ++g.changes;
        if (cake) {
            return Send(tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, mode, dev, framing),
                        problem);
        }
        return Send(tc::HtbRoot(ifindex, mode, dev), problem) &&
               Send(tc::HtbClass(ifindex, rateBytes, tc::Mode::Create, dev, framing), problem) &&
               Send(tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, tc::Mode::Create, dev),
                    problem);
    }
    if (cake) {
        // Cake reports no link header: its overhead counts from the packet.
        tc::Framing wanted = framing;
        wanted.headerBytes = 0;
        if (root->cakeRate == rateBytes && root->cakeFraming == wanted) return true;
        ++g.changes;
        return Send(
            tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, tc::Mode::Change, dev, framing),
            problem);
    }
    std::vector<tc::Class> classes;
    if (!Check(tc::ListClasses(t_, ifindex, &classes), problem)) return false;
    auto cls = std::find_if(classes.begin(), classes.end(),
                            [](const tc::Class& c) { return c.handle == tc::kClassHandle; });
    const uint64_t htbRate = tc::HtbRate(rateBytes, framing);
    if (cls == classes.end()) {
        ++g.changes;
        if (!Send(tc::HtbClass(ifindex, rateBytes, tc::Mode::Create, dev, framing), problem)) {
            return false;
        }
    } else if (cls->rateBytes != htbRate || cls->ceilBytes != htbRate ||
               cls->overhead != tc::HtbOverhead(framing) || cls->mpu != framing.mpu ||
               cls->atm != (framing.linkLayer == tc::LinkLayer::Atm)) {
        ++g.changes;
        if (!Send(tc::HtbClass(ifindex, rateBytes, tc::Mode::Change, dev, framing), problem)) {
            return false;
        }
    }
    const tc::Qdisc* leaf = FindQdiscByHandle(qdiscs, tc::kLeafHandle);
    if (leaf != nullptr &&
        (leaf->parent != tc::kClassHandle || leaf->kind != tc::LeafKind(g.leaf))) {
        if (!Send(tc::DeleteQdisc(ifindex, leaf->parent, tc::kLeafHandle,
                                  "removing the " + leaf->kind + " qdisc of " + dev),
                  problem)) {
            return false;
        }
        leaf = nullptr;
    }
    if (leaf == nullptr) {
        ++g.changes;
        return Send(tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, tc::Mode::Create, dev),
                    problem);
    }
    if (g.leaf == tc::Leaf::Bfifo && leaf->fifoLimit != tc::FifoBytes(rateBytes)) {
        ++g.changes;
        return Send(tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, tc::Mode::Change, dev),
                    problem);
    }
    return true;
}

bool KernelBackend::ChangeRate(Gateway& g, int ifindex, const std::string& dev, uint64_t rateBytes,
                               bool ingress, std::string* problem) {
    if (g.leaf == tc::Leaf::Cake) {
        return Send(
            tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, tc::Mode::Change, dev, g.framing),
            problem);
    }
    // The class changes in place: its queue and the packets in it stay.
    if (!Send(tc::HtbClass(ifindex, rateBytes, tc::Mode::Change, dev, g.framing), problem)) {
        return false;
    }
    if (g.leaf != tc::Leaf::Bfifo) return true;
    return Send(tc::LeafQdisc(ifindex, g.leaf, rateBytes, ingress, tc::Mode::Change, dev), problem);
}

void KernelBackend::Teardown(Gateway& g, std::vector<std::string>* problems) {
    std::string problem;
    std::optional<links::Link> ifb;
    if (!Check(links::FindLink(t_, g.ifbName, &ifb), &problem)) problems->push_back(problem);
    const bool ifbOurs = ifb && OwnIfb(g, *ifb);
    std::optional<links::Link> wan;
    if (!Check(links::FindLink(t_, g.config.interface, &wan), &problem)) {
        problems->push_back(problem);
    }
    if (wan) {
        const std::string& name = g.config.interface;
        std::vector<tc::Qdisc> qdiscs;
        if (!Check(tc::ListQdiscs(t_, wan->index, &qdiscs), &problem)) {
            problems->push_back(problem);
        }
        if (const tc::Qdisc* ingress = FindQdisc(qdiscs, tc::kIngressParent)) {
            std::vector<tc::Filter> filters;
            if (!Check(tc::ListFilters(t_, wan->index, tc::kIngressHook, &filters), &problem)) {
                problems->push_back(problem);
            } else if (OwnIngress(*ingress, filters, ifbOurs)) {
                if (!Send(tc::DeleteQdisc(wan->index, tc::kIngressParent, ingress->handle,
                                          "removing the ingress qdisc of " + name),
                          &problem)) {
                    problems->push_back(problem);
                }
            } else if (std::any_of(filters.begin(), filters.end(), [](const tc::Filter& f) {
                           // Ours also when its IFB is gone: it points at nothing.
                           return f.pref == tc::kRedirectPref && f.cookie == tc::kRedirectCookie;
                       })) {
                // A clsact, or someone else's filters beside ours: only ours go.
                if (!Send(tc::DeleteFilters(wan->index, name), &problem)) {
                    problems->push_back(problem);
                }
            }
        }
        const tc::Qdisc* root = FindQdisc(qdiscs, tc::kRootParent);
        if (root != nullptr && root->handle == tc::kRootHandle) {
            if (!Send(tc::DeleteQdisc(wan->index, tc::kRootParent, tc::kRootHandle,
                                      "removing the " + root->kind + " qdisc of " + name),
                      &problem)) {
                problems->push_back(problem);
            }
        }
    }
    if (ifbOurs && !Send(links::DeleteLink(ifb->index, g.ifbName), &problem)) {
        problems->push_back(problem);
    }
    g.built = false;
    g.ifbIndex = 0;
}

bool KernelBackend::RemoveAll(std::vector<std::string>* problems) {
    problems->clear();
    for (auto& g : gateways_) Teardown(*g, problems);
    return problems->empty();
}

void KernelBackend::RemoveOrphans(std::vector<std::string>* problems) {
    std::vector<links::Link> all;
    std::string problem;
    if (!Check(links::ListLinks(t_, &all), &problem)) {
        problems->push_back(problem);
        return;
    }
    const std::string prefix = kAliasPrefix;
    for (const links::Link& link : all) {
        if (link.kind != "ifb") continue;
        if (link.alias == kScratchAlias && link.name != scratch_) {
            // Another run's trial device; one whose process still runs is
            // in the middle of its own detection.
            int pid = 0;
            const std::string digits = link.name.substr(std::strlen(kScratchPrefix));
            std::from_chars(digits.data(), digits.data() + digits.size(), pid);
            if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM)) continue;
            if (!Send(links::DeleteLink(link.index, link.name), &problem)) {
                problems->push_back(problem);
            }
            continue;
        }
        if (link.alias.rfind(prefix, 0) != 0) continue;
        const std::string wan = link.alias.substr(prefix.size());
        const bool configured = std::any_of(gateways_.begin(), gateways_.end(), [&](auto& g) {
            return g->config.interface == wan || g->ifbName == link.name;
        });
        if (configured) continue;
        // A gateway taken out of the configuration: its IFB, the redirect
        // and the upload shaper on its WAN go, as at its own removal.
        Gateway orphan;
        orphan.config.interface = wan;
        orphan.config.name = wan;
        orphan.ifbName = link.name;
        Teardown(orphan, problems);
        ServiceLog(wan + ": removed the shaping of a gateway no longer configured");
    }
}

void KernelBackend::Reconcile(Gateway& g, const Snapshot& all) {
    g.due.reset();
    std::string problem;
    Outcome outcome = Ensure(g, all, &problem);
    if (outcome == Outcome::Built) {
        if (!g.built || g.changes > 0) {
            ServiceLog(g.config.interface + ": shaping tree " +
                       (g.built ? "repaired (" + std::to_string(g.changes) +
                                      (g.changes == 1 ? " change)" : " changes)")
                                : std::string("whole again")) +
                       ", download at " + LimitText(g.downloadBps) + ", upload at " +
                       LimitText(g.uploadBps));
        }
        g.built = true;
        g.problem.clear();
        g.backoff = {};
        return;
    }
    if (outcome == Outcome::Unseen) {
        // The look itself failed (a time-out, a dump cut short by a change):
        // nothing says the tree is wrong, so it stays, and a look follows.
        if (problem != g.problem) {
            ServiceLog(g.config.interface + ": could not look, trying again: " + problem);
            g.problem = problem;
        }
        Retry(g);
        return;
    }
    // Never half a tree: what of it stands goes, until it can be whole.
    std::vector<std::string> problems;
    Teardown(g, &problems);
    if (problem != g.problem) {
        ServiceLog(g.config.interface + ": not shaped: " + problem);
        g.problem = problem;
    }
    for (const std::string& p : problems) ServiceLog(g.config.interface + ": " + p);
    // The kernel refused: tried again later, whatever events come.
    if (outcome == Outcome::Failed) Retry(g);
    // Waiting (no interface, a foreign qdisc): the next event tells.
}

void KernelBackend::Retry(Gateway& g) {
    g.backoff = g.backoff == Clock::duration{}
                    ? Clock::duration(kFirstRetry)
                    : std::min<Clock::duration>(2 * g.backoff, kMaxRetry);
    g.retryAt = system_.now() + g.backoff;
    g.due = g.retryAt;
}

void KernelBackend::Schedule(Gateway& g, Clock::duration delay) {
    Clock::time_point at = std::max(system_.now() + delay, g.retryAt);
    if (!g.due || at < *g.due) g.due = at;
}

void KernelBackend::OnEvent(const nlmsghdr* message) {
    // What the backend did itself it knows: only others' changes are news.
    if (system_.requestPort != 0 && message->nlmsg_pid == system_.requestPort) return;
    int index = 0;
    std::string name;
    switch (message->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK: {
            const auto* ifi =
                static_cast<const ifinfomsg*>(nl::FamilyHeader(message, sizeof(ifinfomsg)));
            if (ifi == nullptr) return;
            index = ifi->ifi_index;
            nl::ForEachAttribute(message, sizeof(ifinfomsg), [&name](const nlattr* attr) {
                if (nl::AttributeType(attr) == IFLA_IFNAME) name = nl::AttributeText(attr);
            });
            break;
        }
        case RTM_NEWQDISC:
        case RTM_DELQDISC:
        case RTM_DELTCLASS:
        case RTM_NEWTFILTER:
        case RTM_DELTFILTER: {
            // A class change is a limit set: it tells nothing new.
            const auto* tcm = static_cast<const tcmsg*>(nl::FamilyHeader(message, sizeof(tcmsg)));
            if (tcm == nullptr) return;
            index = tcm->tcm_ifindex;
            break;
        }
        default:
            return;
    }
    for (auto& g : gateways_) {
        bool ours = (index != 0 && (index == g->wanIndex || index == g->ifbIndex)) ||
                    (!name.empty() && (name == g->config.interface || name == g->ifbName));
        if (ours) Schedule(*g, kEventSettle);
    }
}

int KernelBackend::WatchFd() {
    return events_ ? events_->fd() : -1;
}

int KernelBackend::MsUntilWork() {
    if (!started_) return -1;
    Clock::time_point next = nextSweep_;
    for (auto& g : gateways_) {
        if (g->due && *g->due < next) next = *g->due;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - system_.now());
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void KernelBackend::Work() {
    if (!started_) return;
    if (events_) {
        bool complete = events_->Drain([this](const nlmsghdr* m) { OnEvent(m); });
        if (!complete) {
            for (auto& g : gateways_) Schedule(*g, kEventSettle);  // events were lost
        }
    }
    Clock::time_point now = system_.now();
    if (now >= nextSweep_) {
        nextSweep_ = now + kSweepInterval;
        for (auto& g : gateways_) Schedule(*g, Clock::duration{});
    }
    const bool due = std::any_of(gateways_.begin(), gateways_.end(),
                                 [now](const auto& g) { return g->due && *g->due <= now; });
    if (!due) return;
    const Snapshot all = TakeSnapshot();
    for (auto& g : gateways_) {
        if (g->due && *g->due <= now) Reconcile(*g, all);
    }
}

HResult KernelBackend::Initialize(int32_t a, int32_t b, int32_t c, const std::string& d,
                                  const std::string& e) {
    (void)a, (void)b, (void)c, (void)d, (void)e;
    return kOk;
}

HResult KernelBackend::GetGateways(std::vector<corvane::Gateway>* out) {
    out->clear();
    for (auto& g : gateways_) {
        std::optional<links::Link> wan;
        std::string problem;
        if (!Check(links::FindLink(t_, g->config.interface, &wan), &problem)) {
            ServiceLog("GetNetworkInfoList: " + problem);
            return kFail;
        }
        corvane::Gateway e;
        e.mac = g->config.mac;
        e.name = g->config.name;
        e.id = g->config.id;
        e.connected = wan && wan->running();
        e.address = g->config.address;
        e.description = g->config.description.empty() ? "download shaped through " + g->ifbName
                                                      : g->config.description;
        e.uploadBps = g->config.uploadBps;
        e.downloadBps = g->reportedDownloadBps;
        e.linkSpeedBps = g->linkSpeedBps;
        out->push_back(std::move(e));
    }
    return kOk;
}

HResult KernelBackend::GetInterfaces(std::vector<NetworkInterface>* out) {
    out->clear();
    for (auto& g : gateways_) {
        std::optional<links::Link> wan;
        std::string problem;
        if (!Check(links::FindLink(t_, g->config.interface, &wan), &problem)) {
            ServiceLog("GetNetworkInterfaceList: " + problem);
            return kFail;
        }
        NetworkInterface n;
        if (!wan) {
            // Listed, and down: a WAN that is gone, or not there yet.
            n.name = g->config.interface;
            n.gatewayId = g->config.id;
            n.up = false;
            out->push_back(std::move(n));
            continue;
        }
        n.mac = links::MacText(wan->address);
        n.name = wan->name;
        n.deviceId = wan->index;
        n.gatewayId = g->config.id;
        n.flags = static_cast<int32_t>(wan->flags);
        n.up = wan->up();
        out->push_back(std::move(n));
    }
    return kOk;
}

// One entry per WAN: its download is what the IFB delivered, its upload what
// the WAN sent.
HResult KernelBackend::GetProcesses(int16_t selector, std::vector<TrafficEntry>* out) {
    (void)selector;
    out->clear();
    for (auto& g : gateways_) {
        std::optional<links::Link> wan;
        std::optional<links::Link> ifb;
        std::string problem;
        if (!Check(links::FindLink(t_, g->config.interface, &wan), &problem) ||
            !Check(links::FindLink(t_, g->ifbName, &ifb), &problem)) {
            ServiceLog("GetProcessList: " + problem);
            return kFail;
        }
        if (!wan) continue;
        bool ifbOurs = ifb && OwnIfb(*g, *ifb);
        TrafficEntry e;
        e.name = g->config.interface;
        e.path = g->ifbName;
        e.description = "all traffic of " + g->config.interface;
        e.active = wan->running();
        e.deviceId = wan->index;
        e.processId = 0;
        e.uploadBits = Bits(g->upload.Update(wan->index, wan->txBytes));
        e.downloadBits =
            Bits(g->download.Update(ifbOurs ? ifb->index : 0, ifbOurs ? ifb->txBytes : 0));
        out->push_back(std::move(e));
    }
    return kOk;
}

HResult KernelBackend::GetDomains(int16_t selector, std::vector<TrafficEntry>* out) {
    (void)selector;
    out->clear();  // traffic is counted per interface, not per domain
    return kOk;
}

HResult KernelBackend::SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                        int64_t downloadBps) {
    std::string line = "SetGatewayLimits " + gatewayMac + " up=" + std::to_string(uploadBps) +
                       " down=" + std::to_string(downloadBps);
    auto it = std::find_if(gateways_.begin(), gateways_.end(),
                           [&](const auto& g) { return g->config.mac == gatewayMac; });
    if (it == gateways_.end() || uploadBps < -1 || downloadBps < -1) {
        ServiceLog(line + ": refused (" +
                   (it == gateways_.end() ? "no such gateway" : "a limit below -1") + ")");
        return kInvalidArg;
    }
    Gateway& g = **it;
    const int64_t downloadBefore = g.downloadBps, uploadBefore = g.uploadBps;
    // Counted once per call that changed a limit in force.
    auto stored = [&](HResult result) {
        if (g.downloadBps != downloadBefore || g.uploadBps != uploadBefore) {
            ++g.limitChanges;
            g.lastLimitChange = system_.wallNow();
        }
        g.reportedDownloadBps = g.downloadBps;
        return result;
    };
    if (!g.built) {
        ServiceLog(line + ": kept for when " + g.config.interface + " is shaped again");
        g.downloadBps = downloadBps;
        g.uploadBps = uploadBps;
        return stored(kOk);
    }
    // Each direction's limit is stored once the kernel has taken it: a
    // repair then restores exactly the limits in force.
    std::string problem;
    bool ok = true;
    if (downloadBps != g.downloadBps) {
        ok = ChangeRate(g, g.ifbIndex, g.ifbName, RateBytes(g, downloadBps), true, &problem);
        if (ok) g.downloadBps = downloadBps;
    }
    if (ok && uploadBps != g.uploadBps) {
        ok =
            ChangeRate(g, g.wanIndex, g.config.interface, RateBytes(g, uploadBps), false, &problem);
        if (ok) g.uploadBps = uploadBps;
    }
    if (!ok) {
        ServiceLog(line + ": failed: " + problem);
        Schedule(g, kEventSettle);  // the tree may be damaged: a look soon
        return stored(kFail);
    }
    ServiceLog(line);
    return stored(kOk);
}

HResult KernelBackend::PrepareLimitChange(int32_t value) {
    (void)value;
    return kOk;
}

std::map<std::string, std::string> KernelBackend::LeafQueues() {
    std::map<std::string, std::string> leaves;
    for (auto& g : gateways_) leaves[g->config.mac] = tc::LeafKind(g->leaf);
    return leaves;
}

HResult KernelBackend::Metrics(std::vector<GatewayMetrics>* out) {
    out->clear();
    std::string problem;
    std::vector<tc::Qdisc> qdiscs;
    bool ok = Check(tc::ListAllQdiscs(t_, &qdiscs), &problem);
    for (auto it = gateways_.begin(); ok && it != gateways_.end(); ++it) {
        Gateway& g = **it;
        std::optional<links::Link> wan;
        std::optional<links::Link> ifb;
        if (!Check(links::FindLink(t_, g.config.interface, &wan), &problem) ||
            !Check(links::FindLink(t_, g.ifbName, &ifb), &problem)) {
            ok = false;
            break;
        }
        const bool ifbOurs = ifb && OwnIfb(g, *ifb);
        const int wanIndex = wan ? wan->index : 0;
        const int ifbIndex = ifbOurs ? ifb->index : 0;
        // Cake is the root itself; the other leaves sit in the HTB class.
        const uint32_t leafHandle = g.leaf == tc::Leaf::Cake ? tc::kRootHandle : tc::kLeafHandle;
        auto fill = [&](DirectionMetrics* d, int index, Counter* drops) {
            d->leafKind = tc::LeafKind(g.leaf);
            const tc::Qdisc* leaf = nullptr;
            for (const tc::Qdisc& q : qdiscs) {
                if (index != 0 && q.ifindex == index && q.handle == leafHandle &&
                    q.kind == d->leafKind) {
                    leaf = &q;
                }
            }
            d->leafDrops = drops->Update(leaf ? index : 0, leaf ? leaf->stats.drops : 0);
            if (leaf != nullptr) d->leafBacklogBytes = leaf->stats.backlog;
        };
        GatewayMetrics m;
        m.mac = g.config.mac;
        m.name = g.config.name;
        m.interface = g.config.interface;
        m.download.limitBps = g.downloadBps;
        m.upload.limitBps = g.uploadBps;
        m.download.deliveredBytes = g.download.Update(ifbIndex, ifbIndex != 0 ? ifb->txBytes : 0);
        m.upload.deliveredBytes = g.upload.Update(wanIndex, wanIndex != 0 ? wan->txBytes : 0);
        fill(&m.download, ifbIndex, &g.downloadDrops);
        fill(&m.upload, wanIndex, &g.uploadDrops);
        m.limitChanges = g.limitChanges;
        m.lastLimitChange = g.lastLimitChange;
        out->push_back(std::move(m));
    }
    // Asked once a second: a problem is logged when it begins, not every time.
    if (!ok) {
        if (problem != metricsProblem_) ServiceLog("metrics: " + problem);
        metricsProblem_ = problem;
        out->clear();
        return kFail;
    }
    if (!metricsProblem_.empty()) ServiceLog("metrics: readable again");
    metricsProblem_.clear();
    return kOk;
}

void KernelBackend::Shutdown() {
    std::vector<std::string> problems;
    if (RemoveAll(&problems)) {
        ServiceLog("removed the shaping of " + std::to_string(gateways_.size()) + " gateway(s)");
    }
    for (const std::string& p : problems) ServiceLog("cannot undo: " + p);
    started_ = false;
}

std::vector<bool> KernelBackend::Shaped() const {
    std::vector<bool> shaped;
    for (const auto& g : gateways_) shaped.push_back(g->built);
    return shaped;
}

}  // namespace corvane
