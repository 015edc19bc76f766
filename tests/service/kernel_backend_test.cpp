// The kernel backend on the real kernel, in private network namespaces: its
// tree, real traffic at its limits, repairs, counters, refusals, the service.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <utility>

#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>

#include "kernel_world.h"
#include "service/bus_server.h"
#include "service_harness.h"

namespace kerneltest {
namespace {

constexpr uint16_t kTcpPort = 5001;
constexpr uint16_t kUdpPort = 5002;

// What the namespace holds: every link's name (a scratch device of any run
// included), and every qdisc of wan0.
std::multiset<std::string> Picture(KernelWorld& w, nl::Socket& s) {
    std::multiset<std::string> picture;
    std::vector<links::Link> all;
    EXPECT_TRUE(links::ListLinks(s, &all).ok());
    for (const links::Link& link : all) picture.insert("link " + link.name);
    for (const tc::Qdisc& q : w.Qdiscs(kWan)) {
        picture.insert("qdisc " + q.kind + " " + tc::HandleText(q.handle) + " parent " +
                       tc::HandleText(q.parent));
    }
    return picture;
}

class KernelBackendTest : public KernelWorld {};

// The same on each leaf queue the service offers; one the kernel lacks is
// skipped with its name.
class KernelLeafTest : public KernelWorld, public ::testing::WithParamInterface<const char*> {
  public:
    void SetUp() override {
        KernelWorld::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!KernelOffers(kind())) GTEST_SKIP() << "this kernel has no " << kind() << " qdisc";
    }
    std::string kind() const { return GetParam(); }
    bool cake() const { return kind() == "cake"; }
    std::string Config(int64_t downloadBps, int64_t uploadBps) const {
        return GatewayConfig(downloadBps, uploadBps, "leaf = " + kind() + "\n");
    }
};

INSTANTIATE_TEST_SUITE_P(Leaves, KernelLeafTest,
                         ::testing::Values("cake", "fq_codel", "sfq", "bfifo"),
                         [](const ::testing::TestParamInfo<const char*>& leaf) {
                             return std::string(leaf.param);
                         });

TEST_P(KernelLeafTest, BuildsTheTreeAdoptsItAgainLiftsItAndRemovesItLeavingNothing) {
    const auto before = Picture(*this, router_);
    auto backend = Started(Config(20000000, 5000000));
    ASSERT_TRUE(backend);
    EXPECT_EQ(backend->LeafQueues(), (std::map<std::string, std::string>{{kMac, kind()}}));

    // Download: ingress on wan0 redirected to our IFB, the shaper on the IFB.
    std::optional<links::Link> ifb = Link(kIfb);
    ASSERT_TRUE(ifb);
    EXPECT_EQ(ifb->kind, "ifb");
    EXPECT_EQ(ifb->alias, "corvane-service: download of wan0");
    EXPECT_TRUE(ifb->up());
    EXPECT_EQ(RedirectTarget(), ifb->index);
    // Upload: the same shaper at wan0's root, beside the ingress qdisc.
    ASSERT_TRUE(QdiscWith(Qdiscs(kWan), tc::kIngressHandle));
    for (const auto& [dev, bps] : {std::pair{kIfb, 20000000u}, std::pair{kWan, 5000000u}}) {
        SCOPED_TRACE(dev);
        auto qdiscs = Qdiscs(dev);
        const tc::Qdisc* root = QdiscWith(qdiscs, tc::kRootHandle);
        ASSERT_TRUE(root);
        EXPECT_EQ(root->parent, tc::kRootParent);
        if (cake()) {
            // Cake shapes alone, in ingress mode where it sees what arrives.
            EXPECT_EQ(root->kind, "cake");
            EXPECT_EQ(root->cakeIngress, dev == std::string(kIfb));
            EXPECT_FALSE(HtbClass(dev)) << "cake needs no HTB class";
            EXPECT_FALSE(QdiscWith(qdiscs, tc::kLeafHandle));
        } else {
            EXPECT_EQ(root->kind, "htb");
            EXPECT_EQ(root->htbDefault, 1u);
            ASSERT_TRUE(HtbClass(dev));
            EXPECT_EQ(HtbClass(dev)->ceilBytes, bps / 8);
            const tc::Qdisc* leaf = QdiscWith(qdiscs, tc::kLeafHandle);
            ASSERT_TRUE(leaf);
            EXPECT_EQ(leaf->kind, kind());
            EXPECT_EQ(leaf->parent, tc::kClassHandle);
        }
        EXPECT_EQ(LimitBytes(dev), bps / 8);
    }
    // No scratch device is left from the leaf detection.
    EXPECT_FALSE(Link(corvane::ScratchIfbName()));

    // A second service after a crash adopts the tree as it stands.
    auto again = Started(Config(20000000, 5000000));
    ASSERT_TRUE(again);
    EXPECT_EQ(Link(kIfb)->index, ifb->index);
    EXPECT_EQ(RedirectTarget(), ifb->index);

    // -1 lifts a limit to the link's speed (a veth says 10 Gbit/s), and the
    // gateway list shows -1 again. Bad requests change nothing.
    ASSERT_EQ(again->SetGatewayLimits(kMac, -1, -1), corvane::kOk);
    EXPECT_EQ(LimitBytes(kIfb), 1250000000u);
    EXPECT_EQ(LimitBytes(kWan), 1250000000u);
    std::vector<corvane::Gateway> gateways;
    ASSERT_EQ(again->GetGateways(&gateways), corvane::kOk);
    ASSERT_EQ(gateways.size(), 1u);
    EXPECT_EQ(gateways[0].downloadBps, -1);
    EXPECT_EQ(gateways[0].linkSpeedBps, 10000000000);
    EXPECT_TRUE(gateways[0].connected);
    EXPECT_EQ(again->SetGatewayLimits("02-00-00-00-00-99", 1, 1), corvane::kInvalidArg);
    EXPECT_EQ(again->SetGatewayLimits(kMac, 1, -2), corvane::kInvalidArg);
    EXPECT_EQ(LimitBytes(kIfb), 1250000000u);

    std::vector<std::string> problems;
    EXPECT_TRUE(again->RemoveAll(&problems)) << ::testing::PrintToString(problems);
    EXPECT_EQ(Picture(*this, router_), before);
    // Removing again finds nothing to remove, and says so without failing.
    EXPECT_TRUE(backend->RemoveAll(&problems)) << ::testing::PrintToString(problems);
}

// TCP's payload in a full frame: 1448 of 1514 bytes (timestamps on).
constexpr double kPayloadShare = 1448.0 / 1514;

// Wire bytes per second through the IFB, and the sink's goodput, over `span`.
std::pair<double, double> Rates(KernelWorld& w, const lab::TcpSink& sink,
                                std::chrono::milliseconds span) {
    const uint64_t bytes0 = sink.Bytes(), wire0 = w.Link(kIfb)->txBytes;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {(w.Link(kIfb)->txBytes - wire0) * 8 / s, (sink.Bytes() - bytes0) * 8 / s};
}

TEST_P(KernelLeafTest, HoldsTcpAtTheLimitAndChangesItInPlaceKeepingTheQueue) {
    auto backend = Started(Config(160000, 50000000));
    ASSERT_TRUE(backend);
    std::string error;

    // A burst that stands in the queue (4 frames, 5.8 KB: within the fifo's
    // floor; 288 ms to drain at 160 kbit/s): the change is made in place (cake's
    // bandwidth, or the class and the fifo's size), so the queue is still
    // there after it, and every datagram is delivered or, where the leaf is
    // an AQM (cake, fq_codel), counted as its drop: none vanishes.
    lab::UdpSink udp;
    ASSERT_TRUE(udp.Start(kWanAddress, kUdpPort, &error)) << error;
    constexpr uint32_t kBurst = 4;
    uint32_t sent = 0;
    InInternet([&](nl::Socket&) {
        sent = lab::SendDatagrams(kWanAddress, kUdpPort, kBurst, 1400, 0us, &error);
    });
    ASSERT_EQ(sent, kBurst) << error;
    // The datagrams reach the IFB's queue in the receiving side's softirq,
    // which may come a little after the sends (a slow or emulated CPU).
    const auto queued = std::chrono::steady_clock::now() + 50ms;
    while (LeafOf(kIfb)->stats.backlog == 0 && std::chrono::steady_clock::now() < queued) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(LeafOf(kIfb)->stats.backlog, 0u) << "the burst never stood in the queue";
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 50000000, 128000), corvane::kOk);
    EXPECT_EQ(LimitBytes(kIfb), 16000u);
    EXPECT_GT(LeafOf(kIfb)->stats.backlog, 0u) << "the queue was lost";
    std::this_thread::sleep_for(800ms);  // what is left drains at 128 kbit/s
    const uint32_t drops = LeafOf(kIfb)->stats.drops;
    EXPECT_EQ(udp.DistinctBelow(kBurst) + drops, kBurst);
    if (kind() == "bfifo" || kind() == "sfq") {
        EXPECT_EQ(drops, 0u);
    }

    // Real TCP at 20 Mbit/s within 10 %, past the slow start: the frames on
    // the wire, and the payload they carry.
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 50000000, 20000000), corvane::kOk);
    lab::TcpSink sink;
    ASSERT_TRUE(sink.Start(kWanAddress, kTcpPort, &error)) << error;
    lab::TcpSource source;
    InInternet([&](nl::Socket&) { ASSERT_TRUE(source.Start(kWanAddress, kTcpPort, 2, &error)); });
    ASSERT_TRUE(error.empty()) << error;
    std::this_thread::sleep_for(1s);
    auto [wire, goodput] = Rates(*this, sink, 3s);
    EXPECT_NEAR(wire / 20e6, 1.0, 0.10) << "delivered " << wire << " bps on the wire";
    EXPECT_NEAR(goodput / (20e6 * kPayloadShare), 1.0, 0.10) << "goodput " << goodput << " bps";

    // Halving the limit shows within a second.
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 50000000, 10000000), corvane::kOk);
    std::this_thread::sleep_for(250ms);
    const uint64_t bytes0 = sink.Bytes();
    std::tie(wire, goodput) = Rates(*this, sink, 750ms);
    EXPECT_NEAR(wire / 10e6, 1.0, 0.10) << "delivered " << wire << " bps after the change";
    EXPECT_GT(sink.Bytes(), bytes0) << "the transfer stalled";
    EXPECT_EQ(sink.Connections(), 2u) << "a connection was lost";
    source.Stop();
}

