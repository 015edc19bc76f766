// The latency probe: the order of the budget and deferral tests, the count,
// and the route that pins a probe to its gateway's interface and never
// outlives it.
#include "probe/latency.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "config/registry_params.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/route.h"
#include "probe/budget.h"
#include "speedtest/http_exchange.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

// An in-memory route table with one interface (index 3, metric 5).
class Routes : public platform::RouteSource {
  public:
    int GetIpInterfaceEntry(platform::IpInterfaceEntry* entry) override {
        if (entry->interfaceIndex != 3) return ENODEV;
        entry->metric = 5;
        return 0;
    }
    int GetIpForwardTable(std::vector<platform::IpForwardRow>* table) override {
        *table = rows;
        return tableError;
    }
    int CreateIpForwardEntry(const platform::IpForwardRow& row) override {
        created.push_back(row);
        return createError;
    }
    int DeleteIpForwardEntry(const platform::IpForwardRow& row) override {
        deleted.push_back(row);
        return deleteError;
    }

    std::vector<platform::IpForwardRow> rows, created, deleted;
    int tableError = 0, createError = 0, deleteError = 0;
};

class Latency : public ::testing::Test {
  protected:
    static void Reset() {
        platform::SetRouteSourceForTest(nullptr);
        ResetLatencyForTest();
        ResetBudgetForTest();
        ResetLoggerForTest();
        platform::ResetClockForTest();
        ClearLastErrorText();
        ResetIspContextsForTest();
    }
    void SetUp() override {
        Reset();
        InitLogger();
        platform::SetRouteSourceForTest(&routes_);
        SetLatencyExchangeForTest(
            [this](const std::string&, const std::string& request, double* s) {
                requests_.push_back(request);
                if (!answer_) return -1;
                *s = 0.123456;
                return 0;
            });
        platform::IpForwardRow defaultRoute{};
        defaultRoute.ifIndex = 3;
        defaultRoute.nextHop = Ip(192, 0, 2, 1);
        routes_.rows = {defaultRoute, defaultRoute, defaultRoute};
        routes_.rows[1].nextHop = Ip(192, 0, 2, 254);  // the later default route wins
        // A VPN's 0.0.0.0/1 is no default route, last as it is.
        routes_.rows[2].nextHop = Ip(192, 0, 2, 99);
        routes_.rows[2].mask = Ip(128, 0, 0, 0);
        std::tie(ctx_.TargetIfIndex, ctx_.G, ctx_.gProbeCount, ctx_.ProbeCountHourCheckpoint) =
            std::tuple(3, 1, 9, 4);
    }
    void TearDown() override { Reset(); }
    int32_t Probe(uint8_t deferral, uint8_t budget) {
        deferral_ = deferral;
        budget_ = budget;
        seconds_ = 0;
        return MeasureHostLatency(ctx_, "203.0.113.77", &seconds_, "FLAT", &deferral_, &budget_);
    }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::ConsoleCapture console_;
    test::FakeClock clock_;
    Routes routes_;
    IspCtx ctx_{};
    std::vector<std::string> requests_;
    bool answer_ = true;
    double seconds_ = 0;
    uint8_t deferral_ = 0, budget_ = 0;
};

