// A private two-host network for the kernel backend's tests: each test moves
// into a fresh network namespace of its own (the router, with wan0) whose
// veth peer isp0 sits in a second one (the internet). Both vanish with the
// test, whatever it leaves in them.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "fake_kernel.h"  // kMac and BareQdisc, shared with the kernel in memory
#include "lab/net_requests.h"
#include "lab/traffic.h"
#include "netlink/netns.h"
#include "service/kernel/kernel_backend.h"

namespace kerneltest {

using namespace std::chrono_literals;
using corvane::KernelBackend;
namespace links = nl::links;
namespace netns = nl::netns;

inline constexpr const char* kWan = "wan0";
inline constexpr const char* kPeer = "isp0";
inline constexpr const char* kIfb = "cvn-wan0";
inline const uint32_t kWanAddress = lab::Ipv4("10.77.0.2");
inline const uint32_t kPeerAddress = lab::Ipv4("10.77.0.1");

// One gateway on wan0, with the given limits and extra lines.
inline std::string GatewayConfig(int64_t downloadBps, int64_t uploadBps,
                                 const std::string& extra = "") {
    // No metrics file in a real node exporter's directory.
    return "[metrics]\nfile =\n[gateway line]\ninterface = wan0\nmac = 02-00-00-00-00-01\nid = "
           "1\ndownload_bps = " +
           std::to_string(downloadBps) + "\nupload_bps = " + std::to_string(uploadBps) + "\n" +
           extra;
}

class KernelWorld : public ::testing::Test {
  public:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root (CAP_NET_ADMIN) for a private network namespace";
        }
        std::string error;
        home_ = netns::Namespace::Current(&error);
        ASSERT_TRUE(home_) << error;
        if (::unshare(CLONE_NEWNET) != 0) {
            GTEST_SKIP() << "no network namespaces here: unshare: " << std::strerror(errno);
        }
        entered_ = true;
        ASSERT_EQ(router_.Open(NETLINK_ROUTE), 0);
        ASSERT_TRUE(nl::Run(router_, links::SetLinkUp(1, true, "lo")).ok());
        internet_ = netns::Namespace::Create(&error);
        ASSERT_TRUE(internet_) << error;
        // Wire-sized packets, as on a real line (no 64 KiB TSO frames).
        ASSERT_TRUE(nl::Run(router_, lab::NewVeth(kWan, kPeer, internet_->fd(), 1)).ok());
        wanIndex_ = Link(kWan)->index;
        ASSERT_TRUE(nl::Run(router_, lab::AddAddress(wanIndex_, kWanAddress, 24)).ok());
        ASSERT_TRUE(nl::Run(router_, links::SetLinkUp(wanIndex_, true, kWan)).ok());
        InInternet([&](nl::Socket& s) {
            std::optional<links::Link> peer;
            ASSERT_TRUE(links::FindLink(s, kPeer, &peer).ok());
            ASSERT_TRUE(peer);
            ASSERT_TRUE(nl::Run(s, lab::AddAddress(peer->index, kPeerAddress, 24)).ok());
            ASSERT_TRUE(nl::Run(s, links::SetLinkUp(peer->index, true, kPeer)).ok());
        });
    }

    void TearDown() override {
        std::string error;
        if (entered_) home_->Enter(&error);
    }

    // Runs `fn` on this thread inside the internet namespace, with a netlink
    // socket of that namespace.
    void InInternet(const std::function<void(nl::Socket&)>& fn) {
        netns::Inside inside(*internet_);
        ASSERT_TRUE(inside.ok());
        nl::Socket s;
        ASSERT_EQ(s.Open(NETLINK_ROUTE), 0);
        fn(s);
    }

    std::optional<links::Link> Link(const std::string& name) {
        std::optional<links::Link> link;
        EXPECT_TRUE(links::FindLink(router_, name, &link).ok());
        return link;
    }

    std::vector<tc::Qdisc> Qdiscs(const std::string& dev) {
        std::vector<tc::Qdisc> q;
        if (auto link = Link(dev)) {
            EXPECT_TRUE(tc::ListQdiscs(router_, link->index, &q).ok());
        }
        return q;
    }

    // Whether this kernel has the queue `kind`, asked of it directly: a root
    // qdisc of that kind on lo, removed again.
    bool KernelOffers(const std::string& kind) {
        if (!nl::Run(router_, BareQdisc(1, tc::kRootParent, 0x70000, kind)).ok()) return false;
        EXPECT_TRUE(nl::Run(router_, tc::DeleteQdisc(1, tc::kRootParent, 0x70000, kind)).ok());
        return true;
    }

    // The leaf the service should choose here: the best this kernel has.
    std::string BestLeaf() {
        for (tc::Leaf leaf : tc::kLeavesByPreference) {
            if (KernelOffers(tc::LeafKind(leaf))) return tc::LeafKind(leaf);
        }
        return "";
    }

    // The qdisc that queues the packets on `dev`: cake is the root itself,
    // the others sit in the HTB class.
    std::optional<tc::Qdisc> LeafOf(const std::string& dev) {
        for (const tc::Qdisc& q : Qdiscs(dev)) {
            if (q.handle == tc::kLeafHandle || (q.handle == tc::kRootHandle && q.kind == "cake")) {
                return q;
            }
        }
        return std::nullopt;
    }

    // The limit in force on `dev` in bytes per second: cake's bandwidth or
    // the HTB class's rate; 0 when there is neither.
    uint64_t LimitBytes(const std::string& dev) {
        std::optional<tc::Qdisc> leaf = LeafOf(dev);
        if (leaf && leaf->kind == "cake") return leaf->cakeRate;
        std::vector<tc::Class> classes;
        if (auto link = Link(dev)) {
            EXPECT_TRUE(tc::ListClasses(router_, link->index, &classes).ok());
        }
        for (const tc::Class& c : classes) {
            if (c.handle == tc::kClassHandle) return c.rateBytes;
        }
        return 0;
    }

    // The device wan0's ingress redirects to, 0 for none.
    int RedirectTarget() {
        std::vector<tc::Filter> filters;
        EXPECT_TRUE(tc::ListFilters(router_, wanIndex_, tc::kIngressHook, &filters).ok());
        for (const tc::Filter& f : filters) {
            if (f.redirectTo != 0) return f.redirectTo;
        }
        return 0;
    }

    // The backend on the kernel, started; nullptr (with a failure) when not.
    std::unique_ptr<KernelBackend> Started(const std::string& configText,
                                           std::string* error = nullptr) {
        corvane::KernelConfig config;
        std::string problem;
        EXPECT_TRUE(corvane::ParseKernelConfig(configText, "kernel.ini", &config, &problem))
            << problem;
        std::unique_ptr<KernelBackend> backend = KernelBackend::Open(std::move(config), &problem);
        EXPECT_TRUE(backend) << problem;
        if (!backend || !backend->Start(&problem)) {
            if (error != nullptr) {
                *error = problem;
            } else {
                ADD_FAILURE() << "Start: " << problem;
            }
            return nullptr;
        }
        return backend;
    }

    // Runs the backend's loop (as the service does) until `done` holds or
    // `limit` has passed; true when it held.
    static bool PumpUntil(KernelBackend& backend, std::chrono::milliseconds limit,
                          const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (done()) return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            int wait = backend.MsUntilWork();
            int ms = static_cast<int>(std::min<int64_t>(left.count(), 20));
            if (wait >= 0 && wait < ms) ms = wait;
            pollfd p{backend.WatchFd(), POLLIN, 0};
            ::poll(&p, 1, ms);
            backend.Work();
        }
    }

    nl::Socket router_;
    std::optional<netns::Namespace> home_;
    std::optional<netns::Namespace> internet_;
    int wanIndex_ = 0;
    bool entered_ = false;
};

}  // namespace kerneltest