TEST_P(KernelLeafTest, RebuildsWithinTwoSecondsAfterChangesFromOutside) {
    auto backend = Started(Config(20000000, 5000000));
    ASSERT_TRUE(backend);
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 6000000, 12000000), corvane::kOk);
    auto whole = [&] {
        auto ifb = Link(kIfb);
        auto down = LeafOf(kIfb);
        auto up = LeafOf(kWan);
        return ifb && RedirectTarget() == ifb->index && LimitBytes(kIfb) == 1500000 &&
               LimitBytes(kWan) == 750000 && down && down->kind == kind() && up &&
               up->kind == kind();
    };
    ASSERT_TRUE(whole());

    // The events of the backend's own changes wake no look: only others'.
    PumpUntil(*backend, 300ms, [] { return false; });  // the build's link events
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 6000000, 11000000), corvane::kOk);
    pollfd events{backend->WatchFd(), POLLIN, 0};
    ::poll(&events, 1, 200);
    backend->Work();
    EXPECT_GT(backend->MsUntilWork(), 1000) << "its own limit change woke a look";
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 6000000, 12000000), corvane::kOk);

    auto run = [&](const nl::Message& m) { return nl::Run(router_, m).ok(); };
    const std::pair<const char*, std::function<bool()>> cases[] = {
        {"the WAN's root qdisc deleted",
         [&] { return run(tc::DeleteQdisc(wanIndex_, tc::kRootParent, tc::kRootHandle, "-")); }},
        {"the ingress qdisc deleted",
         [&] {
             return run(tc::DeleteQdisc(wanIndex_, tc::kIngressParent, tc::kIngressHandle, "-"));
         }},
        {"the IFB's leaf deleted",
         [&] {
             auto leaf = LeafOf(kIfb);
             return run(tc::DeleteQdisc(Link(kIfb)->index, leaf->parent, leaf->handle, "-"));
         }},
        {"the IFB deleted", [&] { return run(links::DeleteLink(Link(kIfb)->index, kIfb)); }},
        {"a link flap",
         [&] {
             return run(links::SetLinkUp(wanIndex_, false, kWan)) &&
                    run(links::SetLinkUp(wanIndex_, true, kWan));
         }},
    };
    for (const auto& [what, change] : cases) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(change());
        auto t0 = std::chrono::steady_clock::now();
        // The repair may still be due: look until it is whole, at most 2 s.
        bool repaired = PumpUntil(*backend, 2000ms, [&] {
            return std::chrono::steady_clock::now() - t0 > 200ms && whole();
        });
        EXPECT_TRUE(repaired) << "not whole 2 s after " << what;
    }
    EXPECT_EQ(backend->Shaped(), std::vector<bool>{true});
}

