// Limit changes and traffic totals against the in-memory service, with a
// hand-moved high-resolution counter for the rates.
#include "shaper/limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "shaper/fake_service.h"
#include "shaper/gateways.h"

namespace {

using fake::ServiceState;
using Lines = std::vector<std::string>;
using Script = std::function<void(ServiceState&)>;

constexpr const wchar_t* kMacA = L"02-00-00-00-00-0A";

class Limits : public fake::ServiceTest {
  protected:
    void SetUp() override {
        fake::ServiceTest::SetUp();
        S().gateways = {{kMacA, 3, 20000000, 100000000}, {L"02-0B", 7, 20000000, 50000000}};
        S().interfaces = {{kMacA, 10, 3}, {kMacA, 11, 3}, {L"02-0B", 20, 7}};
        ASSERT_EQ(InitTarnelHelper(), S_OK);
        ASSERT_EQ(DiscoverGateways(), S_OK);
        S().calls.clear();
        console_.clear();
    }
    IspCtx& slot_ = gIspCtx[0];  // G 3, devices 10 and 11
    test::ConsoleCapture console_;
};

TEST_F(Limits, DownloadBoundIsCheckedBeforeAnythingIsSent) {
    EXPECT_EQ(SetNetworkLimits(slot_, 30000000, 1499999999), S_OK);
    EXPECT_EQ(S().calls, (Lines{"GetNetworkInfoList", "PrepareLimitChange", "SetGatewayLimits"}));
    EXPECT_EQ(S().prepareArguments, (std::vector<int32_t>{-1}));
    ASSERT_EQ(S().limitCalls.size(), 1u);
    EXPECT_EQ(S().limitCalls[0].mac, kMacA);
    EXPECT_EQ(S().limitCalls[0].uploadBps, 30000000);
    EXPECT_EQ(S().limitCalls[0].downloadBps, 1499999999);

    const std::pair<uint64_t, std::string> refused[] = {
        {1500000000, "1500000000"},
        {0x8000000000000000ull, "9223372036854775808"},
        {UINT64_MAX, "18446744073709551615"},
    };
    for (const auto& [down, text] : refused) {
        S().calls.clear();
        console_.clear();
        EXPECT_EQ(SetNetworkLimits(slot_, 30000000, down), E_INVALIDARG);
        EXPECT_TRUE(S().calls.empty());
        EXPECT_EQ(console_.text(),
                  "[G 3, ap 90.91/90.91] SetNetworkLimits() - BAD DLBW: "
                  "i64BandwidthDown " +
                      text + " >= INVALID_DLBW_BPS 1500000000\n");
        EXPECT_EQ(Log().back(),
                  "<ERROR>:[G 3, ap 90.9091 / 90.9091] SetNetworkLimits(): "
                  "INVALID: down=" +
                      text.substr(0, text.size() - 6) + " mbps");
        EXPECT_EQ(slot_.lastDownloadLimitBps, 1499999999u);  // as the success left it
    }
}

TEST_F(Limits, SuccessfulChangesUpdateTheSlot) {
    MarkLog();
    EXPECT_EQ(SetNetworkLimits(slot_, 20000000, 90909090), S_OK);
    EXPECT_EQ(slot_.lastDownloadLimitBps, 90909090u);
    EXPECT_DOUBLE_EQ(slot_.lastDownloadLimitMbps, 90.90909);
    EXPECT_EQ(slot_.lastUploadLimitMbps, 20.0);
    // The service now reports the new limit, so the next change validates.
    S().answers["SetGatewayLimits"] = {1};
    EXPECT_EQ(SetNetworkLimits(slot_, 1500000, 45000000), 1);
    EXPECT_EQ(slot_.lastDownloadLimitMbps, 45.0);
    EXPECT_EQ(slot_.lastUploadLimitMbps, 1.5);
    EXPECT_EQ(LogSinceMark(),
              (Lines{"<DEBUG>:SetNetworkLimits(): down=90.9091 mbps, up=20 mbps, hr=0, gateway=3",
                     "<DEBUG>:SetNetworkLimits(): down=45 mbps, up=1.5 mbps, hr=1, gateway=3"}));
}

TEST_F(Limits, FailedChangesLeaveTheSlotAlone) {
    const std::string kException = "<ERROR>:SetNetworkLimits(): _EXCEPTION_ : down=80 mbps, hr=";
    const std::string kInvalid =
        "<ERROR>:SetNetworkLimits(): *FAILED* due to ValidateDLBWForISPsInternal() - ";
    const std::string kUnbound =
        "<ERROR>:SetNetworkLimits(): pINetworkManager == NULL and "
        "pIConfigurationManager == NULL";
    const Lines kAll = {"GetNetworkInfoList", "PrepareLimitChange", "SetGatewayLimits"};
    struct Case {
        const char* name;
        Script script;
        HRESULT expected;
        Lines calls;
        std::string lastLine;
    };
    const Case cases[] = {
        {"prepare raises",
         [](ServiceState& s) { s.answers["PrepareLimitChange"] = {E_FAIL}; },
         E_FAIL,
         {kAll[0], kAll[1]},
         kException + "-2147467259, gateway=3"},
        {"set raises",
         [](ServiceState& s) { s.answers["SetGatewayLimits"] = {RPC_S_SERVER_UNAVAILABLE_HR}; },
         RPC_S_SERVER_UNAVAILABLE_HR, kAll, kException + "-2147023174, gateway=3"},
        {"set fails unraised",
         [](ServiceState& s) {
             s.answers["SetGatewayLimits"] = {E_UNEXPECTED, false};
         },
         E_UNEXPECTED, kAll, kException + "-2147418113, gateway=3"},
        {"bandwidth changed in the service",
         [](ServiceState& s) { s.gateways[0].downloadBps = 1; },
         E_UNEXPECTED,
         {kAll[0]},
         kInvalid + "-2147467259"},
        {"validation cannot read",
         [](ServiceState& s) { s.answers["GetNetworkInfoList"] = {RPC_S_SERVER_UNAVAILABLE_HR}; },
         E_UNEXPECTED,
         {kAll[0]},
         kInvalid + "-2147023174"},
        {"configuration unbound",
         [](ServiceState&) { g_pIConfigurationManager.reset(); },
         E_FAIL,
         {},
         kUnbound},
        {"network unbound",
         [](ServiceState&) { g_pINetworkManager.reset(); },
         E_FAIL,
         {},
         kUnbound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(InitTarnelHelper(), S_OK);  // binds again what a case dropped
        S().answers.clear();
        S().gateways[0].downloadBps = 100000000;
        c.script(S());
        S().calls.clear();
        EXPECT_EQ(SetNetworkLimits(slot_, 10000000, 80000000), c.expected);
        EXPECT_EQ(S().calls, c.calls);
        EXPECT_EQ(Log().back(), c.lastLine);
        EXPECT_EQ(slot_.lastDownloadLimitBps, 100000000u);
        EXPECT_EQ(slot_.lastDownloadLimitMbps, 0.0);
    }
}

TEST_F(Limits, TrafficListsKeepOnlyTheSlotsDevices) {
    S().processes = {{L"a", 10, 1, 2}, {L"b", 20, 3, 4}, {L"c", 11, 5, 6}, {L"a", 10, 7, 8}};
    struct Case {
        const char* name;
        std::vector<int32_t> devices;
        std::function<void(TrafficListArrays&)> edit;
        std::wstring names;  // empty with E_INVALIDARG when the edit breaks the reply
    };
    const Case cases[] = {
        {"the slot's devices", {10, 11}, nullptr, L"aca"},
        {"no devices", {}, nullptr, L""},
        {"another gateway's device", {20}, nullptr, L"b"},
        {"up to the shorter device array",
         {10, 11},
         [](TrafficListArrays& a) {
             a[4] = SafeArray(std::vector<int32_t>{10, 20});
         },
         L"a"},
        {"up to the shorter upload array",
         {10, 11},
         [](TrafficListArrays& a) {
             a[6] = SafeArray(std::vector<int64_t>{1, 3, 5});
         },
         L"ac"},
        {"ninth and tenth unread",
         {10, 11},
         [](TrafficListArrays& a) { a[8] = a[9] = SafeArray::OfOtherType(); },
         L"aca"},
        {"short name array",
         {10, 11},
         [](TrafficListArrays& a) { a[0] = SafeArray(std::vector<std::wstring>{L"a"}); },
         L""},
        {"short download array",
         {10, 11},
         [](TrafficListArrays& a) { a[7] = SafeArray(std::vector<int64_t>{2}); },
         L""},
        {"an unread array of another type",
         {10, 11},
         [](TrafficListArrays& a) {
             a[3] = SafeArray(std::vector<int32_t>{0, 0, 0, 0});
         },
         L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        S().editProcesses = c.edit;
        slot_.deviceIDs = c.devices;
        std::vector<ListEntry> list;
        const bool broken = c.edit && c.names.empty();
        EXPECT_EQ(GetTLists(slot_, &list, &IRulesManager::GetProcessList),
                  broken ? E_INVALIDARG : S_OK);
        std::wstring names;
        for (const ListEntry& e : list) names += e.name;
        EXPECT_EQ(names, c.names);
        if (broken) {
            EXPECT_EQ(Log().back(), "<ERROR>:GetTLists() - EXCEPTION, hr = -2147024809");
        }
    }
    EXPECT_EQ(S().listSelectors.back(), -1);
    S().editProcesses = nullptr;
    slot_.deviceIDs = {10};
    std::vector<ListEntry> list;
    ASSERT_EQ(GetTLists(slot_, &list, &IRulesManager::GetProcessList), S_OK);
    EXPECT_EQ(list[1].upload, 7u);
    EXPECT_EQ(list[1].download, 8u);
}

TEST_F(Limits, CountersAccumulateAcrossRestartsAndVanishedNames) {
    struct Step {
        std::vector<ListEntry> list;
        uint64_t up, down;
    };
    const Step steps[] = {
        {{{L"a", 10, 100}}, 10, 100},
        {{{L"a", 30, 250}}, 30, 250},
        {{{L"a", 5, 40}}, 35, 290},                 // both counters restarted lower
        {{{L"b", 0, 60}}, 35, 350},                 // a vanished: still counted
        {{{L"a", 5, 40}, {L"b", 0, 60}}, 35, 350},  // unchanged counters add nothing
        {{{L"A", 1, 1}}, 36, 351},                  // names compare exactly
        {{}, 36, 351},
    };
    ListTotalsTable table;
    for (const Step& step : steps) {
        uint64_t up = 99, down = 99;
        AccumulateListTotals(slot_, table, step.list, &up, &down);
        EXPECT_EQ(up, step.up);
        EXPECT_EQ(down, step.down);
    }
    uint64_t up = 0, down = 0;  // another gateway's records are its own
    AccumulateListTotals(gIspCtx[1], table, {{L"a", 7, 7}}, &up, &down);
    EXPECT_EQ(down, 7u);
    EXPECT_EQ(table[3][L"a"].accumulatedDownload, 290u);
}

TEST_F(Limits, TotalsReadProcessesThenDomains) {
    slot_.deviceIDs = {10};
    S().processes = {{L"p", 10, 100, 1000}, {L"q", 20, 1, 1}};
    S().domains = {{L"example.com", 10, 50, 500}};
    uint64_t pu = 9, du = 9, pd = 9, dd = 9;
    EXPECT_EQ(GetTarnelBWTotals(slot_, &pu, &du, &pd, &dd), S_OK);
    EXPECT_EQ((std::vector<uint64_t>{pu, du, pd, dd}), (std::vector<uint64_t>{100, 50, 1000, 500}));
    EXPECT_EQ(S().calls, (Lines{"GetProcessList", "GetDomainList"}));

    const std::string kTotals = "<ERROR>:GetTarnelBWTotalS() - ";
    const std::tuple<Script, HRESULT, std::string> failures[] = {
        {[](ServiceState& s) { s.answers["GetProcessList"] = {E_FAIL}; }, E_FAIL,
         kTotals + "GetTLists(...GetProcessList()) failed hr = -2147467259"},
        {[](ServiceState& s) { s.answers["GetDomainList"] = {RPC_S_SERVER_UNAVAILABLE_HR}; },
         RPC_S_SERVER_UNAVAILABLE_HR,
         kTotals + "GetTLists(...GetDomainList()) failed hr = -2147023174"},
        {[](ServiceState&) { g_pIRulesManager.reset(); }, E_FAIL,
         kTotals + "pIRulesManager is NULL! -2147467259"},
    };
    for (const auto& [script, expected, lastLine] : failures) {
        S().answers.clear();
        script(S());
        S().processes[0].download += 1000;  // growth that a failed read must not count
        pu = du = pd = dd = 9;
        EXPECT_EQ(GetTarnelBWTotals(slot_, &pu, &du, &pd, &dd), expected);
        EXPECT_EQ((std::vector<uint64_t>{pu, du, pd, dd}), (std::vector<uint64_t>(4, 0)));
        EXPECT_EQ(Log().back(), lastLine);
        EXPECT_EQ(gProcessListTotals[3][L"p"].accumulatedDownload, 1000u);
    }
}

TEST_F(Limits, DownloadRateAndMovingAverage) {
    fake::ManualClock clock;
    slot_.deviceIDs = {10, 11};
    S().processes = {{L"p", 10, 0, 0}};
    S().domains = {{L"d", 11, 0, 0}};
    struct Step {
        double seconds;           // since the previous step
        int64_t process, domain;  // cumulative download counters, bits
        bool fail;
        double mmaBefore;  // written into the slot first unless < 0
        double mbps, mma, processOnly;
        uint64_t lastCombined;
    };
    const Step steps[] = {
        {0, 4000000, 1000000, false, 7.0, 0, 0, 0, 5000000},  // the first read sets the base
        {2, 10000000, 5000000, false, 2.0, 5.0, 3.0, 3.0, 15000000},
        {1, 10000000, 5000000, false, -1, 0, 2.0, 0, 15000000},
        {1, 12000000, 5000000, true, -1, 0, 2.0, 0, 0},
        // After a failure the whole accumulated total counts against one interval.
        {2, 12000000, 5000000, false, -1, 8.5, 12.5 / 3, 6.0, 17000000},
        {1, 1000000, 5000000, false, -1, 1.0, 28.0 / 9, 1.0, 18000000},  // restart: all new
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        clock.AdvanceSeconds(step.seconds);
        S().processes[0].download = step.process;
        S().domains[0].download = step.domain;
        S().answers.clear();
        if (step.fail) S().answers["GetDomainList"] = {E_FAIL};
        if (step.mmaBefore >= 0) slot_.mbps_MMA = step.mmaBefore;
        MarkLog();
        EXPECT_EQ(GetInternetDownloadStats(slot_), step.fail ? E_FAIL : S_OK);
        EXPECT_EQ(slot_.firstSample, 0);
        EXPECT_DOUBLE_EQ(slot_.mbps, step.mbps);
        EXPECT_DOUBLE_EQ(slot_.processDomainMbps, step.mbps);
        EXPECT_DOUBLE_EQ(slot_.mbps_MMA, step.mma);
        EXPECT_DOUBLE_EQ(slot_.processOnlyMbps, step.processOnly);
        EXPECT_EQ(slot_.lastCombinedTotal, step.lastCombined);
        EXPECT_EQ(gLastDownloadSampleTicks[0], platform::QueryPerformanceCounter());
        EXPECT_EQ(LogSinceMark().empty(), !step.fail);
        if (step.fail) {
            EXPECT_EQ(Log().back(),
                      "<ERROR>:GetInternetDownloadStats: GetTarnelBWTotals() "
                      "FAILED, hr = -2147467259");
        }
    }

    // Totals below the last ones (set by hand here) are a discontinuity: no
    // rate, the average kept; the process rate is measured on its own.
    clock.AdvanceSeconds(1);
    slot_.lastCombinedTotal = 50000000;
    slot_.lastProcessTotal = 0;
    slot_.mbps_MMA = 4.0;
    EXPECT_EQ(GetInternetDownloadStats(slot_), S_OK);
    EXPECT_EQ(slot_.mbps, 0.0);
    EXPECT_EQ(slot_.mbps_MMA, 4.0);
    EXPECT_DOUBLE_EQ(slot_.processOnlyMbps, 13.0);
    EXPECT_EQ(slot_.lastCombinedTotal, 18000000u);
    EXPECT_EQ(Log().back(),
              "<ERROR>:GetInternetDownloadStats: _DISCONTINUITY_ last 18000000 < 50000000");
}

TEST_F(Limits, EachSlotMeasuresItsOwnInterval) {
    fake::ManualClock clock;
    IspCtx& other = gIspCtx[1];  // G 7, device 20
    S().processes = {{L"p", 10, 0, 0}, {L"q", 20, 0, 0}};
    EXPECT_EQ(GetInternetDownloadStats(slot_), S_OK);
    clock.AdvanceSeconds(0.5);
    EXPECT_EQ(GetInternetDownloadStats(other), S_OK);
    clock.AdvanceSeconds(1.5);
    S().processes[0].download = 10000000;
    S().processes[1].download = 4000000;
    EXPECT_EQ(GetInternetDownloadStats(slot_), S_OK);
    EXPECT_DOUBLE_EQ(slot_.mbps, 5.0);  // over 2 s, not the 1.5 s since the other slot
    clock.AdvanceSeconds(0.5);
    EXPECT_EQ(GetInternetDownloadStats(other), S_OK);
    EXPECT_DOUBLE_EQ(other.mbps, 2.0);
}

}  // namespace
