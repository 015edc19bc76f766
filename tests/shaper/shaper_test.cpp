// The shaper logic against the in-memory service and interface table (the MAC
// lookup also against the kernel's, in a namespace): binding, discovery,
// validation, limit changes, and the traffic totals and rates.
#include "shaper/gateways.h"

#include <net/if.h>

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
#include "support/veth_namespace.h"

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

// The lines of a log, one text.
std::string Joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

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
        console_.clear();
    }
    IfTable iftable_;
    test::ConsoleCapture console_;
};

// Binding: each failing step, what stays bound, and binding afresh once the
// service behaves.
using Binding = Gateways;

TEST_F(Binding, StopsAtTheFailingStepWithItsMessage) {
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
        const std::string object = expected == "-----"   ? "g_pIBandwidthControlManager."
                                   : expected == "B----" ? "g_pIBandwidthControlManager->"
                                                         : "g_pIFactoryManager->";
        EXPECT_EQ(Log().back(), "<DEBUG>:InitTarnelHelper: " + object + method + "() failed");
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
        {"102-0-0-0-0-1", 2},       // the low byte of each part's number
        {"02-00-00-00-00-02", 3},   // IPv6 alone answers too
        {"02-00-00-00-00-03", 5},   // the first row with IP on
        {"02:00:00:00:00:01", 6},   // one part, its leading digits: one byte
        {"--ab-CD-", 7},            // empty parts are no parts
        {"zz-00-00-00-00-00", -1},  // not a hexadecimal number
        {"", -1},
        {"00-00-00-00-00-00", 1},
        {"01-02-03-04-05-06-07-08", 8},
        {"00-00-00-00-00", -1},
    };
    for (const auto& [text, index] : cases) EXPECT_EQ(GetIfIndexFromMAC(text), index) << text;
    EXPECT_EQ(console_.text(), "");

    const uint8_t one = 2;
    EXPECT_EQ(GetIfIndexFromMAC(&one, 1), 6);
    // Bad arguments, then the table's failures (-1: out of memory): -1 and a console line.
    const std::string kNoMemory =
        "GetIfIndexFromMAC - no memory needed to call GetIfTable - sizeof(MIB_IFTABLE)";
    const std::tuple<std::function<int32_t()>, int, std::string> failures[] = {
        {[] { return GetIfIndexFromMAC("01-02-03-04-05-06-07-08-09"); }, 0, ", 9"},
        {[] { return GetIfIndexFromMAC(nullptr, 6); }, 0, "(nil), 6"},
        {[&one] { return GetIfIndexFromMAC(&one, 0); }, 0, ", 0"},
        {nullptr, 5, "GetIfIndexFromMAC - GetIfTable failed with error: 5"},
        {nullptr, ENOMEM, kNoMemory},
        {nullptr, -1, kNoMemory},
    };
    for (const auto& [call, error, end] : failures) {
        iftable_.error = error;
        console_.clear();
        EXPECT_EQ(call ? call() : GetIfIndexFromMAC("02-00-00-00-00-01"), -1);
        EXPECT_TRUE(!call || console_.text().starts_with("GetIfIndexFromMAC - bad args: "));
        EXPECT_TRUE(console_.text().ends_with(end)) << console_.text();
    }
}

// The kernel's interface table, read by the real platform layer.
class MacLookupInNamespace : public test::VethNamespace {};

TEST_F(MacLookupInNamespace, FindsEachLinkByItsAddressText) {
    const uint32_t lo = ::if_nametoindex("lo");
    const std::pair<const char*, int32_t> macs[] = {
        {"02-53-41-4E-44-01", static_cast<int32_t>(veth0_)},
        {"02-53-41-4e-44-02", static_cast<int32_t>(veth1_)},
        {"02-53-41-4E-44-03", -1},
        {"02:53:41:4E:44:01", -1},  // one part, one byte: no such link
        {"00-00-00-00-00-00", static_cast<int32_t>(lo)},
    };
    for (const auto& [text, index] : macs) EXPECT_EQ(GetIfIndexFromMAC(text), index) << text;
}

