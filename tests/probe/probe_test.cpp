// The probe's rationing (budget and deferral) and the latency probe, with the
// route that pins it to its gateway's interface and never outlives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "config/registry_params.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/route.h"
#include "probe/budget.h"
#include "probe/deferral.h"
#include "probe/latency.h"
#include "report/report.h"
#include "speedtest/http_exchange.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

class ProbeTest : public ::testing::Test {
  protected:
    static void Reset() {
        platform::SetRouteSourceForTest(nullptr);
        ResetLatencyForTest();
        ResetBudgetForTest();
        ResetConfigForTest();
        ResetLoggerForTest();
        ResetIspContextsForTest();
        platform::ResetClockForTest();
        ClearLastErrorText();
        gLastReportFailed = false;
    }
    void SetUp() override {
        Reset();
        InitLogger();
    }
    void TearDown() override { Reset(); }
    static std::vector<std::string> Log() { return test::LogMessages("aperture.log"); }
    static int CountLogged(const std::string& prefix) {
        auto log = Log();
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& m) {
            return m.rfind("<DEBUG>:" + prefix, 0) == 0;
        }));
    }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::ConsoleCapture console_;
    test::FakeClock clock_;
};

class Budget : public ProbeTest {
  protected:
    // A fresh start with `budget` ("" = no value) at the given date and minute.
    void Start(const std::string& budget, uint16_t year, uint16_t month, uint16_t minute) {
        ResetBudgetForTest();
        hive_.Write(budget.empty()
                        ? std::vector<std::string>{}
                        : std::vector<std::string>{"\"VormProbeMonthBudgetMB\"=" + budget});
        clock_.SetLocal(year, month, 15, 10, minute);
        InitOrUpdateProbeBudgetTiming(true);
    }

    test::ScopedHive hive_{dir_, {}};
};

TEST_F(Budget, FiguresAcrossBudgetsAndMonths) {
    struct Case {
        std::string value;
        uint16_t year, month;
        bool unlimited;
        uint64_t perMonth, perDay, perHour, partition0Limit;
    };
    const Case cases[] = {
        {"dword:0000001e", 2027, 1, false, 26338, 849, 35, 4},
        {"dword:00000001", 2027, 1, false, 877, 28, 1, 0},
        {"dword:00000001", 2028, 2, false, 877, 30, 1, 0},    // leap February: 29 days
        {"dword:00000001", 2100, 2, false, 877, 31, 1, 0},    // not a leap year
        {"dword:00000001", 2000, 2, false, 877, 30, 1, 0},    // divisible by 400
        {"dword:00000006", 2027, 4, false, 5267, 175, 7, 0},  // under 8 an hour: 0 in partition 0
        {"dword:ffffffff", 2027, 1, false, 3770822910447, 121639448724, 5068310363, 633538795},
        {"dword:00000000", 2027, 1, true, 26338, 849, 35, 4},  // 0 means unlimited
        {"", 2027, 1, true, 26338, 849, 35, 4},                // so does a missing value
    };
    for (const Case& c : cases) {
        Start(c.value, c.year, c.month, 0);
        SCOPED_TRACE(c.value + " " + std::to_string(c.year) + "-" + std::to_string(c.month));
        EXPECT_EQ(std::make_tuple(gUnlimitedProbing, gProbesPerMonth, gProbesPerDay, gProbesPerHour,
                                  gMovingProbesPerPartitionedHourLimit),
                  std::make_tuple(c.unlimited, c.perMonth, c.perDay, c.perHour, c.partition0Limit));
    }
    EXPECT_EQ(gProbeMonthBudgetMB, 30u);  // a missing value reads as 30 MB, unenforced
    EXPECT_EQ(CountLogged("InitOrUpdateProbeBudgetTiming: Unlimited Probing is enabled."), 2);
    EXPECT_EQ(DaysInMonth(2027, 12), 31u);
    EXPECT_EQ(DaysInMonth(2027, 11), 30u);
}