TEST_P(KernelLeafTest, CountersMatchTheBytesSentWithinOnePercent) {
    auto backend = Started(Config(20000000, 20000000));
    ASSERT_TRUE(backend);
    auto entry = [&] {
        std::vector<corvane::TrafficEntry> list;
        EXPECT_EQ(backend->GetTraffic(corvane::TrafficKind::Processes, &list), corvane::kOk);
        EXPECT_EQ(list.size(), 1u);
        return list.empty() ? corvane::TrafficEntry{} : list[0];
    };
    corvane::TrafficEntry first = entry();
    EXPECT_EQ(first.name, kWan);
    EXPECT_EQ(first.deviceId, wanIndex_);
    std::vector<corvane::TrafficEntry> domains{{}};
    EXPECT_EQ(backend->GetTraffic(corvane::TrafficKind::Domains, &domains), corvane::kOk);
    EXPECT_TRUE(domains.empty());

    // Download: 2000 datagrams of 1000 bytes at ~8 Mbit/s, below the limit.
    constexpr uint32_t kCount = 2000;
    constexpr uint64_t kFrameBytes = 1000 + 8 + 20 + 14;  // UDP, IPv4, Ethernet headers
    std::string error;
    lab::UdpSink sink;
    ASSERT_TRUE(sink.Start(kWanAddress, kUdpPort, &error)) << error;
    InInternet([&](nl::Socket&) {
        lab::SendDatagrams(kWanAddress, kUdpPort, kCount, 1000, 1000us, &error);
    });
    std::this_thread::sleep_for(200ms);
    corvane::TrafficEntry second = entry();
    double counted = (second.downloadBits - first.downloadBits) / 8.0;
    EXPECT_NEAR(counted / (kCount * kFrameBytes), 1.0, 0.01) << counted << " bytes counted";
    // An AQM may drop from a burst that a busy sender let build up; none
    // vanishes unaccounted.
    EXPECT_EQ(sink.Datagrams() + LeafOf(kIfb)->stats.drops, kCount);

    // Upload: what wan0 sends.
    lab::UdpSink far;
    InInternet([&](nl::Socket&) { ASSERT_TRUE(far.Start(kPeerAddress, kUdpPort, &error)); });
    lab::SendDatagrams(kPeerAddress, kUdpPort, kCount, 1000, 1000us, &error);
    std::this_thread::sleep_for(200ms);
    corvane::TrafficEntry third = entry();
    double uploaded = (third.uploadBits - second.uploadBits) / 8.0;
    EXPECT_NEAR(uploaded / (kCount * kFrameBytes), 1.0, 0.01) << uploaded << " bytes counted";

    // The IFB made anew (by a repair) starts at zero: the counter goes on.
    ASSERT_TRUE(nl::Run(router_, links::DeleteLink(Link(kIfb)->index, kIfb)).ok());
    ASSERT_TRUE(PumpUntil(*backend, 2000ms, [&] { return Link(kIfb).has_value(); }));
    EXPECT_GE(entry().downloadBits, third.downloadBits);
}

