// The kernel backend on the real kernel, in private network namespaces: its
// tree, real traffic at its limits, repairs, the service.
#include <gtest/gtest.h>

#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <set>
#include <utility>

#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>

#include "kernel_world.h"
#include "service/bus_server.h"
#include "service_harness.h"

namespace kerneltest {
namespace {

constexpr uint16_t kTcpPort = 5001;

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
    // Upload: the same shaper at wan0's root; cake shapes alone, in ingress
    // mode where it sees what arrives.
    for (const auto& [dev, bps] : {std::pair{kIfb, 20000000u}, std::pair{kWan, 5000000u}}) {
        SCOPED_TRACE(dev);
        EXPECT_EQ(LimitBytes(dev), bps / 8);
        ASSERT_TRUE(LeafOf(dev));
        EXPECT_EQ(LeafOf(dev)->kind, kind());
        EXPECT_EQ(LeafOf(dev)->cakeIngress, cake() && dev == std::string(kIfb));
    }
    // No scratch device is left from the leaf detection.
    EXPECT_FALSE(Link(corvane::ScratchIfbName()));

    // A second service after a crash adopts the tree as it stands.
    auto again = Started(Config(20000000, 5000000));
    ASSERT_TRUE(again);
    EXPECT_EQ(Link(kIfb)->index, ifb->index);
    EXPECT_EQ(RedirectTarget(), ifb->index);

    // -1 lifts a limit to the link's speed (a veth says 10 Gbit/s), and the
    // gateway list shows -1 again.
    ASSERT_EQ(again->SetGatewayLimits(kMac, -1, -1), corvane::kOk);
    EXPECT_EQ(LimitBytes(kWan), 1250000000u);
    std::vector<corvane::Gateway> gateways;
    ASSERT_EQ(again->GetGateways(&gateways), corvane::kOk);
    ASSERT_EQ(gateways.size(), 1u);
    EXPECT_EQ(gateways[0].downloadBps, -1);
    EXPECT_EQ(gateways[0].linkSpeedBps, 10000000000);

    std::vector<std::string> problems;
    EXPECT_TRUE(again->RemoveAll(&problems)) << ::testing::PrintToString(problems);
    EXPECT_EQ(Picture(*this, router_), before);
    // Removing again finds nothing to remove, and says so without failing.
    EXPECT_TRUE(backend->RemoveAll(&problems)) << ::testing::PrintToString(problems);
}

// TCP's payload in a full frame: 1448 of 1514 bytes (timestamps on).
constexpr double kPayloadShare = 1448.0 / 1514;

TEST_P(KernelLeafTest, HoldsTcpAtTheLimitAfterAChange) {
    auto backend = Started(Config(160000, 50000000));
    ASSERT_TRUE(backend);
    std::string error;
    // Real TCP at 20 Mbit/s within 10 %, past the slow start: the frames on
    // the wire, and the payload they carry.
    ASSERT_EQ(backend->SetGatewayLimits(kMac, 50000000, 20000000), corvane::kOk);
    lab::TcpSink sink;
    ASSERT_TRUE(sink.Start(kWanAddress, kTcpPort, &error)) << error;
    lab::TcpSource source;
    InInternet([&](nl::Socket&) { ASSERT_TRUE(source.Start(kWanAddress, kTcpPort, 2, &error)); });
    ASSERT_TRUE(error.empty()) << error;
    std::this_thread::sleep_for(1s);
    const uint64_t bytes0 = sink.Bytes(), wire0 = Link(kIfb)->txBytes;
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double wire = (Link(kIfb)->txBytes - wire0) * 8 / s;
    const double goodput = (sink.Bytes() - bytes0) * 8 / s;
    EXPECT_NEAR(wire / 20e6, 1.0, 0.10) << "delivered " << wire << " bps on the wire";
    EXPECT_NEAR(goodput / (20e6 * kPayloadShare), 1.0, 0.10) << "goodput " << goodput << " bps";
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

    // Events lost to a full buffer may have told of damage: every gateway
    // is looked at soon. Only lo's events come, which name no gateway.
    PumpUntil(*backend, 300ms, [] { return false; });
    const int least = 0;
    ASSERT_EQ(::setsockopt(backend->WatchFd(), SOL_SOCKET, SO_RCVBUFFORCE, &least, sizeof least),
              0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(nl::Run(router_, links::SetLinkUp(1, i % 2 == 1, "lo")).ok());
    }
    backend->Work();
    EXPECT_LE(backend->MsUntilWork(), 50) << "events were lost and no look is due";
}

// The real corvane-service: it shapes, shows its leaf on the bus, and leaves
// a tree after SIGKILL that --cleanup removes.
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
    servicetest::ServiceProcess service(args, dir.file("service.err"));
    ASSERT_TRUE(servicetest::WaitUntilServing()) << err("service.err");
    EXPECT_EQ(LimitBytes(kIfb), 30000000u / 8);
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, corvane::kBusName, corvane::kRootPath);
    std::map<std::string, std::string> leaves =
        proxy->getProperty("LeafQueues").onInterface(corvane::kStatusInterface);
    // Left to choose, it takes the best queue this kernel has.
    EXPECT_EQ(leaves, (std::map<std::string, std::string>{{kMac, BestLeaf()}}));
    service.Signal(SIGKILL);
    service.Wait(5000ms);
    EXPECT_TRUE(Link(kIfb)) << "SIGKILL leaves the tree";
    servicetest::ServiceProcess cleanup({"--cleanup", "--config", config}, dir.file("cleanup.err"));
    EXPECT_EQ(cleanup.Wait(5000ms), 0) << err("cleanup.err");
    EXPECT_EQ(Picture(*this, router_), before);
}

}  // namespace
}  // namespace kerneltest
