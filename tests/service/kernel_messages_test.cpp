// The kernel backend without a kernel: its netlink messages, the parsers of
// the kernel's answers, its configuration, and its tree logic on a fake kernel.
#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <cstring>

#include "fake_kernel.h"
#include "service/kernel/kernel_backend.h"
#include "service/kernel/kernel_config.h"

namespace kerneltest {
namespace {

using corvane::KernelBackend;
using namespace std::chrono_literals;

// Attributes of a message (after its tcmsg) by type, and of one nest.
std::map<uint16_t, const nlattr*> Attributes(const nlmsghdr* h) {
    std::map<uint16_t, const nlattr*> out;
    nl::ForEachAttribute(h, sizeof(tcmsg), [&](const nlattr* a) { out[nl::AttributeType(a)] = a; });
    return out;
}
std::map<uint16_t, const nlattr*> Nested(const nlattr* nest) {
    std::map<uint16_t, const nlattr*> out;
    nl::ForEachNested(nest, [&](const nlattr* a) { out[nl::AttributeType(a)] = a; });
    return out;
}

TEST(TcMessages, LeavesAndHtbCarryWhatTheKernelNeeds) {
    // A line's framing: cake counts from the IP packet, as the file says;
    // the link header is HTB's business only.
    for (tc::Framing framing : {tc::Framing{-4, 0, tc::LinkLayer::Atm, 14},
                                tc::Framing{34, 64, tc::LinkLayer::Ptm, 14}}) {
        tc::Qdisc q;
        ASSERT_TRUE(tc::ParseQdisc(
            tc::LeafQdisc(7, tc::Leaf::Cake, 1, false, tc::Mode::Create, "e", framing).header(),
            &q));
        framing.headerBytes = 0;
        EXPECT_EQ(q.cakeFraming, framing) << *framing.overhead;
    }

    // fq_codel with ECN, sfq and bfifo, each made anew.
    struct Leaf {
        tc::Leaf leaf;
        const char* kind;
    };
    for (Leaf l : {Leaf{tc::Leaf::FqCodel, "fq_codel"}, Leaf{tc::Leaf::Sfq, "sfq"},
                   Leaf{tc::Leaf::Bfifo, "bfifo"}}) {
        SCOPED_TRACE(l.kind);
        nl::Message m = tc::LeafQdisc(3, l.leaf, 5000000, true, tc::Mode::Create, "d");
        EXPECT_EQ(m.header()->nlmsg_flags, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL);
        tc::Qdisc q;
        ASSERT_TRUE(tc::ParseQdisc(m.header(), &q));
        EXPECT_EQ(q.kind, l.kind);
        auto attrs = Attributes(m.header());
        ASSERT_TRUE(attrs.count(TCA_OPTIONS));
        if (l.leaf == tc::Leaf::FqCodel) {
            EXPECT_TRUE(Nested(attrs[TCA_OPTIONS]).count(TCA_FQ_CODEL_ECN));
        }
    }

    // HTB class: exact rates below 2^32 bytes/s, the 64-bit attributes above.
    for (uint64_t rate : {uint64_t{125000}, uint64_t{5000000000}}) {
        SCOPED_TRACE(rate);
        nl::Message m = tc::HtbClass(3, rate, tc::Mode::Change, "d");
        EXPECT_EQ(m.header()->nlmsg_flags, NLM_F_REQUEST) << "a change creates nothing";
        tc::Class c;
        ASSERT_TRUE(tc::ParseClass(m.header(), &c));
        EXPECT_EQ(c.rateBytes, rate);
        EXPECT_EQ(c.ceilBytes, rate);
        EXPECT_EQ(c.quantum, tc::QuantumBytes(rate));
        auto opts = Nested(Attributes(m.header())[TCA_OPTIONS]);
        EXPECT_EQ(opts.count(TCA_HTB_RATE64), rate >= (uint64_t{1} << 32) ? 1u : 0u);
        tc_htb_opt parms;
        nl::ReadPayload(opts[TCA_HTB_PARMS], &parms);
        EXPECT_EQ(parms.rate.linklayer, TC_LINKLAYER_ETHERNET);
        EXPECT_EQ(parms.rate.rate, rate >= (uint64_t{1} << 32) ? ~0U : rate);
        // The burst in 64 ns ticks: 1 ms of the rate, or two frames at low rates.
        EXPECT_NEAR(parms.buffer, tc::BurstBytes(rate) * 1e9 / static_cast<double>(rate) / 64, 1.0);
    }
    // The line's framing in HTB's words: the overhead past the link header
    // (none below it), the mpu, ATM cells; PTM's encoding off the rate.
    struct Framed {
        tc::Framing framing;
        uint32_t overhead;
        bool atm;
        uint64_t rate;
    };
    for (const Framed& f :
         {Framed{{32, 0, tc::LinkLayer::Atm, 14}, 18, true, 650000},
          Framed{{8, 0, tc::LinkLayer::Atm, 14}, 0, true, 650000},
          Framed{{34, 64, tc::LinkLayer::Ptm, 0}, 34, false, 640000},
          Framed{{std::nullopt, 0, tc::LinkLayer::Ethernet, 14}, 0, false, 650000}}) {
        SCOPED_TRACE(tc::LinkLayerName(f.framing.linkLayer));
        tc::Class c;
        ASSERT_TRUE(
            tc::ParseClass(tc::HtbClass(3, 650000, tc::Mode::Create, "d", f.framing).header(), &c));
        EXPECT_EQ(c.overhead, f.overhead);
        EXPECT_EQ(c.mpu, f.framing.mpu);
        EXPECT_EQ(c.atm, f.atm);
        EXPECT_EQ(c.rateBytes, f.rate);
        EXPECT_EQ(c.ceilBytes, f.rate);
    }
    EXPECT_EQ(tc::QuantumBytes(1000), 1514u);
    EXPECT_EQ(tc::QuantumBytes(1u << 30), 200000u);
}

TEST(TcMessages, FifoAndBurstSizesFollowTheRate) {
    struct Row {
        uint64_t rateBytes;
        uint32_t fifo;
        uint32_t burst;
    };
    const Row rows[] = {
        {125000, 4 * 1514, 2 * 1514},      // 1 Mbit/s: the floors
        {2500000, 12500, 3028},            // 20 Mbit/s: 5 ms, two frames
        {12500000, 62500, 12500},          // 100 Mbit/s
        {5000000000, 16u << 20, 5000000},  // 40 Gbit/s: the fifo's cap
        // A rate whose product with the fifo's 5 ms would wrap to 4 bytes.
        {UINT64_MAX / 5 + 1, 16u << 20, UINT32_MAX},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.rateBytes);
        EXPECT_EQ(tc::FifoBytes(r.rateBytes), r.fifo);
        EXPECT_EQ(tc::BurstBytes(r.rateBytes), r.burst);
    }
}

TEST(KernelConfig, EveryErrorNamesFileLineAndKey) {
    const std::string ok =
        "[gateway fibre]\ninterface = eth0\nmac = 02-00-00-00-00-01\nid = 3\n"
        "download_bps = 100000000\nupload_bps = -1\n";
    corvane::KernelConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseKernelConfig(
        ok + "leaf = sfq\nreplace = yes\noverhead = -4\nmpu = 64\nlinklayer = atm\n", "k.ini",
        &config, &error))
        << error;
    ASSERT_EQ(config.gateways.size(), 1u);
    EXPECT_EQ(config.gateways[0].leaf, tc::Leaf::Sfq);
    EXPECT_TRUE(config.gateways[0].replace);
    EXPECT_EQ(config.gateways[0].uploadBps, -1);
    EXPECT_EQ(config.gateways[0].framing, (tc::Framing{-4, 64, tc::LinkLayer::Atm, 0}));
    ASSERT_TRUE(corvane::ParseKernelConfig(ok, "k.ini", &config, &error));
    EXPECT_EQ(config.gateways[0].framing, tc::Framing{}) << "the frame as the kernel counts it";

