// The probe budget: figures per month, day, hour and partition across dates
// and budgets; the top-of-hour work, report scheduling and the refusal test.
#include "probe/budget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "config/registry_params.h"
#include "log/logger.h"
#include "report/report.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

class Budget : public ::testing::Test {
  protected:
    static void Reset() {
        ResetLoggerForTest();
        ResetBudgetForTest();
        ResetConfigForTest();
        ResetIspContextsForTest();
        gLastReportFailed = false;
    }
    void SetUp() override {
        Reset();
        InitLogger();
    }
    void TearDown() override { Reset(); }
    int CountLogged(const std::string& prefix) {
        auto log = test::LogMessages("aperture.log");
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& m) {
            return m.rfind("<DEBUG>:" + prefix, 0) == 0;
        }));
    }
    // A fresh start with `budget` ("" = no value) at the given date and minute.
    void Start(const std::string& budget, uint16_t year, uint16_t month, uint16_t day,
               uint16_t minute) {
        ResetBudgetForTest();
        budget.empty() ? hive_.Write({}) : hive_.Write({"\"VormProbeMonthBudgetMB\"=" + budget});
        clock_.SetLocal(year, month, day, 10, minute);
        InitOrUpdateProbeBudgetTiming(true);
    }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::ConsoleCapture console_;
    test::ScopedHive hive_{dir_, {}};
    test::FakeClock clock_;
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
        {"dword:00000001", 2028, 2, false, 877, 30, 1, 0},  // leap February: 29 days
        {"dword:00000001", 2100, 2, false, 877, 31, 1, 0},  // not a leap year
        {"dword:00000001", 2000, 2, false, 877, 30, 1, 0},  // divisible by 400
        {"dword:00000006", 2027, 4, false, 5267, 175, 7,
         0},  // under 8 an hour: partition 0 refuses
        {"dword:ffffffff", 2027, 1, false, 3770822910447, 121639448724, 5068310363, 633538795},
        {"dword:00000000", 2027, 1, true, 26338, 849, 35, 4},  // 0 means unlimited
        {"", 2027, 1, true, 26338, 849, 35, 4},                // so does a missing value
    };
    for (const Case& c : cases) {
        Start(c.value, c.year, c.month, 15, 0);
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
    Start("dword:0000001e", 2027, 1, 15, 40);  // 35 probes an hour
    EXPECT_EQ(gMovingProbesPerPartitionedHourLimit, 4u);
    struct Step {
        uint16_t minute;
        bool callAgainNextTick;
        uint64_t limit;
    };
    const Step steps[] = {{41, false, 4}, {44, true, 4},   {45, false, 30}, {46, false, 30},
                          {51, true, 30}, {52, false, 35}, {59, true, 35},  {0, false, 4},
                          {6, true, 4},   {7, false, 8},   {15, false, 13}, {22, false, 17}};
    for (const Step& s : steps) {
        clock_.local().minute = s.minute;
        EXPECT_EQ(InitOrUpdateProbeBudgetTiming(false), s.callAgainNextTick) << s.minute;
        EXPECT_EQ(gMovingProbesPerPartitionedHourLimit, s.limit) << s.minute;
    }
}

TEST_F(Budget, TopOfHourResetsCountersOnceAndSchedulesReports) {
    // The start-up call sees 16 slots still zero: all are in use with G 0.
    InitOrUpdateProbeBudgetTiming(true);
    EXPECT_EQ(CountLogged("[G 0] ResetISPHourlyCounters: SET: ProbeCountHourCheckpoint = 0, "
                          "gProbesSentThisHour = 0, gMovingProbesPerPartitionedHourLimit = "),
              16);

    ReinitIspContexts();
    gIspCtx[2].G = 7;
    gIspCtx[2].gProbeCount = 12;
    gIspCtx[2].gProbesSentThisHour = 5;
    gProbeCountReportHours = 2;
    std::srand(1);
    int draws = 0;
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
        draws =
            CountLogged("InitOrUpdateProbeBudgetTiming: set gSendProbeCountReportThisMinute = ");
        gIspCtx[2].gProbesSentThisHour = 5;
    }
    EXPECT_EQ(CountLogged("[G 7] ResetISPHourlyCounters"), 4);  // once per hour, not per tick
    EXPECT_EQ(draws, 2);                                        // every second hour
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
    EXPECT_EQ(CountLogged("InitOrUpdateProbeBudgetTiming: [LAST REPORT FAILED] set "
                          "gSendProbeCountReportThisMinute = 33"),
              1);
}

TEST_F(Budget, RefusesOnceThePartitionAllowanceIsSpent) {
    Start("dword:0000001e", 2027, 1, 15, 0);  // 4 probes in partition 0
    IspCtx& ctx = gIspCtx[0];
    ctx.gProbesSentThisHour = 3;
    EXPECT_FALSE(ProbeBudgetExceeded(ctx));
    ctx.gProbesSentThisHour = 4;
    EXPECT_TRUE(ProbeBudgetExceeded(ctx));
    EXPECT_TRUE(ProbeBudgetExceeded(ctx));
    EXPECT_EQ(CountLogged("ProbeBudgetExceeded:[1st hr-partition] gProbesSentThisHour 4 >= "
                          "gMovingProbesPerPartitionedHourLimit 4"),
              1);
    EXPECT_EQ(CountLogged("ProbeBudgetExceeded: gProbesSentThisHour 4 >= "
                          "gMovingProbesPerPartitionedHourLimit 4"),
              1);
    clock_.local().minute = 7;  // partition 1 raises the allowance and forgets the refusal
    InitOrUpdateProbeBudgetTiming(false);
    EXPECT_EQ(ctx.budgetLogged, 0);
    EXPECT_FALSE(ProbeBudgetExceeded(ctx));

    gUnlimitedProbing = true;
    ctx.gProbesSentThisHour = 1000;
    EXPECT_FALSE(ProbeBudgetExceeded(ctx));
}

}  // namespace
