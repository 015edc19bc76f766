// The kernel backend: opening it on the service's own netlink socket,
// starting (the checks, the leaf queues, every gateway's tree) and stopping.
#include "service/kernel/kernel_backend.h"

#include <linux/capability.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "netlink/ethtool.h"
#include "service/kernel/gateway_state.h"
#include "service/kernel/ownership.h"

namespace corvane {
namespace {

// A lifted limit on a link whose speed the driver does not tell.
constexpr int64_t kUnknownLinkLiftBps = 10000000000;

bool HasNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
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

}  // namespace

std::unique_ptr<KernelBackend> KernelBackend::Open(KernelConfig config, std::string* error) {
    auto socket = std::make_unique<nl::Socket>();
    if (int e = socket->Open(NETLINK_ROUTE); e != 0) {
        *error = std::string("cannot open a netlink socket: ") + std::strerror(e);
        return nullptr;
    }
    auto speeds = std::make_shared<nl::ethtool::LinkSpeeds>();
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
    return own::kScratchPrefix + std::to_string(::getpid());
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

plan::Shaper KernelBackend::ShaperFor(const Gateway& g, int64_t bps, bool ingress) const {
    return plan::Shaper{g.leaf, g.framing, RateBytes(g, bps), ingress};
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
    if (!ChooseLeaves(error)) return false;
    // Listening first: damage done while the trees are built is heard.
    if (system_.watchEvents) {
        events_ = std::make_unique<nl::EventSocket>();
        if (int e = events_->Open({RTNLGRP_LINK, RTNLGRP_TC}); e != 0) {
            *error = std::string("cannot listen to link and tc events: ") + std::strerror(e);
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
    nextSweep_ = system_.now() + kernel_timing::kSweepInterval;
    return true;
}

void KernelBackend::Shutdown() {
    std::vector<std::string> problems;
    if (RemoveAll(&problems)) {
        ServiceLog("removed the shaping of " + std::to_string(gateways_.size()) + " gateway(s)");
    }
    for (const std::string& p : problems) ServiceLog("cannot undo: " + p);
    started_ = false;
}

}  // namespace corvane