TEST_F(KernelBackendTest, RefusesWhatItDidNotCreateAndLeavesItAlone) {
    std::string error;
    // Someone's root qdisc on the WAN (a missing interface: the service's test).
    ASSERT_TRUE(nl::Run(router_, BareQdisc(wanIndex_, tc::kRootParent, 0x10000, "pfifo")).ok());
    const auto before = Picture(*this, router_);
    EXPECT_FALSE(Started(GatewayConfig(1000000, 1000000), &error));
    EXPECT_NE(error.find("wan0 already has a root qdisc (pfifo 1:) that corvane-service did not "
                         "create; set replace = yes in [gateway line] to take it over"),
              std::string::npos)
        << error;
    EXPECT_EQ(Picture(*this, router_), before) << "a refusal left something behind";

    // Someone's ingress qdisc.
    ASSERT_TRUE(nl::Run(router_, tc::DeleteQdisc(wanIndex_, tc::kRootParent, 0x10000, "x")).ok());
    ASSERT_TRUE(nl::Run(router_, tc::IngressQdisc(wanIndex_, kWan)).ok());
    EXPECT_FALSE(Started(GatewayConfig(1000000, 1000000), &error));
    EXPECT_NE(error.find("wan0 already has an ingress qdisc (ingress ffff:)"), std::string::npos)
        << error;
    // ... which replace = yes takes over.
    auto taken = Started(GatewayConfig(1000000, 1000000, "replace = yes\n"));
    ASSERT_TRUE(taken);
    EXPECT_EQ(RedirectTarget(), Link(kIfb)->index);
    std::vector<std::string> problems;
    EXPECT_TRUE(taken->RemoveAll(&problems));
}

