// The shaper logic against the in-memory service and interface table:
// binding, discovery, validation, limit changes, and the traffic totals and rates.
#include "shaper/gateways.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "platform/route.h"
#include "shaper/binding.h"
#include "shaper/fake_service.h"
#include "shaper/limits.h"
#include "shaper/mac_lookup.h"
#include "support/fake_clock.h"

namespace {

using fake::ServiceState;
using Lines = std::vector<std::string>;
using fake::Raise;
using fake::Script;

// The interface table that the tests install in place of the kernel's: each
// link's index, address and families on.
class IfTable : public platform::RouteSource {
  public:
    struct Link {
        uint32_t index;
        std::vector<uint8_t> address;
        bool inet, inet6;
    };
    IfTable() { platform::SetRouteSourceForTest(this); }
    ~IfTable() override { platform::SetRouteSourceForTest(nullptr); }

    int GetIfTable(std::vector<platform::IfRow>* table) override {
        ++reads;
        if (error < 0) throw std::bad_alloc();
        for (const Link& link : links) {
            platform::IfRow row{link.index, static_cast<uint32_t>(link.address.size()), {}};
            std::copy(link.address.begin(), link.address.end(), row.physAddr);
            table->push_back(row);
        }
        return error;
    }
    int GetIpInterfaceEntry(platform::IpInterfaceEntry* entry) override {
        for (const Link& l : links) {
            if (l.index != entry->interfaceIndex) continue;
            return (entry->family == platform::AddressFamily::Inet ? l.inet : l.inet6) ? 0 : ENOENT;
        }
        return ENODEV;
    }