TEST_F(Budget, PartitionsOpenAsTheHourGoesOn) {
    Start("dword:0000001e", 2027, 1, 40);  // 35 probes an hour
    EXPECT_EQ(gMovingProbesPerPartitionedHourLimit, 4u);
    // Minute, whether the next tick must call again, the allowance after it.
    const std::tuple<uint16_t, bool, uint64_t> steps[] = {
        {41, false, 4}, {44, true, 4},   {45, false, 30}, {46, false, 30},
        {51, true, 30}, {52, false, 35}, {59, true, 35},  {0, false, 4},
        {6, true, 4},   {7, false, 8},   {15, false, 13}, {22, false, 17}};
    for (const auto& [minute, callAgain, limit] : steps) {
        clock_.local().minute = minute;
        EXPECT_EQ(InitOrUpdateProbeBudgetTiming(false), callAgain) << minute;
        EXPECT_EQ(gMovingProbesPerPartitionedHourLimit, limit) << minute;
    }
}

TEST_F(Budget, TopOfHourResetsCountersOnceAndSchedulesReports) {
    InitOrUpdateProbeBudgetTiming(true);
    ReinitIspContexts();
    std::tie(gIspCtx[2].G, gIspCtx[2].gProbeCount, gIspCtx[2].gProbesSentThisHour) =
        std::tuple(7, 12, 5);
    gProbeCountReportHours = 2;
    std::srand(1);
    for (uint16_t hour = 11; hour <= 14; ++hour) {
        clock_.local().hour = hour;
        for (uint16_t minute : {58, 59, 0, 0, 1}) {
            clock_.local().minute = minute;
            InitOrUpdateProbeBudgetTiming(false);
            if (minute == 0) {
                EXPECT_EQ(gIspCtx[2].ProbeCountHourCheckpoint, 12u);
                EXPECT_EQ(gIspCtx[2].gProbesSentThisHour, 0u);
            }
        }
        gIspCtx[2].gProbesSentThisHour = 5;
    }
    EXPECT_EQ(CountLogged("[G 7] ResetISPHourlyCounters"), 4);  // once per hour, not per tick
    // Every second hour.
    EXPECT_EQ(CountLogged("InitOrUpdateProbeBudgetTiming: set gSendProbeCountReportThisMinute = "),
              2);
}

TEST_F(Budget, FailedReportIsRetriedOnSecondZero) {
    InitOrUpdateProbeBudgetTiming(true);
    gLastReportFailed = true;
    clock_.SetLocal(2027, 1, 15, 10, 33, 12);
    InitOrUpdateProbeBudgetTiming(false);
    EXPECT_TRUE(gLastReportFailed);  // only on second 0
    clock_.local().second = 0;
    InitOrUpdateProbeBudgetTiming(false);
    EXPECT_FALSE(gLastReportFailed);
    EXPECT_EQ(gSendProbeCountReportThisMinute, -1);  // due this minute, so sent at once
}

TEST_F(Budget, RefusesOnceThePartitionAllowanceIsSpent) {
    Start("dword:0000001e", 2027, 1, 0);  // 4 probes in partition 0
    IspCtx& ctx = gIspCtx[0];
    ctx.gProbesSentThisHour = 3;
    EXPECT_FALSE(ProbeBudgetExceeded(ctx));
    ctx.gProbesSentThisHour = 4;
    EXPECT_TRUE(ProbeBudgetExceeded(ctx));
    EXPECT_TRUE(ProbeBudgetExceeded(ctx));  // asked again, refused again
    clock_.local().minute = 7;  // partition 1 raises the allowance and forgets the refusal
    InitOrUpdateProbeBudgetTiming(false);
    EXPECT_EQ(ctx.budgetLogged, 0);
    EXPECT_FALSE(ProbeBudgetExceeded(ctx));

    gUnlimitedProbing = true;
    ctx.gProbesSentThisHour = 1000;
    EXPECT_FALSE(ProbeBudgetExceeded(ctx));
}

using DeferralTest = ProbeTest;