// The backend's requests, and after the one whose words contain `trigger`,
// once, a change by another program.
class Interposer : public nl::Transport {
  public:
    Interposer(nl::Transport& inner, std::string trigger, std::function<void()> outsider)
        : inner_(inner), trigger_(std::move(trigger)), outsider_(std::move(outsider)) {}
    nl::Result Request(nl::Message& message, const nl::OnMessage& each) override {
        nl::Result r = inner_.Request(message, each);
        if (outsider_ && message.what().find(trigger_) != std::string::npos) {
            std::exchange(outsider_, nullptr)();
        }
        return r;
    }

  private:
    nl::Transport& inner_;
    std::string trigger_;
    std::function<void()> outsider_;
};

// The backend listens before it builds: damage done while the tree is
// being built is repaired at once, not at the next sweep 30 s later.
TEST_F(KernelBackendTest, DamageWhileTheTreeIsBuiltIsHeard) {
    nl::Socket own;
    ASSERT_EQ(own.Open(NETLINK_ROUTE), 0);
    Interposer transport(own, "redirects wan0", [&] {
        auto ifb = Link(kIfb);
        ASSERT_TRUE(ifb);
        ASSERT_TRUE(
            nl::Run(router_, tc::DeleteQdisc(ifb->index, tc::kRootParent, tc::kRootHandle, "-"))
                .ok());
    });
    corvane::KernelConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseKernelConfig(GatewayConfig(20000000, 5000000), "kernel.ini", &config,
                                           &error));
    corvane::KernelSystem system;
    system.requestPort = own.portId();
    KernelBackend backend(std::move(config), transport, system);
    ASSERT_TRUE(backend.Start(&error)) << error;
    EXPECT_EQ(LimitBytes(kIfb), 0u) << "the outsider's change did not happen";
    EXPECT_TRUE(PumpUntil(backend, 2000ms, [&] { return LimitBytes(kIfb) == 20000000 / 8; }))
        << "the damage done during the build waited for the sweep";
    // Events lost to a full buffer may have told of damage: every gateway
    // is looked at soon. Only lo's events come, which name no gateway.
    PumpUntil(backend, 300ms, [] { return false; });
    const int least = 0;
    ASSERT_EQ(::setsockopt(backend.WatchFd(), SOL_SOCKET, SO_RCVBUFFORCE, &least, sizeof least), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(nl::Run(router_, links::SetLinkUp(1, i % 2 == 1, "lo")).ok());
    }
    backend.Work();
    EXPECT_LE(backend.MsUntilWork(), 50) << "events were lost and no look is due";
    std::vector<std::string> problems;
    EXPECT_TRUE(backend.RemoveAll(&problems));
}

// A u32 filter on wan0's ingress hook at `pref` that matches only IP
// protocol 253 (none of the test's traffic): another tool's.
nl::Message ForeignFilter(int ifindex, uint16_t pref) {
    nl::Message m(RTM_NEWTFILTER, NLM_F_CREATE | NLM_F_EXCL, "adding a foreign filter");
    auto* t = m.Body<tcmsg>();
    t->tcm_ifindex = ifindex;
    t->tcm_parent = tc::kIngressHook;
    t->tcm_info = TC_H_MAKE(static_cast<uint32_t>(pref) << 16, htons(ETH_P_ALL));
    m.PutString(TCA_KIND, "u32");
    nlattr* options = m.Nest(TCA_OPTIONS);
    const tc_u32_key key{htonl(0x00FF0000), htonl(0x00FD0000), 8, 0};  // IP protocol 253
    alignas(tc_u32_sel) uint8_t selector[sizeof(tc_u32_sel) + sizeof key] = {};
    auto* sel = reinterpret_cast<tc_u32_sel*>(selector);
    sel->flags = TC_U32_TERMINAL;
    sel->nkeys = 1;
    std::memcpy(selector + sizeof(tc_u32_sel), &key, sizeof key);
    m.PutBytes(TCA_U32_SEL, selector, sizeof selector);
    m.EndNest(options);
    return m;
}