    struct Row {
        std::string text;
        std::string error;
    };
    const Row rows[] = {
        {"", "k.ini: no [gateway NAME] section"},
        {"[gateway]\n", "k.ini:1: section [gateway] needs a name, as in [gateway NAME]"},
        {ok + "leaf = red\n",
         "k.ini:7: 'red' is not auto, cake, fq_codel, sfq or bfifo (key 'leaf' in [gateway "
         "fibre])"},
        {ok + "overhead = 257\n",
         "k.ini:7: overhead = 257 is out of range (-64 to 256) in [gateway fibre]"},
        {ok + "linklayer = adsl\n",
         "k.ini:7: 'adsl' is not ethernet, atm or ptm (key 'linklayer' in [gateway fibre])"},
        {"[gateway fibre]\ninterface = SET-WAN-HERE\n",
         "k.ini:2: interface = SET-WAN-HERE in [gateway fibre]: name your WAN interface (ip -br "
         "link)"},
        {ok + "[gateway other]\ninterface = eth0\nmac = x\nid = 4\ndownload_bps = 1\nupload_bps = "
              "1\n",
         "k.ini:8: interface 'eth0' is already shaped by [gateway fibre] (key 'interface' in "
         "[gateway other])"},
        {ok + "[gateway other]\ninterface = eth1\nmac = 02-00-00-00-00-01\nid = 4\n"
              "download_bps = 1\nupload_bps = 1\n",
         "k.ini:9: gateway MAC '02-00-00-00-00-01' is already used by [gateway fibre] (key 'mac' "
         "in [gateway other])"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_FALSE(corvane::ParseKernelConfig(r.text, "k.ini", &config, &error));
        EXPECT_EQ(error, r.error);
    }

    // IFB names fit the kernel's 15 bytes; long names stay apart.
    EXPECT_LE(corvane::IfbNameFor("enp0s31f6abcdef").size(), 15u);
    EXPECT_NE(corvane::IfbNameFor("enp0s31f6abcdef"), corvane::IfbNameFor("enp0s31f6abcdeg"));
    EXPECT_EQ(corvane::IfbNameFor("abcdefghijk"), "cvn-abcdefghijk");
}

// ---- the tree logic on a kernel in memory ----

// A second gateway, on an LTE stick.
const std::string kLte =
    "[gateway lte]\ninterface = lte0\nmac = 02-00-00-00-00-02\nid = 2\n"
    "download_bps = 8000000\nupload_bps = 2000000\n";

struct FakeRun {
    FakeKernel kernel;
    std::unique_ptr<KernelBackend> backend;
    std::string error;
    std::chrono::steady_clock::time_point now{};  // the backend's clock