TEST_F(Gateways, DiscoveryFillsSlotsLogsEachStepAndOnlyAddsInterfaces) {
    S().gateways = {{kMacA, 3, 20000000, 100000000}, {kMacB, -1, -1, -1}};
    S().interfaces = {
        {L"02-00-00-00-01-01", 10, 3}, {L"02-00-00-00-01-02", 11, 7}, {L"02-03", 12, 3}};
    iftable_.links = {{4, {2, 0, 0, 0, 1, 1}, false, false},  // no IP on: not the answer
                      {5, {2, 0, 0, 0, 1, 1}, true, false}};
    EXPECT_EQ(BindAndDiscover(), S_OK);

    const IspCtx& a = gIspCtx[0];
    EXPECT_EQ(
        std::tie(a.G, a.initialAperture, a.DownloadRecoveryBW, a.initialUploadMbps),
        std::make_tuple(3, a.aperture, a.aperture, a.uploadMbps));  // the reports start from these
    EXPECT_EQ(a.maxAperture, kMaxGrowthAperture);                   // the registry allows growth
    // A bad gateway fills its slot too, but gets no interfaces; "not set" is 1500 mbps.
    EXPECT_EQ(std::tie(gIspCtx[1].G, gIspCtx[1].TargetIfIndex), std::make_tuple(-1, -1));

    EXPECT_EQ(Joined(Log()),
              R"(<DEBUG>:GetGatewayIDs() - GetNetworkInfoList(): Gateway IDs [0] [count 2] ID=3
<DEBUG>:GetGatewayIDs() - GetNetworkInfoList(): BW DOWN [0] [count 2] BW=100000000
<DEBUG>:GetGatewayIDs() - GetNetworkInfoList(): Gateway IDs [1] [count 2] ID=-1
<DEBUG>:GetGatewayIDs() - GetNetworkInfoList(): BW DOWN [1] [count 2] BW=-1
<DEBUG>:GetGatewayIDs() - gTarnelGatewaysFingerprint = Gateways: 3 -1
<DEBUG>:ValidateGateways: GOOD GATEWAY [i=0] ID=3
<ERROR>:ValidateGateways: BAD GATEWAY [i=1] ID=-1
<DEBUG>:DiscoverGateways() - RESULT [i = 0] Gateway ID = 3, MAC = 02-00-00-00-00-0A
<DEBUG>:DiscoverGateways() - TARNEL-SYNC: [G 3] Download BW=90.9091, Upload BW=20, lastTarnelSet=100000000
<DEBUG>:DiscoverGateways() - Update Constraints: [G 3] floor 63.6364 mbps, recovery 90.9091 mbps, JTF 81.8182
<DEBUG>:DiscoverGateways() - RESULT [i = 1] Gateway ID = -1, MAC = 02-00-00-00-00-0B
<DEBUG>:DiscoverGateways() - TARNEL-SYNC: [G -1] Download BW=1363.64, Upload BW=1500, lastTarnelSet=1500000000
<DEBUG>:DiscoverGateways() - Update Constraints: [G -1] floor 954.545 mbps, recovery 1363.64 mbps, JTF 1227.27
<DEBUG>:DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [0] [count 3] ID=3 == 3, for isp = 0
<DEBUG>:DiscoverGateways-GetNetworkInterfaceList: Adding DEVICE ID 10, to isp 0
<DEBUG>:[G 3] DiscoverGateways-GetNetworkInterfaceList: Found MAC:02-00-00-00-01-01 in IFTable. SET TargetIfIndex = 5
<DEBUG>:DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [1] [count 3] ID=7 != 3
<DEBUG>:DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [2] [count 3] ID=3 == 3, for isp = 0
<DEBUG>:DiscoverGateways-GetNetworkInterfaceList: Adding DEVICE ID 12, to isp 0)");
    EXPECT_EQ(console_.text(),
              "\n[G 3] Sync with Corvane Control Center - Download BW: 90.909091 mbps, Upload BW: "
              "20.000000 mbps\n[G 3] Update Constraints: floor 63.64 mbps, recovery 90.91, JTF "
              "81.82\n\n[G -1] Sync with Corvane Control Center - Download BW: 1363.636364 mbps, "
              "Upload BW: 1500.000000 mbps\n[G -1] Update Constraints: floor 954.55 mbps, "
              "recovery 1363.64, JTF 1227.27\n");

    // Discovered again: device IDs are added once more; the interface index
    // and the adapter's MAC, once known, stay.
    EXPECT_EQ(a.deviceIDs, (std::vector<int32_t>{10, 12}));
    EXPECT_EQ(a.adapterMAC, L"02-00-00-00-01-01");
    gIspCtx[0].adapterMAC = L"kept";
    EXPECT_EQ(DiscoverGateways(), S_OK);
    EXPECT_EQ(a.deviceIDs, (std::vector<int32_t>{10, 12, 10, 12}));
    EXPECT_EQ(std::tie(a.TargetIfIndex, a.adapterMAC, iftable_.reads),
              std::make_tuple(5, std::wstring(L"kept"), 1));
    // Without device IDs the interface pass reads nothing.
    ReinitIspContexts();
    S().editInterfaces = [](NetworkInterfaceArrays& r) {
        r[2] = SafeArray(std::vector<int32_t>{});
    };
    MarkLog();
    EXPECT_EQ(DiscoverGateways(), S_OK);
    EXPECT_TRUE(gIspCtx[0].deviceIDs.empty());
    for (const std::string& line : LogSinceMark()) {
        EXPECT_EQ(line.find("GetNetworkInterfaceList"), std::string::npos) << line;
    }
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
    const std::string kFailed = "DiscoverGateways: GetGatewayIDs() failed hr = ";
    const std::string kRelease = ", releasing g_pINetworkManager";
    const std::string kException = "<ERROR>:DiscoverGateways: EXCEPTION ";
    struct Case {
        const char* name;
        Script script;
        HRESULT expected;
        std::string lastLine, console;  // console empty: the network manager is kept
    };
    const Case cases[] = {
        {"no gateway", [](ServiceState& s) { s.gateways.clear(); }, E_UNEXPECTED,
         kException + "-2147418113", ""},
        {"only bad gateways", [](ServiceState& s) { s.gateways[0].id = s.gateways[1].id = -2; },
         E_UNEXPECTED, kException + "-2147418113", ""},
        {"info list raises", Raise("GetNetworkInfoList", RPC_S_SERVER_UNAVAILABLE_HR),
         RPC_S_SERVER_UNAVAILABLE_HR, "<ERROR>:" + kFailed + "-2147023174" + kRelease,
         kFailed + "0x800706ba" + kRelease + "\n"},
        {"unread info array of another type", InfoArray(8, SafeArray::OfOtherType()), E_INVALIDARG,
         "<ERROR>:" + kFailed + "-2147024809" + kRelease, kFailed + "0x80070057" + kRelease + "\n"},
        {"short upload array", InfoArray(6, SafeArray(std::vector<int64_t>{1})), E_INVALIDARG,
         "<ERROR>:" + kFailed + "-2147024809" + kRelease, kFailed + "0x80070057" + kRelease + "\n"},
        {"interface list raises", Raise("GetNetworkInterfaceList", E_FAIL), E_FAIL,
         kException + "-2147467259", ""},
        {"short device array",
         [](ServiceState& s) {
             s.editInterfaces = [](NetworkInterfaceArrays& a) {
                 a[2] = SafeArray(std::vector<int32_t>{10});
             };
         },
         E_INVALIDARG, kException + "-2147024809", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.script);
        EXPECT_EQ(BindAndDiscover(), c.expected);
        EXPECT_EQ(Log().back(), c.lastLine);
        EXPECT_EQ(console_.text().find(kFailed) == std::string::npos ? "" : console_.text(),
                  c.console);
        EXPECT_EQ(AnyShaperInterfaceUnbound(), !c.console.empty());  // released to rebind
    }
    EXPECT_TRUE(Logged("<ERROR>:GetGatewayIDs: EXCEPTION -2147024809"));
    EXPECT_TRUE(
        Logged("<ERROR>:ValidateGateways: No valid gateway detected! (throw E_UNEXPECTED)"));
    // An ID array shorter than the downloads: the gateways with both are found.
    Restart(InfoArray(2, SafeArray(std::vector<int32_t>{3})));
    EXPECT_EQ(BindAndDiscover(), S_OK);
    EXPECT_EQ(gGatewayList.ids, std::vector<int32_t>{3});
    g_pINetworkManager.reset();
    EXPECT_EQ(DiscoverGateways(), E_FAIL);
    EXPECT_EQ(GetGatewayIDs(nullptr), E_FAIL);
}