// A clsact on the WAN (other tools' BPF programs) keeps what it holds: the
// redirect joins it on the ingress hook and leaves alone at the end. Only
// another's filter at the redirect's own preference stands in the way.
TEST_F(KernelBackendTest, ClsactOnTheWanKeepsItsFiltersAndGetsTheRedirectBeside) {
    ASSERT_TRUE(
        nl::Run(router_, BareQdisc(wanIndex_, tc::kIngressParent, tc::kIngressHandle, "clsact"))
            .ok());
    ASSERT_TRUE(nl::Run(router_, ForeignFilter(wanIndex_, 1)).ok());
    auto prefs = [&] {
        std::multiset<uint16_t> p;
        std::vector<tc::Filter> filters;
        EXPECT_TRUE(tc::ListFilters(router_, wanIndex_, tc::kIngressHook, &filters).ok());
        for (const tc::Filter& f : filters) p.insert(f.pref);
        return p;
    };
    const auto before = Picture(*this, router_);
    const auto foreign = prefs();
    ASSERT_FALSE(foreign.empty());

    auto backend = Started(GatewayConfig(20000000, 5000000));
    ASSERT_TRUE(backend);
    ASSERT_EQ(RedirectTarget(), Link(kIfb)->index);
    EXPECT_EQ(QdiscWith(Qdiscs(kWan), tc::kIngressHandle)->kind, "clsact");
    EXPECT_EQ(prefs().count(1), foreign.count(1)) << "the other tool's filter went";
    // What arrives goes through the IFB.
    std::string error;
    lab::UdpSink sink;
    ASSERT_TRUE(sink.Start(kWanAddress, kUdpPort, &error)) << error;
    const uint64_t ifb0 = Link(kIfb)->txBytes;
    InInternet(
        [&](nl::Socket&) { lab::SendDatagrams(kWanAddress, kUdpPort, 20, 500, 0us, &error); });
    std::this_thread::sleep_for(100ms);
    EXPECT_GE(Link(kIfb)->txBytes - ifb0, 20u * 500);
    // A repair after the redirect is deleted from outside keeps the clsact.
    ASSERT_TRUE(nl::Run(router_, tc::DeleteFilters(wanIndex_, kWan)).ok());
    EXPECT_TRUE(PumpUntil(*backend, 2000ms, [&] { return RedirectTarget() == Link(kIfb)->index; }));
    // The IFB deleted from outside, then the stop: the redirect that points
    // at nothing goes too.
    ASSERT_TRUE(nl::Run(router_, links::DeleteLink(Link(kIfb)->index, kIfb)).ok());
    std::vector<std::string> problems;
    EXPECT_TRUE(backend->RemoveAll(&problems)) << ::testing::PrintToString(problems);
    EXPECT_EQ(Picture(*this, router_), before);
    EXPECT_EQ(prefs(), foreign);

    ASSERT_TRUE(nl::Run(router_, ForeignFilter(wanIndex_, tc::kRedirectPref)).ok());
    EXPECT_FALSE(Started(GatewayConfig(20000000, 5000000), &error));
    EXPECT_EQ(error,
              "wan0's clsact qdisc already has a filter at preference 50593 that corvane-service "
              "did not create; set replace = yes in [gateway line] to take it over");
    auto taken = Started(GatewayConfig(20000000, 5000000, "replace = yes\n"));
    ASSERT_TRUE(taken);
    EXPECT_EQ(RedirectTarget(), Link(kIfb)->index);
    EXPECT_TRUE(taken->RemoveAll(&problems)) << ::testing::PrintToString(problems);
    EXPECT_EQ(prefs(), foreign);
}

// On an ATM line each frame of 1514 bytes takes 32 cells of 53 bytes, 1696
// on the line: TCP's goodput under the same limit falls to 1514/1696 of
// what it is when the frame counts as it is.
TEST_F(KernelBackendTest, AtmFramingCutsGoodputByTheCellTax) {
    std::string error;
    lab::TcpSink sink;
    ASSERT_TRUE(sink.Start(kWanAddress, kTcpPort, &error)) << error;
    auto goodput = [&](const std::string& framing) {
        auto backend = Started(GatewayConfig(20000000, 50000000, framing));
        EXPECT_TRUE(backend);
        if (!backend) return 0.0;
        lab::TcpSource source;
        InInternet(
            [&](nl::Socket&) { EXPECT_TRUE(source.Start(kWanAddress, kTcpPort, 2, &error)); });
        std::this_thread::sleep_for(1s);
        const double rate = Rates(*this, sink, 3s).second;
        source.Stop();
        std::vector<std::string> problems;
        EXPECT_TRUE(backend->RemoveAll(&problems));
        return rate;
    };
    const double ethernet = goodput("");
    const double atm = goodput("linklayer = atm\n");
    ASSERT_GT(ethernet, 0.0);
    EXPECT_NEAR(atm / ethernet, 1514.0 / 1696, 0.03)
        << "goodput " << atm << " bps on ATM, " << ethernet << " bps on Ethernet";
}