    std::vector<Link> links;
    int error = 0;  // < 0: out of memory
    int reads = 0;
};

constexpr const wchar_t* kMacA = L"02-00-00-00-00-0A";
constexpr const wchar_t* kMacB = L"02-00-00-00-00-0B";

Script InfoArray(size_t k, const SafeArray& a) {
    return [=](ServiceState& s) { s.editNetworkInfo = [=](NetworkInfoArrays& r) { r[k] = a; }; };
}

class Gateways : public fake::ServiceTest {
  protected:
    HRESULT BindAndDiscover() {
        EXPECT_EQ(InitTarnelHelper(), S_OK);
        return DiscoverGateways();
    }
    // A fresh service with gateways 3 and 7, nothing bound, slots re-initialised.
    void Restart(const Script& script = nullptr) {
        ResetShaperForTest();
        ReinitIspContexts();
        *service_.state = ServiceState{};
        S().gateways = {{kMacA, 3, 10000000, 100000000}, {kMacB, 7, 10000000, 50000000}};
        S().interfaces = {{kMacA, 10, 3}, {kMacB, 11, 3}};
        if (script) script(S());
    }
    IfTable iftable_;
};

// Binding: each failing step, what stays bound, and binding afresh once the
// service behaves.
using Binding = Gateways;

TEST_F(Binding, StopsAtTheFailingStep) {
    // The method, its answer (0: an empty pointer), whether it raises, and the
    // pointers bound afterwards: Bandwidth control, Factory, Network, Configuration, Rules.
    const std::tuple<std::string, HRESULT, bool, std::string> cases[] = {
        {"CreateInstance", E_FAIL, false, "-----"},
        {"CreateInstance", 0, true, "-----"},
        {"Initialize", E_UNEXPECTED, true, "B----"},
        {"Initialize", E_FAIL, false, "B----"},
        {"GetFactoryManager", 0, true, "B----"},
        {"GetNetworkManager", RPC_S_SERVER_UNAVAILABLE_HR, true, "BF---"},
        {"GetConfigurationManager", 0, true, "BFN--"},
        {"GetRulesManager", E_FAIL, false, "BFNC-"},
    };
    auto bound = [] {
        return std::string{g_pIBandwidthControlManager ? 'B' : '-', g_pIFactoryManager ? 'F' : '-',
                           g_pINetworkManager ? 'N' : '-', g_pIConfigurationManager ? 'C' : '-',
                           g_pIRulesManager ? 'R' : '-'};
    };
    for (const auto& [method, hr, raise, expected] : cases) {
        SCOPED_TRACE(method + " " + std::to_string(hr));
        Restart([&](ServiceState& s) {
            if (hr == 0) s.nullInterfaces.insert(method);
            if (hr != 0) s.answers[method] = {hr, raise};
        });
        EXPECT_EQ(InitTarnelHelper(), E_FAIL);
        EXPECT_EQ(bound(), expected);
        // Once the service behaves, the next call binds everything afresh.
        *service_.state = ServiceState{};
        EXPECT_EQ(InitTarnelHelper(), S_OK);
        EXPECT_EQ(bound(), "BFNCR");
    }

    // Bound: Initialize's own success code; then nothing is called again.
    Restart([](ServiceState& s) { s.answers["Initialize"] = {1, true}; });
    EXPECT_EQ(InitTarnelHelper(), 1);
    EXPECT_EQ(InitTarnelHelper(), S_OK);
    EXPECT_EQ(S().calls.size(), 6u);
    g_pIFactoryManager.reset();  // not part of the binding test
    EXPECT_FALSE(AnyShaperInterfaceUnbound());
}

using MacLookup = Gateways;

TEST_F(MacLookup, ByTextAndBytes) {
    iftable_.links = {
        {1, {0, 0, 0, 0, 0, 0}, true, true},  {2, {2, 0, 0, 0, 0, 1}, true, false},
        {3, {2, 0, 0, 0, 0, 2}, false, true}, {4, {2, 0, 0, 0, 0, 3}, false, false},
        {5, {2, 0, 0, 0, 0, 3}, true, false}, {6, {2}, true, false},
        {7, {0xAB, 0xCD}, true, false},       {8, {1, 2, 3, 4, 5, 6, 7, 8}, true, false}};
    const std::pair<std::string, int32_t> cases[] = {
        {"02-00-00-00-00-01", 2},
        {"102-0-0-0-0-1", 2},      // the low byte of each part's number
        {"02-00-00-00-00-02", 3},  // IPv6 alone answers too
        {"02-00-00-00-00-03", 5},  // the first row with IP on
        {"02:00:00:00:00:01", 6},  // one part, its leading digits: one byte
        {"--ab-CD-", 7},           // empty parts are no parts
        {"", -1},
        {"00-00-00-00-00-00", 1},
        {"00-00-00-00-00", -1},
    };
    for (const auto& [text, index] : cases) EXPECT_EQ(GetIfIndexFromMAC(text), index) << text;

    const uint8_t one = 2;
    EXPECT_EQ(GetIfIndexFromMAC(&one, 1), 6);
    // Bad arguments, then a table that cannot be read (-1: out of memory).
    EXPECT_EQ(GetIfIndexFromMAC("01-02-03-04-05-06-07-08-09"), -1);
    EXPECT_EQ(GetIfIndexFromMAC(nullptr, 6), -1);
    EXPECT_EQ(GetIfIndexFromMAC(&one, 0), -1);
    for (int error : {5, ENOMEM, -1}) {
        iftable_.error = error;
        EXPECT_EQ(GetIfIndexFromMAC("02-00-00-00-00-01"), -1) << error;
    }
}

TEST_F(Gateways, DiscoveryFillsSlotsAndOnlyAddsInterfaces) {
    S().gateways = {{kMacA, 3, 20000000, 100000000}, {kMacB, -1, -1, -1}};
    S().interfaces = {
        {L"02-00-00-00-01-01", 10, 3}, {L"02-00-00-00-01-02", 11, 7}, {L"02-03", 12, 3}};
    iftable_.links = {{4, {2, 0, 0, 0, 1, 1}, false, false},  // no IP on: not the answer
                      {5, {2, 0, 0, 0, 1, 1}, true, false}};
    EXPECT_EQ(BindAndDiscover(), S_OK);

    const IspCtx& a = gIspCtx[0];
    EXPECT_EQ(std::tie(a.G, a.TargetIfIndex, a.initialAperture, a.DownloadRecoveryBW,
                       a.initialUploadMbps),
              std::make_tuple(3, 5, a.aperture, a.aperture, a.uploadMbps));
    EXPECT_NEAR(a.aperture, 100 / 1.1, 1e-9);
    EXPECT_NEAR(a.floor, 70 / 1.1, 1e-9);
    EXPECT_EQ(a.uploadMbps, 20);
    EXPECT_EQ(a.maxAperture, kMaxGrowthAperture);  // the registry allows growth
    // A bad gateway fills its slot too, but gets no interfaces; "not set" is 1500 mbps.
    EXPECT_EQ(std::tie(gIspCtx[1].G, gIspCtx[1].TargetIfIndex), std::make_tuple(-1, -1));
    EXPECT_NEAR(gIspCtx[1].aperture, 1500 / 1.1, 1e-9);
    EXPECT_EQ(gTarnelGatewaysFingerprint, "Gateways: 3 -1");

    // Discovered again: device IDs are added once more; the interface index
    // and the adapter's MAC, once known, stay.
    EXPECT_EQ(a.deviceIDs, (std::vector<int32_t>{10, 12}));
    EXPECT_EQ(a.adapterMAC, L"02-00-00-00-01-01");
    gIspCtx[0].adapterMAC = L"kept";
    EXPECT_EQ(DiscoverGateways(), S_OK);
    EXPECT_EQ(a.deviceIDs, (std::vector<int32_t>{10, 12, 10, 12}));
    EXPECT_EQ(std::tie(a.TargetIfIndex, a.adapterMAC, iftable_.reads),
              std::make_tuple(5, std::wstring(L"kept"), 1));
}

TEST_F(Gateways, DiscoveryFillsAtMostSixteenSlotsAndFollowsTheRegistry) {
    gAllowUpperLimitGrowth = 0;
    gDownloadFloorFactor = 0.5;
    for (int32_t id = 0; id < 17; ++id) {
        S().gateways.push_back({L"02-" + std::to_wstring(id), id, 1, (id + 1) * 11000000LL});
    }
    EXPECT_EQ(BindAndDiscover(), S_OK);
    EXPECT_TRUE(gTarnelGatewaysFingerprint.ends_with(" 14 15 16"));
    for (size_t g = 0; g < kMaxIsps; ++g) {
        EXPECT_EQ(gIspCtx[g].G, static_cast<int32_t>(g));
        EXPECT_DOUBLE_EQ(gIspCtx[g].aperture, 10.0 * static_cast<double>(g + 1));
        EXPECT_EQ(gIspCtx[g].maxAperture, gIspCtx[g].aperture);
        EXPECT_DOUBLE_EQ(gIspCtx[g].floor, 5.0 * static_cast<double>(g + 1));
    }
    const std::string kResult = "<DEBUG>:DiscoverGateways() - RESULT [i = ";
    EXPECT_TRUE(Logged(kResult + "15] Gateway ID = 15, MAC = 02-15"));
    EXPECT_FALSE(Logged(kResult + "16] Gateway ID = 16, MAC = 02-16"));
}

TEST_F(Gateways, DiscoveryFailuresAndTheirResults) {
    struct Case {
        const char* name;
        Script script;
        HRESULT expected;
        bool released;  // the network manager is dropped, to be bound afresh
    };
    const Case cases[] = {
        {"no gateway", [](ServiceState& s) { s.gateways.clear(); }, E_UNEXPECTED, false},
        {"only bad gateways", [](ServiceState& s) { s.gateways[0].id = s.gateways[1].id = -2; },
         E_UNEXPECTED, false},
        {"info list raises", Raise("GetNetworkInfoList", RPC_S_SERVER_UNAVAILABLE_HR),
         RPC_S_SERVER_UNAVAILABLE_HR, true},
        {"unread info array of another type", InfoArray(8, SafeArray::OfOtherType()), E_INVALIDARG,
         true},
        {"short upload array", InfoArray(6, SafeArray(std::vector<int64_t>{1})), E_INVALIDARG,
         true},
        {"interface list raises", Raise("GetNetworkInterfaceList", E_FAIL), E_FAIL, false},
        {"short device array",
         [](ServiceState& s) {
             s.editInterfaces = [](NetworkInterfaceArrays& a) {
                 a[2] = SafeArray(std::vector<int32_t>{10});
             };
         },
         E_INVALIDARG, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.script);
        EXPECT_EQ(BindAndDiscover(), c.expected);
        EXPECT_EQ(AnyShaperInterfaceUnbound(), c.released);
    }
    // An ID array shorter than the downloads: the gateways with both are found.
    Restart(InfoArray(2, SafeArray(std::vector<int32_t>{3})));
    EXPECT_EQ(BindAndDiscover(), S_OK);
    EXPECT_EQ(gGatewayList.ids, std::vector<int32_t>{3});
    g_pINetworkManager.reset();
    EXPECT_EQ(DiscoverGateways(), E_FAIL);
    EXPECT_EQ(GetGatewayIDs(nullptr), E_FAIL);
}

TEST_F(Gateways, ValidationComparesWithWhatWasDiscovered) {
    struct Case {
        const char* name;
        Script change;  // after discovery
        HRESULT expected;
        std::string active;  // slots 0 and 1 afterwards
    };
    const Case cases[] = {
        {"unchanged", [](ServiceState&) {}, S_OK, "11"},
        {"the service's success code", Raise("GetNetworkInfoList", 1), 1, "11"},
        {"download changed", [](ServiceState& s) { s.gateways[1].downloadBps = 5; }, E_FAIL, "11"},
        {"a mismatch ends the scan, so the rest looks gone",
         [](ServiceState& s) { s.gateways[0].downloadBps = 5; }, E_FAIL, "10"},
        {"gateway MAC changed", [](ServiceState& s) { s.gateways[1].mac = L"02-99"; }, E_FAIL,
         "11"},
        {"not set at discovery: valid, inactive",
         [](ServiceState& s) {
             s.gateways[0].downloadBps = -1;
             DiscoverGateways();
             gIspCtx[0].active = 1;
         },
         S_OK, "01"},
        {"no bandwidth, and a slot without a limit is not matched",
         [](ServiceState& s) {
             s.gateways = {{kMacA, 3, 1, 0}};
             DiscoverGateways();
         },
         E_FAIL, "00"},
        {"a gateway came",
         [](ServiceState& s) {
             s.gateways.push_back({L"02-0C", 9, 1, 1});
         },
         E_FAIL, "11"},
        {"info list raises", Raise("GetNetworkInfoList", E_UNEXPECTED), E_UNEXPECTED, "00"},
        {"short MAC array", InfoArray(0, SafeArray(std::vector<std::wstring>{kMacA})), E_INVALIDARG,
         "11"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        ASSERT_EQ(BindAndDiscover(), S_OK);
        c.change(S());
        const std::string fingerprint = gTarnelGatewaysFingerprint;
        EXPECT_EQ(ValidateDLBWForISPs(), c.expected);
        EXPECT_EQ(std::to_string(gIspCtx[0].active) + std::to_string(gIspCtx[1].active), c.active);
        EXPECT_EQ(gTarnelGatewaysFingerprint, fingerprint);  // validation only compares
    }
    g_pINetworkManager.reset();
    EXPECT_EQ(ValidateDLBWForISPs(), E_FAIL);
    EXPECT_EQ(ValidateDLBWForISPsInternal(nullptr, gIspCtx, kMaxIsps), E_FAIL);
}

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
};

TEST_F(Limits, ChangesAreBoundCheckedValidatedAndSentOrLeaveTheSlotAlone) {
    const Lines kCalls = {"GetNetworkInfoList", "PrepareLimitChange", "SetGatewayLimits"};
    struct Case {
        const char* name;
        Script script;
        uint64_t down;
        HRESULT expected;
        size_t calls;  // how many of kCalls, in that order
    };
    const Case cases[] = {
        {"set", nullptr, 90909090, S_OK, 3},
        {"the service's success code", Raise("SetGatewayLimits", 1), 45000000, 1, 3},
        {"just below the bound", nullptr, 1499999999, S_OK, 3},
        {"the bound", nullptr, 1500000000, E_INVALIDARG, 0},
        {"far beyond, unsigned", nullptr, UINT64_MAX, E_INVALIDARG, 0},
        {"prepare raises", Raise("PrepareLimitChange", E_FAIL), 80000000, E_FAIL, 2},
        {"set fails unraised", Raise("SetGatewayLimits", E_UNEXPECTED, false), 80000000,
         E_UNEXPECTED, 3},
        {"bandwidth changed in the service", [](ServiceState& s) { s.gateways[0].downloadBps = 1; },
         80000000, E_UNEXPECTED, 1},
        {"validation cannot read", Raise("GetNetworkInfoList", RPC_S_SERVER_UNAVAILABLE_HR),
         80000000, E_UNEXPECTED, 1},
        {"configuration unbound", [](ServiceState&) { g_pIConfigurationManager.reset(); }, 80000000,
         E_FAIL, 0},
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
        EXPECT_EQ(SetNetworkLimits(slot_, 1500000, c.down), c.expected);
        EXPECT_EQ(S().calls, Lines(kCalls.begin(), kCalls.begin() + c.calls));
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

TEST_F(Limits, DownloadRateFromProcessAndDomainTotals) {
    test::FakeClock clock;
    slot_.deviceIDs = {10, 11};
    S().processes = {{L"p", 10, 0, 0}, {L"elsewhere", 20, 0, 99000000}};
    S().domains = {{L"p", 11, 0, 0}};  // a process and a domain are counted apart
    struct Step {
        double seconds;           // since the previous step
        int64_t process, domain;  // cumulative download counters, bits
        double mmaBefore;         // written into the slot first unless < 0
        double mbps, mma, processOnly;
        uint64_t lastCombined;
        Script fail = nullptr;
        HRESULT hr = S_OK;
    };
    const Step steps[] = {
        {0, 4000000, 1000000, 7.0, 0, 0, 0, 5000000},  // the first read sets the base
        {2, 10000000, 5000000, 2.0, 5.0, 3.0, 3.0, 15000000},
        {1, 10000000, 5000000, -1, 0, 2.0, 0, 15000000},
        {1, 12000000, 5000000, -1, 0, 2.0, 0, 0, Raise("GetDomainList", E_FAIL), E_FAIL},
        {1, 12000000, 5000000, -1, 0, 2.0, 0, 0,
         Raise("GetProcessList", RPC_S_SERVER_UNAVAILABLE_HR), RPC_S_SERVER_UNAVAILABLE_HR},
        {1, 12000000, 5000000, -1, 0, 2.0, 0, 0, [](ServiceState&) { g_pIRulesManager.reset(); },
         E_FAIL},
        // After a failure the whole accumulated total counts against one interval.
        {2, 12000000, 5000000, -1, 8.5, 12.5 / 3, 6.0, 17000000},
        {1, 1000000, 5000000, -1, 1.0, 28.0 / 9, 1.0, 18000000},  // restart: all new
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(InitTarnelHelper(), S_OK);  // binds again what a step dropped
        clock.AdvanceMs(static_cast<uint64_t>(step.seconds * 1000));
        S().processes[0].download = step.process;
        S().domains[0].download = step.domain;
        S().answers.clear();
        if (step.fail) step.fail(S());
        if (step.mmaBefore >= 0) slot_.mbps_MMA = step.mmaBefore;
        EXPECT_EQ(GetInternetDownloadStats(slot_), step.hr);
        EXPECT_DOUBLE_EQ(slot_.mbps, step.mbps);
        EXPECT_DOUBLE_EQ(slot_.processDomainMbps, step.mbps);
        EXPECT_DOUBLE_EQ(slot_.mbps_MMA, step.mma);
        EXPECT_DOUBLE_EQ(slot_.processOnlyMbps, step.processOnly);
        EXPECT_EQ(slot_.lastCombinedTotal, step.lastCombined);
    }
}

}  // namespace