TEST_F(DeferralTest, HoldsAtOrBelowTheRateUntilItEndsUnlessUnlimited) {
    Deferral point{};
    DeferProbes(20.0, point);
    EXPECT_TRUE(CheckProbeIsDeferred(20.0, point, "FLAT"));
    EXPECT_TRUE(CheckProbeIsDeferred(3.0, point, "FLAT"));
    EXPECT_TRUE(CheckProbeIsDeferred(0.0, point, "DOWN"));  // no traffic: still deferred
    EXPECT_FALSE(CheckProbeIsDeferred(20.5, point, "FLAT"));

    clock_.AdvanceMs(10000);
    DeferProbes(15.0, point);  // lower: the held point stays
    EXPECT_EQ(point.mbps, 20.0);
    DeferProbes(25.0, point);  // higher: replaces it and restarts the 30 s
    EXPECT_EQ(point.mbps, 25.0);
    clock_.AdvanceMs(29999);
    EXPECT_TRUE(CheckProbeIsDeferred(25.0, point, "FLAT"));
    clock_.AdvanceMs(1);
    EXPECT_FALSE(CheckProbeIsDeferred(25.0, point, "FLAT"));
    EXPECT_EQ(std::tie(point.untilTick, point.mbps), std::make_tuple(0u, 0.0));

    DeferProbes(0.0, point);  // no traffic sets nothing
    EXPECT_EQ(point.untilTick, 0u);

    // A zero length, or unlimited probing, never defers.
    gDeferralTimeSecs = 0;
    DeferProbes(20.0, point);
    EXPECT_FALSE(CheckProbeIsDeferred(10.0, point, "FLAT"));
    EXPECT_EQ(point.untilTick, 0u);

    gDeferralTimeSecs = 30;
    gUnlimitedProbing = true;
    DeferProbes(20.0, point);
    EXPECT_FALSE(CheckProbeIsDeferred(10.0, point, "FLAT"));
    EXPECT_NE(point.untilTick, 0u);  // kept until it ends, then cleared
    clock_.AdvanceMs(30000);
    EXPECT_FALSE(CheckProbeIsDeferred(10.0, point, "FLAT"));
    EXPECT_EQ(point.untilTick, 0u);
}

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

class Latency : public ProbeTest {
  protected:
    void SetUp() override {
        ProbeTest::SetUp();
        platform::SetRouteSourceForTest(&routes_);
        SetLatencyExchangeForTest(
            [this](const std::string&, const std::string& request, double* s) {
                requests_.push_back(request);
                *s = 0.123456;
                return answer_ ? 0 : -1;
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
    int32_t Probe(uint8_t deferral, uint8_t budget) {
        deferral_ = deferral;
        budget_ = budget;
        seconds_ = 0;
        return MeasureHostLatency(ctx_, "203.0.113.77", &seconds_, "FLAT", &deferral_, &budget_);
    }

    Routes routes_;
    IspCtx ctx_{};
    std::vector<std::string> requests_;
    bool answer_ = true;
    double seconds_ = 0;
    uint8_t deferral_ = 0, budget_ = 0;
};

TEST_F(Latency, PinsTheServersNetworkForOneProbeAndNeverLeaksTheRoute) {
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

    // No interface: no lookup and no route, the probe still goes out.
    ctx_.TargetIfIndex = -1;
    EXPECT_EQ(Probe(0, 0), kProbeAnswered);
    EXPECT_EQ(routes_.created.size(), 1u);

    // Routes that cannot be changed, and no answer: nothing is left behind.
    ctx_.TargetIfIndex = 3;
    routes_.createError = EPERM;  // no right to change routes
    routes_.deleteError = ESRCH;
    answer_ = false;
    EXPECT_EQ(Probe(0, 0), kProbeNoAnswer);
    EXPECT_EQ(seconds_, 0.0);
    EXPECT_EQ(ctx_.gProbeCount, 12u);  // a failed probe still counts
    EXPECT_EQ(gProbeRoute.ifIndex, 0u);
}

TEST_F(Latency, BudgetIsAskedBeforeDeferral) {
    gMovingProbesPerPartitionedHourLimit = 6;  // six sent this hour after the next
    ctx_.DeferralPoint = {50.0, clock_.TickCount64() + 10000};
    ctx_.mbps = 40;
    EXPECT_EQ(Probe(1, 1), kProbeDeferred);  // 5 sent: budget allows, deferral holds
    EXPECT_EQ(std::tie(deferral_, budget_, ctx_.gProbeCount), std::make_tuple(1, 0, 9u));
    EXPECT_EQ(Probe(1, 1), kProbeDeferred);
    ctx_.gProbesSentThisHour = 6;
    EXPECT_EQ(Probe(1, 1), kProbeOverBudget);  // both asked: the budget answers first
    EXPECT_EQ(std::tie(deferral_, budget_), std::make_tuple(0, 1));
    EXPECT_EQ(Probe(0, 0), kProbeAnswered);  // neither asked
    EXPECT_EQ(requests_.size(), 1u);
}

}  // namespace
