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
using fake::Raise;
using fake::Script;

constexpr const wchar_t* kMacA = L"02-00-00-00-00-0A";

class Limits : public fake::ServiceTest {
  protected:
    void SetUp() override {
        fake::ServiceTest::SetUp();
        S().gateways = {{kMacA, 3, 20000000, 100000000}, {L"02-0B", 7, 20000000, 50000000}};
        S().interfaces = {{kMacA, 10, 3}, {kMacA, 11, 3}, {L"02-0B", 20, 7}};
        ASSERT_EQ(InitTarnelHelper(), S_OK);
        ASSERT_EQ(DiscoverGateways(), S_OK);
    }
    IspCtx& slot_ = gIspCtx[0];  // G 3, devices 10 and 11
    test::ConsoleCapture console_;
};

TEST_F(Limits, ChangesAreBoundCheckedValidatedAndSentOrLeaveTheSlotAlone) {
    const std::string kSet = "<DEBUG>:SetNetworkLimits(): down=";
    const std::string kException = "<ERROR>:SetNetworkLimits(): _EXCEPTION_ : down=80 mbps, hr=";
    const std::string kInvalid =
        "<ERROR>:SetNetworkLimits(): *FAILED* due to ValidateDLBWForISPsInternal() - ";
    const std::string kUnbound =
        "<ERROR>:SetNetworkLimits(): pINetworkManager == NULL and pIConfigurationManager == NULL";
    const std::string kBad =
        "<ERROR>:[G 3, ap 90.9091 / 90.9091] SetNetworkLimits(): INVALID: down=";
    const Lines kCalls = {"GetNetworkInfoList", "PrepareLimitChange", "SetGatewayLimits"};
    struct Case {
        const char* name;
        Script script;
        uint64_t down;
        HRESULT expected;
        size_t calls;  // how many of kCalls, in that order
        std::string lastLine, console = "";
    };
    const Case cases[] = {
        {"set", nullptr, 90909090, S_OK, 3, kSet + "90.9091 mbps, up=1.5 mbps, hr=0, gateway=3"},
        {"the service's success code", Raise("SetGatewayLimits", 1), 45000000, 1, 3,
         kSet + "45 mbps, up=1.5 mbps, hr=1, gateway=3"},
        {"just below the bound", nullptr, 1499999999, S_OK, 3,
         kSet + "1500 mbps, up=1.5 mbps, hr=0, gateway=3"},
        {"the bound", nullptr, 1500000000, E_INVALIDARG, 0, kBad + "1500 mbps",
         "[G 3, ap 90.91/90.91] SetNetworkLimits() - BAD DLBW: i64BandwidthDown 1500000000 >= "
         "INVALID_DLBW_BPS 1500000000\n"},
        {"far beyond, unsigned", nullptr, UINT64_MAX, E_INVALIDARG, 0, kBad + "18446744073709 mbps",
         "[G 3, ap 90.91/90.91] SetNetworkLimits() - BAD DLBW: i64BandwidthDown "
         "18446744073709551615 >= INVALID_DLBW_BPS 1500000000\n"},
        {"prepare raises", Raise("PrepareLimitChange", E_FAIL), 80000000, E_FAIL, 2,
         kException + "-2147467259, gateway=3"},
        {"set raises", Raise("SetGatewayLimits", RPC_S_SERVER_UNAVAILABLE_HR), 80000000,
         RPC_S_SERVER_UNAVAILABLE_HR, 3, kException + "-2147023174, gateway=3"},
        {"set fails unraised", Raise("SetGatewayLimits", E_UNEXPECTED, false), 80000000,
         E_UNEXPECTED, 3, kException + "-2147418113, gateway=3"},
        {"bandwidth changed in the service", [](ServiceState& s) { s.gateways[0].downloadBps = 1; },
         80000000, E_UNEXPECTED, 1, kInvalid + "-2147467259"},
        {"validation cannot read", Raise("GetNetworkInfoList", RPC_S_SERVER_UNAVAILABLE_HR),
         80000000, E_UNEXPECTED, 1, kInvalid + "-2147023174"},
        {"configuration unbound", [](ServiceState&) { g_pIConfigurationManager.reset(); }, 80000000,
         E_FAIL, 0, kUnbound},
        {"network unbound", [](ServiceState&) { g_pINetworkManager.reset(); }, 80000000, E_FAIL, 0,
         kUnbound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(InitTarnelHelper(), S_OK);  // binds again what a case dropped
        S().answers.clear();
        S().gateways[0].downloadBps = 100000000;
        slot_.lastDownloadLimitBps = 100000000;
        slot_.lastDownloadLimitMbps = 0;
        if (c.script) c.script(S());
        S().calls.clear();
        S().limitCalls.clear();
        console_.clear();
        EXPECT_EQ(SetNetworkLimits(slot_, 1500000, c.down), c.expected);
        EXPECT_EQ(S().calls, Lines(kCalls.begin(), kCalls.begin() + c.calls));
        EXPECT_EQ(Log().back(), c.lastLine);
        EXPECT_EQ(console_.text(), c.console);
        const bool changed = SUCCEEDED(c.expected);
        EXPECT_EQ(slot_.lastDownloadLimitBps, changed ? c.down : 100000000u);
        EXPECT_TRUE(changed || slot_.lastDownloadLimitMbps == 0.0);
        if (c.calls == 3) {
            const fake::LimitCall& sent = S().limitCalls.back();
            EXPECT_EQ(std::tie(sent.mac, sent.uploadBps, sent.downloadBps),
                      std::make_tuple(std::wstring(kMacA), int64_t{1500000}, int64_t(c.down)));
        }
    }
}

TEST_F(Limits, TrafficListsKeepOnlyTheSlotsDevices) {
    S().processes = {{L"a", 10, 1, 2}, {L"b", 20, 3, 4}, {L"c", 11, 5, 6}, {L"a", 10, 7, 8}};
    using Edit = std::function<void(TrafficListArrays&)>;
    auto replace = [](size_t k, auto values) -> Edit {
        return [=](TrafficListArrays& r) { r[k] = SafeArray(values); };
    };
    using I32 = std::vector<int32_t>;
    using I64 = std::vector<int64_t>;
    struct Case {
        const char* name;
        Edit edit;
        std::wstring list;  // names and counters read; empty: E_INVALIDARG when edited
        std::vector<int32_t> devices = {10, 11};
    };
    const Case cases[] = {
        {"the slot's devices", nullptr, L"a12c56a78"},
        {"no devices", nullptr, L"", {}},
        {"another gateway's device", nullptr, L"b34", {20}},
        {"up to the shorter device array", replace(4, I32{10, 20}), L"a12"},
        {"up to the shorter upload array", replace(6, I64{1, 3, 5}), L"a12c56"},
        {"ninth and tenth unread",
         [](TrafficListArrays& a) { a[8] = a[9] = SafeArray::OfOtherType(); }, L"a12c56a78"},
        {"short name array", replace(0, std::vector<std::wstring>{L"a"}), L""},
        {"short download array", replace(7, I64{2}), L""},
        {"an unread array of another type", replace(3, I32{0, 0, 0, 0}), L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        S().editProcesses = c.edit;
        slot_.deviceIDs = c.devices;
        std::vector<ListEntry> list{{L"kept", 0, 0}};  // what was there before stays
        const bool broken = c.edit && c.list.empty();
        EXPECT_EQ(GetTLists(slot_, &list, &IRulesManager::GetProcessList),
                  broken ? E_INVALIDARG : S_OK);
        std::wstring text;
        for (const ListEntry& e : list) {
            text += e.name + std::to_wstring(e.upload) + std::to_wstring(e.download);
        }
        EXPECT_EQ(text, L"kept00" + c.list);
        EXPECT_EQ(broken ? Log().back() : "",
                  broken ? "<ERROR>:GetTLists() - EXCEPTION, hr = -2147024809" : "");
    }
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
}

TEST_F(Limits, DownloadRateFromProcessAndDomainTotals) {
    fake::ManualClock clock;
    slot_.deviceIDs = {10, 11};
    S().processes = {{L"p", 10, 0, 0}, {L"elsewhere", 20, 0, 99000000}};
    S().domains = {{L"p", 11, 0, 0}};  // a process and a domain are counted apart
    const std::string kTotals = "<ERROR>:GetTarnelBWTotalS() - ";
    struct Step {
        double seconds;           // since the previous step
        int64_t process, domain;  // cumulative download counters, bits
        double mmaBefore;         // written into the slot first unless < 0
        double mbps, mma, processOnly;
        uint64_t lastCombined;
        Script fail = nullptr;
        HRESULT hr = S_OK;
        std::string why = "";  // the totals' line, before the code
    };
    const Step steps[] = {
        {0, 4000000, 1000000, 7.0, 0, 0, 0, 5000000},  // the first read sets the base
        {2, 10000000, 5000000, 2.0, 5.0, 3.0, 3.0, 15000000},
        {1, 10000000, 5000000, -1, 0, 2.0, 0, 15000000},
        {1, 12000000, 5000000, -1, 0, 2.0, 0, 0, Raise("GetDomainList", E_FAIL), E_FAIL,
         "GetTLists(...GetDomainList()) failed hr = "},
        {1, 12000000, 5000000, -1, 0, 2.0, 0, 0,
         Raise("GetProcessList", RPC_S_SERVER_UNAVAILABLE_HR), RPC_S_SERVER_UNAVAILABLE_HR,
         "GetTLists(...GetProcessList()) failed hr = "},
        {1, 12000000, 5000000, -1, 0, 2.0, 0, 0, [](ServiceState&) { g_pIRulesManager.reset(); },
         E_FAIL, "pIRulesManager is NULL! "},
        // After a failure the whole accumulated total counts against one interval.
        {2, 12000000, 5000000, -1, 8.5, 12.5 / 3, 6.0, 17000000},
        {1, 1000000, 5000000, -1, 1.0, 28.0 / 9, 1.0, 18000000},  // restart: all new
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(InitTarnelHelper(), S_OK);  // binds again what a step dropped
        clock.AdvanceSeconds(step.seconds);
        S().processes[0].download = step.process;
        S().domains[0].download = step.domain;
        S().answers.clear();
        if (step.fail) step.fail(S());
        if (step.mmaBefore >= 0) slot_.mbps_MMA = step.mmaBefore;
        MarkLog();
        EXPECT_EQ(GetInternetDownloadStats(slot_), step.hr);
        EXPECT_DOUBLE_EQ(slot_.mbps, step.mbps);
        EXPECT_DOUBLE_EQ(slot_.processDomainMbps, step.mbps);
        EXPECT_DOUBLE_EQ(slot_.mbps_MMA, step.mma);
        EXPECT_DOUBLE_EQ(slot_.processOnlyMbps, step.processOnly);
        EXPECT_EQ(slot_.lastCombinedTotal, step.lastCombined);
        const std::string code = std::to_string(step.hr);
        Lines failed = {
            kTotals + step.why + code,
            "<ERROR>:GetInternetDownloadStats: GetTarnelBWTotals() FAILED, hr = " + code};
        // A list that fails says so itself first.
        if (step.why.starts_with("GetTLists")) {
            failed.insert(failed.begin(), "<ERROR>:GetTLists() - EXCEPTION, hr = " + code);
        }
        EXPECT_EQ(LogSinceMark(), step.fail ? failed : Lines{});
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