// The real corvane-service: it shapes, shows its leaf on the bus, removes
// everything on SIGTERM, leaves a tree after SIGKILL that --cleanup removes,
// and refuses a system it cannot shape with one line and status 2.
TEST_F(KernelBackendTest, ServiceShapesServesAndCleansUpAfterItself) {
    test::TempDir dir;
    const std::string config = dir.file("kernel.ini");
    const std::vector<std::string> args = {"--config", config, "--backend", "kernel"};
    auto err = [&](const char* name) { return test::ReadFile(dir.file(name)); };
    test::WriteFile(config, GatewayConfig(30000000, 5000000));
    servicetest::PrivateBus bus(dir);
    ASSERT_TRUE(bus.ok());
    bus.Use();
    const auto before = Picture(*this, router_);
    {
        servicetest::ServiceProcess service(args, dir.file("service.err"));
        ASSERT_TRUE(servicetest::WaitUntilServing()) << err("service.err");
        ASSERT_TRUE(Link(kIfb));
        EXPECT_EQ(LimitBytes(kIfb), 30000000u / 8);
        auto connection = sdbus::createSystemBusConnection();
        auto proxy = sdbus::createProxy(*connection, corvane::kBusName, corvane::kRootPath);
        std::map<std::string, std::string> leaves =
            proxy->getProperty("LeafQueues").onInterface(corvane::kStatusInterface);
        // Left to choose, it takes the best queue this kernel has.
        EXPECT_EQ(leaves, (std::map<std::string, std::string>{{kMac, BestLeaf()}}));
        service.Signal(SIGTERM);
        EXPECT_EQ(service.Wait(5000ms), 0);
        EXPECT_EQ(Picture(*this, router_), before) << err("service.err");
    }
    {
        servicetest::ServiceProcess crashed(args, dir.file("crashed.err"));
        ASSERT_TRUE(servicetest::WaitUntilServing());
        crashed.Signal(SIGKILL);
        crashed.Wait(5000ms);
        EXPECT_TRUE(Link(kIfb)) << "SIGKILL leaves the tree";
        servicetest::ServiceProcess cleanup({"--cleanup", "--config", config},
                                            dir.file("cleanup.err"));
        EXPECT_EQ(cleanup.Wait(5000ms), 0) << err("cleanup.err");
        EXPECT_EQ(Picture(*this, router_), before);
    }
    // A WAN that is not there yet is waited for; the installed file's
    // placeholder is a configuration still to be edited.
    test::WriteFile(config,
                    "[gateway line]\ninterface = eth9\nmac = m\nid = 1\n"
                    "download_bps = 1\nupload_bps = 1\n");
    {
        servicetest::ServiceProcess waiting(args, dir.file("waiting.err"));
        ASSERT_TRUE(servicetest::WaitUntilServing());
        EXPECT_EQ(Picture(*this, router_), before);
        waiting.Signal(SIGTERM);
        EXPECT_EQ(waiting.Wait(5000ms), 0);
        EXPECT_NE(err("waiting.err")
                      .find("corvane-service: no interface eth9 (interface of "
                            "[gateway line]); shaped once it appears\n"),
                  std::string::npos)
            << err("waiting.err");
    }
    test::WriteFile(config,
                    "[gateway line]\ninterface = SET-WAN-HERE\nmac = m\nid = 1\n"
                    "download_bps = 1\nupload_bps = 1\n");
    servicetest::ServiceProcess refused(args, dir.file("refused.err"));
    EXPECT_EQ(refused.Wait(5000ms), 2);
    EXPECT_NE(err("refused.err").find("name your WAN interface"), std::string::npos);
    EXPECT_EQ(Picture(*this, router_), before);
}

}  // namespace
}  // namespace kerneltest