    bool Start(const std::string& extra = "", bool netAdmin = true) {
        corvane::KernelConfig config;
        std::string problem;
        EXPECT_TRUE(corvane::ParseKernelConfig(
            "[gateway line]\ninterface = wan0\nmac = 02-00-00-00-00-01\nid = 1\n"
            "download_bps = 20000000\nupload_bps = 4000000\n" +
                extra,
            "kernel.ini", &config, &problem))
            << problem;
        corvane::KernelSystem system;
        system.watchEvents = false;
        system.hasNetAdmin = [netAdmin] { return netAdmin; };
        system.linkSpeedBps = [](int) { return int64_t{1000000000}; };
        system.now = [this] { return now; };
        backend = std::make_unique<KernelBackend>(std::move(config), kernel, system);
        return backend->Start(&error);
    }
    // Time passes and the backend does what is due.
    void After(std::chrono::milliseconds elapsed) {
        now += elapsed;
        backend->Work();
    }
    // The qdisc at the root of a device; an empty one (no kind) for none.
    tc::Qdisc Root(const std::string& device) const {
        for (const tc::Qdisc& q : kernel.Qdiscs(kernel.IndexOf(device))) {
            if (q.parent == tc::kRootParent) return q;
        }
        return {};
    }
    uint64_t CakeRate(const std::string& device) const { return Root(device).cakeRate; }
};

// Cake shapes alone at the root of both devices; each HTB leaf sits in its
// class. A limit changes in place: cake's rate, or the class (and bfifo's
// size), nothing made anew, the other direction untouched.
TEST(KernelTree, ChoosesTheBestLeafTheKernelHasAndChangesItsRateInPlace) {
    struct Row {
        std::set<std::string> missing;
        std::string chosen;
        size_t messages;  // per download limit change
    };
    const Row rows[] = {
        {{}, "cake", 1},
        {{"cake"}, "fq_codel", 1},
        {{"cake", "fq_codel"}, "sfq", 1},
        {{"cake", "fq_codel", "sfq"}, "bfifo", 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.chosen);
        const bool cake = r.chosen == "cake";
        FakeRun run;
        run.kernel.missingKinds = r.missing;
        ASSERT_TRUE(run.Start()) << run.error;
        EXPECT_EQ(run.backend->LeafQueues()[kMac], r.chosen);
        const int ifb = run.kernel.IndexOf("cvn-wan0");
        ASSERT_NE(ifb, 0);
        EXPECT_EQ(run.kernel.Classes(ifb).empty(), cake) << "cake needs no HTB";
        EXPECT_EQ(run.CakeRate("cvn-wan0"), cake ? 20000000u / 8 : 0u);
        EXPECT_EQ(run.CakeRate("wan0"), cake ? 4000000u / 8 : 0u);
        run.kernel.log.clear();
        ASSERT_EQ(run.backend->SetGatewayLimits(kMac, 4000000, 40000000), corvane::kOk);
        ASSERT_EQ(run.kernel.log.size(), r.messages);
        EXPECT_EQ(run.kernel.log[0].type, cake ? RTM_NEWQDISC : RTM_NEWTCLASS);
        EXPECT_EQ(run.kernel.log[0].flags, NLM_F_REQUEST) << "changed, not made anew";
        EXPECT_EQ(cake ? run.kernel.log[0].qdisc.cakeRate : run.kernel.log[0].cls.rateBytes,
                  5000000u);
        EXPECT_EQ(run.CakeRate("cvn-wan0"), cake ? 5000000u : 0u);
        if (r.messages == 2) {
            EXPECT_EQ(run.kernel.log[1].qdisc.kind, "bfifo");
            EXPECT_EQ(run.kernel.log[1].qdisc.fifoLimit, tc::FifoBytes(5000000));
            EXPECT_EQ(run.kernel.log[1].flags, NLM_F_REQUEST);
        }
        run.kernel.log.clear();  // the same limits again change nothing
        ASSERT_EQ(run.backend->SetGatewayLimits(kMac, 4000000, 40000000), corvane::kOk);
        EXPECT_TRUE(run.kernel.log.empty());
    }
}

// Another tool's filter at `pref` on wan0's `qdisc` (ingress or clsact): the
// service's redirect with a cookie of its own.
void Foreign(FakeRun& run, const char* qdisc, uint16_t pref = tc::kRedirectPref) {
    const int wan = run.kernel.IndexOf("wan0");
    nl::Message filter = tc::RedirectFilter(wan, 99, "wan0", "another tool's device");
    char* bytes = reinterpret_cast<char*>(filter.header());
    const size_t at = std::string_view(bytes, filter.header()->nlmsg_len).find(tc::kRedirectCookie);
    ASSERT_NE(at, std::string_view::npos) << "the redirect carries no cookie";
    std::memcpy(bytes + at, "another-tool-ab", tc::kRedirectCookie.size());
    auto* t = static_cast<tcmsg*>(NLMSG_DATA(filter.header()));
    t->tcm_info = (uint32_t{pref} << 16) | (t->tcm_info & 0xFFFF);
    ASSERT_TRUE(
        nl::Run(run.kernel, BareQdisc(wan, tc::kIngressParent, tc::kIngressHandle, qdisc)).ok());
    ASSERT_TRUE(nl::Run(run.kernel, filter).ok());
}

TEST(KernelTree, RefusalsAndFailuresLeaveNothingBehind) {
    struct Row {
        const char* what;
        std::function<void(FakeRun&)> arrange;
        std::string extra;
        bool netAdmin;
        std::string error;
    };
    const Row rows[] = {
        {"no CAP_NET_ADMIN", [](FakeRun&) {}, "", false,
         "the kernel backend needs CAP_NET_ADMIN (run corvane-service as root or grant it the "
         "capability)"},
        {"no IFB", [](FakeRun& r) { r.kernel.noIfb = true; }, "", true,
         "the kernel cannot make IFB devices (creating the IFB device " +
             corvane::ScratchIfbName() +
             ": Operation not supported (kernel: Unknown device type))"},
        {"no HTB",
         [](FakeRun& r) {
             r.kernel.missingKinds = {"cake", "htb"};
         },
         "", true,
         "the kernel has no HTB queueing discipline (adding the htb qdisc of " +
             corvane::ScratchIfbName() +
             ": No such file or directory (kernel: Specified qdisc kind is unknown.))"},
        {"a configured leaf it lacks", [](FakeRun& r) { r.kernel.missingKinds = {"cake"}; },
         "leaf = cake\n", true,
         "kernel.ini:1: leaf = cake in [gateway line], but the kernel has no cake"},
        {"a refusal half way", [](FakeRun& r) { r.kernel.failWhen = "redirects"; }, "", true,
         "wan0: adding the filter that redirects wan0 to cvn-wan0: Operation not permitted"},
        {"a foreign IFB of our name",
         [](FakeRun& r) { r.kernel.AddDevice("cvn-wan0", "ifb", "mine"); }, "", true,
         "a device named cvn-wan0 exists that corvane-service did not create"},
        {"someone's root qdisc",
         [](FakeRun& r) {
             const int wan = r.kernel.IndexOf("wan0");
             ASSERT_TRUE(nl::Run(r.kernel, BareQdisc(wan, tc::kRootParent, 0x10000, "pfifo")).ok());
         },
         "", true,
         "wan0 already has a root qdisc (pfifo 1:) that corvane-service did not create; set "
         "replace = yes in [gateway line] to take it over"},
        // Only a redirect that carries the service's cookie is the service's.
        {"another tool's redirect on an ingress qdisc", [](FakeRun& r) { Foreign(r, "ingress"); },
         "", true,
         "wan0 already has an ingress qdisc (ingress ffff:) that corvane-service did not create; "
         "set replace = yes in [gateway line] to take it over"},
        {"another tool's filter at the redirect's place on a clsact",
         [](FakeRun& r) { Foreign(r, "clsact"); }, "", true,
         "wan0's clsact qdisc already has a filter at preference 50593 that corvane-service did "
         "not create; set replace = yes in [gateway line] to take it over"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FakeRun run;
        r.arrange(run);
        const size_t objects = run.kernel.ObjectCount(), devices = run.kernel.devices().size();
        EXPECT_FALSE(run.Start(r.extra, r.netAdmin));
        EXPECT_EQ(run.error, r.error);
        EXPECT_EQ(run.kernel.ObjectCount(), objects) << "something was left or taken";
        EXPECT_EQ(run.kernel.devices().size(), devices) << "a device was left or taken";
    }
}

// A look that fails says nothing of the tree: it stays, and the look is
// tried again; a refusal half way through a limit change keeps the half the
// kernel took, and a repair restores exactly that.
TEST(KernelTree, AFailedLookKeepsTheTreeAndRepairsRestoreTheLimitsInForce) {
    FakeRun run;
    ASSERT_TRUE(run.Start()) << run.error;
    const size_t objects = run.kernel.ObjectCount();
    run.kernel.failWhen = "listing the qdiscs";
    run.After(31s);  // the periodic look
    EXPECT_EQ(run.kernel.ObjectCount(), objects) << "the tree was torn down";
    run.kernel.failWhen.clear();
    run.kernel.log.clear();
    run.After(1s);  // the look again, after the first back-off
    EXPECT_FALSE(run.kernel.log.empty()) << "no look after the failed one";
    EXPECT_EQ(run.kernel.ObjectCount(), objects);
    EXPECT_EQ(run.backend->Shaped(), std::vector<bool>{true});

    // The download change goes through, the upload change is refused.
    run.kernel.failWhen = "qdisc of wan0";
    EXPECT_EQ(run.backend->SetGatewayLimits(kMac, 1000000, 10000000), corvane::kFail);
    EXPECT_LE(run.backend->MsUntilWork(), 50) << "the tree may be damaged: no look soon";
    run.kernel.failWhen.clear();
    EXPECT_EQ(run.CakeRate("cvn-wan0"), 10000000u / 8);
    // The counters: the IFB sends what was downloaded, wan0 what was uploaded.
    auto traffic = [&] {
        std::vector<corvane::TrafficEntry> list;
        EXPECT_EQ(run.backend->GetTraffic(corvane::TrafficKind::Processes, &list), corvane::kOk);
        list.resize(1);
        return std::pair(list[0].downloadBits, list[0].uploadBits);
    };
    run.kernel.SetTxBytes("cvn-wan0", 1000);
    run.kernel.SetTxBytes("wan0", 500);
    EXPECT_EQ(traffic(), std::pair(int64_t{8000}, int64_t{4000}));
    // The tree is damaged from outside: the repair puts back the limits in
    // force, the new download and the old upload. The IFB made anew starts
    // at zero: the counter goes on.
    run.kernel.RemoveDevice("cvn-wan0");
    run.After(31s);
    EXPECT_EQ(run.CakeRate("cvn-wan0"), 10000000u / 8);
    EXPECT_EQ(run.CakeRate("wan0"), 4000000u / 8);
    run.kernel.SetTxBytes("cvn-wan0", 300);
    EXPECT_EQ(traffic().first, 8 * 1300);

    // A limit above the link's speed (1 Gbit/s here) is the link's speed.
    EXPECT_EQ(run.backend->SetGatewayLimits(kMac, 4000000, 5000000000), corvane::kOk);
    EXPECT_EQ(run.CakeRate("cvn-wan0"), 1000000000u / 8);
}

// A clsact on the WAN (other tools' BPF programs) keeps what it holds: the
// redirect joins it on the ingress hook and alone leaves at the end, also
// when its IFB is gone and it points at nothing.
TEST(KernelTree, ClsactOnTheWanKeepsItsFiltersAndGetsTheRedirectBeside) {
    FakeRun run;
    Foreign(run, "clsact", 1);
    ASSERT_TRUE(run.Start()) << run.error;
    const auto wan = run.kernel.Qdiscs(run.kernel.IndexOf("wan0"));
    EXPECT_TRUE(std::any_of(wan.begin(), wan.end(), [](auto& q) { return q.kind == "clsact"; }));
    run.kernel.RemoveDevice("cvn-wan0");
    std::vector<std::string> problems;
    EXPECT_TRUE(run.backend->RemoveAll(&problems)) << ::testing::PrintToString(problems);
    EXPECT_EQ(run.kernel.ObjectCount(), 2u) << "not the clsact and its filter alone";
}

// A WAN missing at start (an LTE stick plugged in later) does not keep the
// others unshaped: it is reported not connected, its interface down, and
// shaped once its link appears. What carries the service's marks and belongs
// to no configured gateway goes at start: the tree of a gateway taken out
// of the file, and the trial device of a run that ended. A device that is
// not the service's stays.
TEST(KernelTree, AWanMissingAtStartIsShapedWhenItAppearsAndGoesWhenUnconfigured) {
    FakeRun run;
    ASSERT_TRUE(run.Start(kLte)) << run.error;
    EXPECT_EQ(run.backend->Shaped(), (std::vector<bool>{true, false}));
    std::vector<corvane::Gateway> gateways;
    ASSERT_EQ(run.backend->GetGateways(&gateways), corvane::kOk);
    ASSERT_EQ(gateways.size(), 2u);
    EXPECT_TRUE(gateways[0].connected);
    EXPECT_FALSE(gateways[1].connected);

    run.kernel.AddDevice("lte0", "veth");
    run.After(31s);
    EXPECT_EQ(run.backend->Shaped(), (std::vector<bool>{true, true}));
    EXPECT_EQ(run.CakeRate("cvn-lte0"), 8000000u / 8);
    ASSERT_NE(run.CakeRate("lte0"), 0u);

    run.kernel.AddDevice("cvnp999999999", "ifb", "corvane-service: trying queue kinds");
    run.kernel.AddDevice("cvn-other", "ifb", "someone else's");
    run.backend.reset();                    // as a crash or a stop that removed nothing
    ASSERT_TRUE(run.Start()) << run.error;  // lte taken out of the file
    EXPECT_EQ(run.kernel.devices().count("cvn-lte0"), 0u);
    EXPECT_EQ(run.kernel.devices().count("cvnp999999999"), 0u);
    EXPECT_EQ(run.kernel.devices().count("cvn-other"), 1u);
    EXPECT_EQ(run.kernel.Qdiscs(run.kernel.IndexOf("lte0")).size(), 0u)
        << "the upload shaper of lte0 stayed";
    EXPECT_NE(run.CakeRate("cvn-wan0"), 0u);
}

// The line's framing reaches both directions' shapers, in each one's own
// terms. A look at every gateway reads the system's qdiscs in one dump, and
// finds nothing to change.
TEST(KernelTree, TheLinesFramingReachesEveryShaperAndALookDumpsOnce) {
    FakeRun run;
    run.kernel.AddDevice("lte0", "veth");
    ASSERT_TRUE(run.Start("overhead = 34\nmpu = 64\nlinklayer = ptm\n" + kLte)) << run.error;
    const tc::Framing vdsl{34, 64, tc::LinkLayer::Ptm, 0};
    EXPECT_EQ(run.Root("cvn-wan0").cakeFraming, vdsl);
    EXPECT_EQ(run.Root("wan0").cakeFraming, vdsl);
    ASSERT_EQ(run.Root("cvn-lte0").kind, "cake");
    EXPECT_EQ(run.Root("cvn-lte0").cakeFraming, tc::Framing{}) << "another gateway's line";

    run.kernel.log.clear();
    run.After(31s);
    size_t dumps = 0;
    for (const auto& entry : run.kernel.log) {
        dumps += entry.type == RTM_GETQDISC;
        EXPECT_TRUE(entry.type == RTM_GETQDISC || entry.type == RTM_GETTCLASS ||
                    entry.type == RTM_GETTFILTER || entry.type == RTM_GETLINK)
            << "a look changed something: " << entry.type;
    }
    EXPECT_EQ(dumps, 1u);
}

}  // namespace
}  // namespace kerneltest