TEST_F(Latency, PinsTheServersNetworkThroughTheInterfaceForOneProbe) {
    gUnlimitedProbing = true;
    EXPECT_EQ(Probe(1, 1), kProbeAnswered);
    EXPECT_EQ(
        std::make_tuple(seconds_, deferral_, budget_, ctx_.gProbeCount, ctx_.gProbesSentThisHour),
        std::make_tuple(0.123456, 0, 0, 10u, 6u));
    ASSERT_EQ(routes_.created.size(), 1u);
    const platform::IpForwardRow& row = routes_.created[0];
    // The server's /24 through the last default route, one metric above the interface's.
    EXPECT_EQ(
        std::tie(row.dest, row.mask, row.nextHop, row.ifIndex, row.proto, row.metric1, row.metric2),
        std::make_tuple(Ip(203, 0, 113, 0), Ip(255, 255, 255, 0), Ip(192, 0, 2, 254), 3u, 3u, 6u,
                        0xFFFFFFFFu));
    ASSERT_EQ(routes_.deleted.size(), 1u);
    EXPECT_EQ(std::memcmp(&routes_.deleted[0], &row, sizeof(row)), 0);
    EXPECT_EQ(gProbeRoute.ifIndex, 0u);
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0].size(), 238u + std::strlen("Host: 203.0.113.77\r\n\r\n"));
    EXPECT_EQ(test::LogMessages("aperture.log").back(),
              "<DEBUG>:[ap 0, G 1, p's 10][FLAT] Sent Probe [this hour 6]");

    // No interface: no lookup and no route, the probe still goes out.
    ctx_.TargetIfIndex = -1;
    EXPECT_EQ(Probe(0, 0), kProbeAnswered);
    EXPECT_EQ(routes_.created.size(), 1u);
}

TEST_F(Latency, RouteFailuresAreLoggedAndNeverLeak) {
    gUnlimitedProbing = true;
    routes_.createError = EPERM;  // no right to change routes
    routes_.deleteError = ESRCH;
    answer_ = false;
    EXPECT_EQ(Probe(0, 0), kProbeNoAnswer);
    EXPECT_EQ(ctx_.gProbeCount, 10u);  // a failed probe still counts
    auto log = test::LogMessages("aperture.log");
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "<ERROR>:CreateIpForwardEntry failed! 1 [IfIndex=3]");
    EXPECT_EQ(log[2],
              "<ERROR>:MeasureHostLatency: failed to detect latency from : host = 203.0.113.77");
    EXPECT_EQ(log[3], "<ERROR>:DeleteIpForwardEntry failed! 3");
    EXPECT_EQ(console_.text(),
              "MeasureHostLatency: failed to detect latency from: host=203.0.113.77\n");
    EXPECT_EQ(gProbeRoute.ifIndex, 0u);

    // Without a default route on the interface nothing is created or deleted.
    routes_.rows.clear();
    routes_.created.clear();
    routes_.deleted.clear();
    console_.clear();
    answer_ = true;
    EXPECT_EQ(Probe(0, 0), kProbeAnswered);
    EXPECT_EQ(console_.text(), "GetIPv4DefaultGateway() failed!");
    EXPECT_TRUE(routes_.created.empty());
    EXPECT_TRUE(routes_.deleted.empty());

    // A route table that cannot be read.
    routes_.tableError = EACCES;
    console_.clear();
    EXPECT_EQ(GetIPv4DefaultGateway(3), 0xFFFFFFFFu);
    EXPECT_EQ(console_.text(), "getIpForwardTable failed. 0x0000000d\n");
}

TEST_F(Latency, BudgetIsAskedBeforeDeferral) {
    gMovingProbesPerPartitionedHourLimit = 6;  // six sent this hour after the next
    ctx_.DeferralPoint = {50.0, clock_.TickCount64() + 10000};
    ctx_.mbps = 40;
    EXPECT_EQ(Probe(1, 1), kProbeDeferred);  // 5 sent: budget allows, deferral holds
    EXPECT_EQ(deferral_, 1);
    EXPECT_EQ(budget_, 0);
    EXPECT_EQ(ctx_.gProbeCount, 9u);
    EXPECT_EQ(Probe(1, 1), kProbeDeferred);
    ctx_.gProbesSentThisHour = 6;
    EXPECT_EQ(Probe(1, 1), kProbeOverBudget);  // both asked: the budget answers first
    EXPECT_EQ(deferral_, 0);
    EXPECT_EQ(budget_, 1);
    EXPECT_EQ(Probe(0, 0), kProbeAnswered);  // neither asked
    EXPECT_TRUE(requests_.size() == 1u);
}

}  // namespace