TEST_F(Gateways, ValidationComparesWithWhatWasDiscovered) {
    const std::string kV = "<DEBUG>:ValidateDLBWForISPsInternal: ";
    const std::string kException = "<ERROR>:ValidateDLBWForISPsInternal: EXCEPTION ";
    const std::string kPrint = kV + "Gateway Fingerprint *MISMATCH*: now [Gateways: ";
    const std::string kCount = "\n" + kV + "Detected Valid Gateways ";
    struct Case {
        const char* name;
        Script change;  // after discovery
        HRESULT expected;
        std::string active;  // slots 0 and 1 afterwards
        std::string lines;   // exactly what validation logs
    };
    const Case cases[] = {
        {"unchanged", [](ServiceState&) {}, S_OK, "11", ""},
        {"the service's success code", Raise("GetNetworkInfoList", 1), 1, "11", ""},
        {"download changed", [](ServiceState& s) { s.gateways[1].downloadBps = 5; }, E_FAIL, "11",
         kV + "[i=1], [isp=1] [G 7] DLBW 5 != 50000000"},
        {"a mismatch ends the scan, so the rest looks gone",
         [](ServiceState& s) { s.gateways[0].downloadBps = 5; }, E_FAIL, "10",
         kV + "[i=0], [isp=0] [G 3] DLBW 5 != 100000000\n" + kPrint +
             "3] != prev disco [Gateways: 3 7]" + kCount + "1 != previously detected value 2"},
        {"gateway MAC changed", [](ServiceState& s) { s.gateways[1].mac = L"02-99"; }, E_FAIL, "11",
         "<ERROR>:ValidateDLBWForISPsInternal: [i=1], [isp=1] [G 7] gatewayMAC 02-99 != "
         "02-00-00-00-00-0B"},
        {"download not set any more", [](ServiceState& s) { s.gateways[1].downloadBps = -1; },
         E_FAIL, "10",
         kV + "[i=1], [isp=1] [G 7] DLBW 1500000000 is INVALID!\n" + kV +
             "[i=1], [isp=1] [G 7] DLBW 1500000000 != 50000000"},
        {"not set at discovery: valid, inactive",
         [](ServiceState& s) {
             s.gateways[0].downloadBps = -1;
             DiscoverGateways();
             gIspCtx[0].active = 1;
         },
         S_OK, "01", kV + "[i=0], [isp=0] [G 3] DLBW 1500000000 is INVALID!"},
        {"no bandwidth, and a slot without a limit is not matched",
         [](ServiceState& s) {
             s.gateways = {{kMacA, 3, 1, 0}};
             DiscoverGateways();
         },
         E_FAIL, "00", kV + "Error! No VALID Gateways with VALID DLBW"},
        {"a gateway came",
         [](ServiceState& s) {
             s.gateways.push_back({L"02-0C", 9, 1, 1});
         },
         E_FAIL, "11",
         kPrint + "3 7 9] != prev disco [Gateways: 3 7]" + kCount +
             "3 != previously detected value 2"},
        {"info list raises", Raise("GetNetworkInfoList", E_UNEXPECTED), E_UNEXPECTED, "00",
         kException + "-2147418113"},
        {"unread info array missing", InfoArray(3, SafeArray()), E_INVALIDARG, "00",
         kException + "-2147024809"},
        {"short MAC array", InfoArray(0, SafeArray(std::vector<std::wstring>{kMacA})), E_INVALIDARG,
         "11", kException + "-2147024809"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        ASSERT_EQ(BindAndDiscover(), S_OK);
        c.change(S());
        const std::string fingerprint = gTarnelGatewaysFingerprint;
        MarkLog();
        EXPECT_EQ(ValidateDLBWForISPs(), c.expected);
        EXPECT_EQ(Joined(LogSinceMark()), c.lines);
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
