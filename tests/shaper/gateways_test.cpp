// Binding, gateway discovery, the MAC lookup and gateway validation against
// the in-memory service and an in-memory interface table.
#include "shaper/gateways.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "platform/route.h"
#include "shaper/fake_service.h"

namespace {

using fake::ServiceState;
using Lines = std::vector<std::string>;
using Script = std::function<void(ServiceState&)>;

constexpr const wchar_t* kMacA = L"02-00-00-00-00-0A";
constexpr const wchar_t* kMacB = L"02-00-00-00-00-0B";

// An interface table in memory: each link's index, address and families on.
class FakeIfTable : public platform::RouteSource {
  public:
    struct Link {
        uint32_t index;
        std::vector<uint8_t> address;
        bool inet, inet6;
    };
    FakeIfTable() { platform::SetRouteSourceForTest(this); }
    ~FakeIfTable() override { platform::SetRouteSourceForTest(nullptr); }

    int GetIfTable(std::vector<platform::IfRow>* table) override {
        ++reads;
        if (throwBadAlloc) throw std::bad_alloc();
        table->clear();
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
    int error = 0;
    bool throwBadAlloc = false;
    int reads = 0;
};

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
    FakeIfTable iftable_;
    test::ConsoleCapture console_;
};

TEST_F(Gateways, BindingStopsAtTheFailingStepWithItsMessage) {
    // Pointers bound afterwards: Bandwidth control, Factory, Network, Configuration, Rules.
    struct Case {
        std::string method;
        HRESULT hr;  // 0: the method answers an empty pointer
        bool raise;
        std::string failed, bound;
    };
    const Case cases[] = {
        {"CreateInstance", E_FAIL, false, "g_pIBandwidthControlManager.CreateInstance()", "-----"},
        {"CreateInstance", 0, true, "g_pIBandwidthControlManager.CreateInstance()", "-----"},
        {"Initialize", E_UNEXPECTED, true, "g_pIBandwidthControlManager->Initialize()", "B----"},
        {"Initialize", E_FAIL, false, "g_pIBandwidthControlManager->Initialize()", "B----"},
        {"GetFactoryManager", 0, true, "g_pIBandwidthControlManager->GetFactoryManager()", "B----"},
        {"GetNetworkManager", RPC_S_SERVER_UNAVAILABLE_HR, true,
         "g_pIFactoryManager->GetNetworkManager()", "BF---"},
        {"GetConfigurationManager", 0, true, "g_pIFactoryManager->GetConfigurationManager()",
         "BFN--"},
        {"GetRulesManager", E_FAIL, false, "g_pIFactoryManager->GetRulesManager()", "BFNC-"},
    };
    auto bound = [] {
        return std::string{g_pIBandwidthControlManager ? 'B' : '-', g_pIFactoryManager ? 'F' : '-',
                           g_pINetworkManager ? 'N' : '-', g_pIConfigurationManager ? 'C' : '-',
                           g_pIRulesManager ? 'R' : '-'};
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + std::to_string(c.hr));
        Restart([&c](ServiceState& s) {
            if (c.hr == 0) s.nullInterfaces.insert(c.method);
            if (c.hr != 0) s.answers[c.method] = {c.hr, c.raise};
        });
        EXPECT_EQ(InitTarnelHelper(), E_FAIL);
        EXPECT_EQ(Log().back(), "<DEBUG>:InitTarnelHelper: " + c.failed + " failed");
        EXPECT_EQ(bound(), c.bound);
        EXPECT_TRUE(AnyShaperInterfaceUnbound());
        // Once the service behaves, the next call binds everything afresh.
        *service_.state = ServiceState{};
        EXPECT_EQ(InitTarnelHelper(), S_OK);
        EXPECT_EQ(S().CallCount("CreateInstance"), 1u);
        EXPECT_EQ(bound(), "BFNCR");
    }

    // Bound: Initialize's own success code; then nothing is called again.
    Restart([](ServiceState& s) { s.answers["Initialize"] = {1, true}; });
    EXPECT_EQ(InitTarnelHelper(), 1);
    EXPECT_EQ(S().initializeArguments, (std::vector<std::wstring>{L"0,1,0,,"}));
    EXPECT_EQ(S().calls,
              (Lines{"CreateInstance", "Initialize", "GetFactoryManager", "GetNetworkManager",
                     "GetConfigurationManager", "GetRulesManager"}));
    EXPECT_EQ(InitTarnelHelper(), S_OK);
    EXPECT_EQ(S().calls.size(), 6u);
    g_pIFactoryManager.reset();  // not part of the binding test
    EXPECT_FALSE(AnyShaperInterfaceUnbound());
    g_pIRulesManager.reset();
    EXPECT_TRUE(AnyShaperInterfaceUnbound());
}

TEST_F(Gateways, DiscoveryFillsSlotsAndLogsEachStep) {
    S().gateways = {{kMacA, 3, 20000000, 100000000}, {kMacB, -1, -1, -1}};
    S().interfaces = {{L"02-00-00-00-01-01", 10, 3}, {L"02-00-00-00-01-02", 11, 7}};
    iftable_.links = {{5, {2, 0, 0, 0, 1, 1}, true, false}};
    EXPECT_EQ(BindAndDiscover(), S_OK);

    EXPECT_EQ(gTarnelGatewaysFingerprint, "Gateways: 3 -1");
    EXPECT_EQ(gValidGatewayCount, 1);
    EXPECT_EQ(gGatewayList.ids, (std::vector<int32_t>{3, -1}));
    EXPECT_EQ(gGatewayList.downloadBps, (std::vector<uint64_t>{100000000, 1500000000}));
    EXPECT_EQ(gGatewayList.uploadBps, (std::vector<uint64_t>{20000000, 1500000000}));
    EXPECT_EQ(gGatewayList.macTexts, (std::vector<std::wstring>{kMacA, kMacB}));
    const IspCtx& a = gIspCtx[0];
    EXPECT_EQ(a.G, 3);
    EXPECT_DOUBLE_EQ(a.aperture, 90.9090909090909);
    EXPECT_DOUBLE_EQ(a.floor, 63.63636363636363);
    EXPECT_EQ(a.initialAperture, a.aperture);
    EXPECT_EQ(a.DownloadRecoveryBW, a.aperture);
    EXPECT_EQ(a.uploadMbps, 20.0);
    EXPECT_EQ(a.initialUploadMbps, 20.0);
    EXPECT_EQ(a.maxAperture, kMaxGrowthAperture);
    EXPECT_EQ(a.lastDownloadLimitBps, 100000000u);
    EXPECT_EQ(a.gatewayMAC, kMacA);
    EXPECT_EQ(a.deviceIDs, (std::vector<int32_t>{10}));
    EXPECT_EQ(a.TargetIfIndex, 5);
    EXPECT_EQ(a.adapterMAC, L"02-00-00-00-01-01");
    EXPECT_EQ(a.active, 0);        // only validation sets it
    const IspCtx& b = gIspCtx[1];  // a bad gateway fills its slot too; "not set" is 1500 mbps
    EXPECT_EQ(b.G, -1);
    EXPECT_EQ(b.aperture, 1363.6363636363635);
    EXPECT_EQ(b.lastDownloadLimitBps, 1500000000u);
    EXPECT_EQ(b.TargetIfIndex, -1);
    EXPECT_EQ(gIspCtx[2].G, -1);

    const std::string kIds = "<DEBUG>:GetGatewayIDs() - GetNetworkInfoList(): ";
    const std::string kDisco = "<DEBUG>:DiscoverGateways() - ";
    const std::string kIfs = "DiscoverGateways-GetNetworkInterfaceList: ";
    EXPECT_EQ(Log(), (Lines{
                         kIds + "Gateway IDs [0] [count 2] ID=3",
                         kIds + "BW DOWN [0] [count 2] BW=100000000",
                         kIds + "Gateway IDs [1] [count 2] ID=-1",
                         kIds + "BW DOWN [1] [count 2] BW=-1",
                         "<DEBUG>:GetGatewayIDs() - gTarnelGatewaysFingerprint = Gateways: 3 -1",
                         "<DEBUG>:ValidateGateways: GOOD GATEWAY [i=0] ID=3",
                         "<ERROR>:ValidateGateways: BAD GATEWAY [i=1] ID=-1",
                         kDisco + "RESULT [i = 0] Gateway ID = 3, MAC = 02-00-00-00-00-0A",
                         kDisco + "TARNEL-SYNC: [G 3] Download BW=90.9091, Upload BW=20, "
                                  "lastTarnelSet=100000000",
                         kDisco + "Update Constraints: [G 3] floor 63.6364 mbps, recovery 90.9091 "
                                  "mbps, JTF 81.8182",
                         kDisco + "RESULT [i = 1] Gateway ID = -1, MAC = 02-00-00-00-00-0B",
                         kDisco + "TARNEL-SYNC: [G -1] Download BW=1363.64, Upload BW=1500, "
                                  "lastTarnelSet=1500000000",
                         kDisco + "Update Constraints: [G -1] floor 954.545 mbps, recovery "
                                  "1363.64 mbps, JTF 1227.27",
                         "<DEBUG>:" + kIfs + "GATEWAY IDs [0] [count 2] ID=3 == 3, for isp = 0",
                         "<DEBUG>:" + kIfs + "Adding DEVICE ID 10, to isp 0",
                         "<DEBUG>:[G 3] " + kIfs +
                             "Found MAC:02-00-00-00-01-01 in IFTable. SET TargetIfIndex = 5",
                         "<DEBUG>:" + kIfs + "GATEWAY IDs [1] [count 2] ID=7 != 3",
                     }));
    EXPECT_EQ(console_.text(),
              "\n[G 3] Sync with Corvane Control Center - Download BW: 90.909091 mbps, Upload BW: "
              "20.000000 mbps\n[G 3] Update Constraints: floor 63.64 mbps, recovery 90.91, JTF "
              "81.82\n\n[G -1] Sync with Corvane Control Center - Download BW: 1363.636364 mbps, "
              "Upload BW: 1500.000000 mbps\n[G -1] Update Constraints: floor 954.55 mbps, "
              "recovery 1363.64, JTF 1227.27\n");
}

TEST_F(Gateways, DiscoveryFillsAtMostSixteenSlotsAndFollowsTheRegistry) {
    gAllowUpperLimitGrowth = 0;
    gDownloadFloorFactor = 0.5;
    for (int32_t id = 0; id < 17; ++id) {
        S().gateways.push_back({L"02-" + std::to_wstring(id), id, 1, (id + 1) * 11000000LL});
    }
    EXPECT_EQ(BindAndDiscover(), S_OK);
    EXPECT_EQ(gGatewayList.size(), 17u);
    EXPECT_EQ(gValidGatewayCount, 17);
    EXPECT_TRUE(gTarnelGatewaysFingerprint.ends_with(" 14 15 16"));
    for (size_t g = 0; g < kMaxIsps; ++g) {
        EXPECT_EQ(gIspCtx[g].G, static_cast<int32_t>(g));
        EXPECT_DOUBLE_EQ(gIspCtx[g].aperture, 10.0 * static_cast<double>(g + 1));
        EXPECT_EQ(gIspCtx[g].maxAperture, gIspCtx[g].aperture);
        EXPECT_DOUBLE_EQ(gIspCtx[g].floor, 5.0 * static_cast<double>(g + 1));
    }
    EXPECT_TRUE(
        Logged("<DEBUG>:DiscoverGateways() - RESULT [i = 15] Gateway ID = 15, MAC = 02-15"));
    EXPECT_FALSE(
        Logged("<DEBUG>:DiscoverGateways() - RESULT [i = 16] Gateway ID = 16, MAC = 02-16"));
}

TEST_F(Gateways, DiscoveryFailuresAndTheirResults) {
    const std::string kFailed = "DiscoverGateways: GetGatewayIDs() failed hr = ";
    struct Case {
        const char* name;
        Script script;
        HRESULT expected;
        std::string lastLine, console;  // console empty: the network manager is kept
    };
    const Case cases[] = {
        {"no gateway", [](ServiceState& s) { s.gateways.clear(); }, E_UNEXPECTED,
         "<ERROR>:DiscoverGateways: EXCEPTION -2147418113", ""},
        {"only bad gateways", [](ServiceState& s) { s.gateways[0].id = s.gateways[1].id = -2; },
         E_UNEXPECTED, "<ERROR>:DiscoverGateways: EXCEPTION -2147418113", ""},
        {"info list raises",
         [](ServiceState& s) { s.answers["GetNetworkInfoList"] = {RPC_S_SERVER_UNAVAILABLE_HR}; },
         RPC_S_SERVER_UNAVAILABLE_HR,
         "<ERROR>:" + kFailed + "-2147023174, releasing g_pINetworkManager",
         kFailed + "0x800706ba, releasing g_pINetworkManager\n"},
        {"unread info array of another type",
         [](ServiceState& s) {
             s.editNetworkInfo = [](NetworkInfoArrays& a) { a[8] = SafeArray::OfOtherType(); };
         },
         E_INVALIDARG, "<ERROR>:" + kFailed + "-2147024809, releasing g_pINetworkManager",
         kFailed + "0x80070057, releasing g_pINetworkManager\n"},
        {"short upload array",
         [](ServiceState& s) {
             s.editNetworkInfo = [](NetworkInfoArrays& a) {
                 a[6] = SafeArray(std::vector<int64_t>{1});
             };
         },
         E_INVALIDARG, "<ERROR>:" + kFailed + "-2147024809, releasing g_pINetworkManager",
         kFailed + "0x80070057, releasing g_pINetworkManager\n"},
        {"interface list raises",
         [](ServiceState& s) { s.answers["GetNetworkInterfaceList"] = {E_FAIL}; }, E_FAIL,
         "<ERROR>:DiscoverGateways: EXCEPTION -2147467259", ""},
        {"short device array",
         [](ServiceState& s) {
             s.editInterfaces = [](NetworkInterfaceArrays& a) {
                 a[2] = SafeArray(std::vector<int32_t>{10});
             };
         },
         E_INVALIDARG, "<ERROR>:DiscoverGateways: EXCEPTION -2147024809", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.script);
        EXPECT_EQ(BindAndDiscover(), c.expected);
        EXPECT_EQ(Log().back(), c.lastLine);
        if (c.console.empty()) {
            EXPECT_EQ(console_.text().find(kFailed), std::string::npos);
        } else {
            EXPECT_EQ(console_.text(), c.console);
        }
        EXPECT_EQ(AnyShaperInterfaceUnbound(), !c.console.empty());  // released to rebind
    }
    EXPECT_TRUE(Logged("<ERROR>:GetGatewayIDs: EXCEPTION -2147024809"));
    EXPECT_TRUE(
        Logged("<ERROR>:ValidateGateways: No valid gateway detected! (throw E_UNEXPECTED)"));
    g_pINetworkManager.reset();
    EXPECT_EQ(DiscoverGateways(), E_FAIL);
    EXPECT_EQ(GetGatewayIDs(nullptr), E_FAIL);
}

TEST_F(Gateways, InterfacesAreOnlyAddedToAcrossDiscoveries) {
    S().gateways = {{kMacA, 3, 1, 2000000}, {kMacB, 7, 1, 2000000}};
    S().interfaces = {{L"02-01", 10, 3}, {L"02-02", 11, 3}, {L"02-03", 12, 7}};
    iftable_.links = {{4, {2, 1}, false, false},  // no IP on: not the answer
                      {6, {2, 2}, true, false},
                      {9, {2, 3}, true, true}};
    gIspCtx[1].TargetIfIndex = 42;  // known already: never looked up again
    EXPECT_EQ(BindAndDiscover(), S_OK);
    EXPECT_EQ(gIspCtx[0].deviceIDs, (std::vector<int32_t>{10, 11}));
    EXPECT_EQ(gIspCtx[0].TargetIfIndex, 6);
    EXPECT_EQ(gIspCtx[0].adapterMAC, L"02-01");
    EXPECT_EQ(gIspCtx[1].deviceIDs, (std::vector<int32_t>{12}));
    EXPECT_EQ(gIspCtx[1].TargetIfIndex, 42);
    EXPECT_EQ(iftable_.reads, 2);

    gIspCtx[0].adapterMAC = L"kept";
    EXPECT_EQ(DiscoverGateways(), S_OK);
    EXPECT_EQ(gIspCtx[0].deviceIDs, (std::vector<int32_t>{10, 11, 10, 11}));
    EXPECT_EQ(gIspCtx[0].adapterMAC, L"kept");
    EXPECT_EQ(iftable_.reads, 2);

    // Without device IDs the interface pass reads nothing.
    ReinitIspContexts();
    S().editInterfaces = [](NetworkInterfaceArrays& a) {
        a[2] = SafeArray(std::vector<int32_t>{});
    };
    MarkLog();
    EXPECT_EQ(DiscoverGateways(), S_OK);
    EXPECT_TRUE(gIspCtx[0].deviceIDs.empty());
    for (const std::string& line : LogSinceMark()) {
        EXPECT_EQ(line.find("GetNetworkInterfaceList"), std::string::npos) << line;
    }
}

TEST_F(Gateways, MacLookupByTextAndBytes) {
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
        {"02-00-00-00-00-04", -1},
        {"02:00:00:00:00:01", 6},  // one part, its leading digits: one byte
        {"--ab-CD-", 7},           // empty parts are no parts
        {"ab-xy", -1},             // not a hexadecimal number
        {"", -1},
        {"00-00-00-00-00-00", 1},
        {"01-02-03-04-05-06-07-08", 8},
        {"00-00-00-00-00", -1},
    };
    for (const auto& [text, index] : cases) EXPECT_EQ(GetIfIndexFromMAC(text), index) << text;
    EXPECT_EQ(console_.text(), "");

    const uint8_t one = 2;
    EXPECT_EQ(GetIfIndexFromMAC(&one, 1), 6);
    const std::pair<std::function<int32_t()>, std::string> failures[] = {
        {[] { return GetIfIndexFromMAC("01-02-03-04-05-06-07-08-09"); }, ", 9"},
        {[] { return GetIfIndexFromMAC(nullptr, 6); }, ", 6"},
        {[&one] { return GetIfIndexFromMAC(&one, 0); }, ", 0"},
    };
    for (const auto& [call, end] : failures) {
        console_.clear();
        EXPECT_EQ(call(), -1);
        EXPECT_TRUE(console_.text().starts_with("GetIfIndexFromMAC - bad args: "))
            << console_.text();
        EXPECT_TRUE(console_.text().ends_with(end)) << console_.text();
    }
    const std::string kNoMemory =
        "GetIfIndexFromMAC - no memory needed to call GetIfTable - sizeof(MIB_IFTABLE)";
    const std::tuple<int, bool, std::string> tableFailures[] = {
        {5, false, "GetIfIndexFromMAC - GetIfTable failed with error: 5"},
        {ENOMEM, false, kNoMemory},
        {0, true, kNoMemory},
    };
    for (const auto& [error, badAlloc, message] : tableFailures) {
        iftable_.error = error;
        iftable_.throwBadAlloc = badAlloc;
        console_.clear();
        EXPECT_EQ(GetIfIndexFromMAC("02-00-00-00-00-01"), -1);
        EXPECT_EQ(console_.text(), message);
    }
}

TEST_F(Gateways, ValidationComparesWithWhatWasDiscovered) {
    const std::string kV = "ValidateDLBWForISPsInternal: ";
    const std::string kFingerprint = "<DEBUG>:" + kV + "Gateway Fingerprint *MISMATCH*: now [";
    const std::string kCount = "<DEBUG>:" + kV + "Detected Valid Gateways ";
    struct Case {
        const char* name;
        Script change;
        HRESULT expected;
        Lines lines;  // exactly what validation logs
        uint8_t active0, active1;
    };
    const Case cases[] = {
        {"unchanged", [](ServiceState&) {}, S_OK, {}, 1, 1},
        {"the service's success code",
         [](ServiceState& s) { s.answers["GetNetworkInfoList"] = {1}; },
         1,
         {},
         1,
         1},
        {"download changed",
         [](ServiceState& s) { s.gateways[1].downloadBps = 5; },
         E_FAIL,
         {"<DEBUG>:" + kV + "[i=1], [isp=1] [G 7] DLBW 5 != 50000000"},
         1,
         1},
        {"a mismatch ends the scan, so the rest looks gone",
         [](ServiceState& s) { s.gateways[0].downloadBps = 5; },
         E_FAIL,
         {"<DEBUG>:" + kV + "[i=0], [isp=0] [G 3] DLBW 5 != 100000000",
          kFingerprint + "Gateways: 3] != prev disco [Gateways: 3 7]",
          kCount + "1 != previously detected value 2"},
         1,
         0},
        {"gateway MAC changed",
         [](ServiceState& s) { s.gateways[1].mac = L"02-99"; },
         E_FAIL,
         {"<ERROR>:" + kV + "[i=1], [isp=1] [G 7] gatewayMAC 02-99 != 02-00-00-00-00-0B"},
         1,
         1},
        {"download not set any more",
         [](ServiceState& s) { s.gateways[1].downloadBps = -1; },
         E_FAIL,
         {"<DEBUG>:" + kV + "[i=1], [isp=1] [G 7] DLBW 1500000000 is INVALID!",
          "<DEBUG>:" + kV + "[i=1], [isp=1] [G 7] DLBW 1500000000 != 50000000"},
         1,
         0},
        {"a gateway came",
         [](ServiceState& s) {
             s.gateways.push_back({L"02-0C", 9, 1, 1});
         },
         E_FAIL,
         {kFingerprint + "Gateways: 3 7 9] != prev disco [Gateways: 3 7]",
          kCount + "3 != previously detected value 2"},
         1,
         1},
        {"a gateway turned bad",
         [](ServiceState& s) { s.gateways[1].id = -7; },
         E_FAIL,
         {kFingerprint + "Gateways: 3 -7] != prev disco [Gateways: 3 7]",
          kCount + "1 != previously detected value 2"},
         1,
         0},
        {"no download bandwidth",
         [](ServiceState& s) { s.gateways[0].downloadBps = s.gateways[1].downloadBps = 0; },
         E_FAIL,
         {"<DEBUG>:" + kV + "[i=0], [isp=0] [G 3] DLBW 0 != 100000000",
          kFingerprint + "Gateways: 3] != prev disco [Gateways: 3 7]",
          kCount + "1 != previously detected value 2",
          "<DEBUG>:" + kV + "Error! No VALID Gateways with VALID DLBW"},
         1,
         0},
        {"info list raises",
         [](ServiceState& s) { s.answers["GetNetworkInfoList"] = {E_UNEXPECTED}; },
         E_UNEXPECTED,
         {"<ERROR>:" + kV + "EXCEPTION -2147418113"},
         0,
         0},
        {"unread info array missing",
         [](ServiceState& s) {
             s.editNetworkInfo = [](NetworkInfoArrays& a) { a[3] = SafeArray(); };
         },
         E_INVALIDARG,
         {"<ERROR>:" + kV + "EXCEPTION -2147024809"},
         0,
         0},
        {"short MAC array",
         [](ServiceState& s) {
             s.editNetworkInfo = [](NetworkInfoArrays& a) {
                 a[0] = SafeArray(std::vector<std::wstring>{kMacA});
             };
         },
         E_INVALIDARG,
         {"<ERROR>:" + kV + "EXCEPTION -2147024809"},
         1,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        ASSERT_EQ(BindAndDiscover(), S_OK);
        c.change(S());
        MarkLog();
        EXPECT_EQ(ValidateDLBWForISPs(), c.expected);
        EXPECT_EQ(LogSinceMark(), c.lines);
        EXPECT_EQ(gIspCtx[0].active, c.active0);
        EXPECT_EQ(gIspCtx[1].active, c.active1);
        EXPECT_EQ(gTarnelGatewaysFingerprint, "Gateways: 3 7");  // validation only compares
        EXPECT_EQ(gValidGatewayCount, 2);
    }
    g_pINetworkManager.reset();
    EXPECT_EQ(ValidateDLBWForISPs(), E_FAIL);
    EXPECT_EQ(ValidateDLBWForISPsInternal(nullptr, gIspCtx, kMaxIsps), E_FAIL);
}

TEST_F(Gateways, UnsetDownloadIsValidUntilNoGatewayHasBandwidth) {
    // Discovered "not set", the slot holds 1500000000 and passes the
    // comparison inactive; alone, the set has no bandwidth and fails.
    Restart([](ServiceState& s) { s.gateways = {{kMacA, 3, -1, -1}}; });
    ASSERT_EQ(BindAndDiscover(), S_OK);
    gIspCtx[0].active = 1;
    MarkLog();
    EXPECT_EQ(ValidateDLBWForISPs(), E_FAIL);
    EXPECT_EQ(gIspCtx[0].active, 0);
    EXPECT_EQ(LogSinceMark(),
              (Lines{"<DEBUG>:ValidateDLBWForISPsInternal: [i=0], [isp=0] [G 3] DLBW 1500000000 "
                     "is INVALID!",
                     "<DEBUG>:ValidateDLBWForISPsInternal: Error! No VALID Gateways with VALID "
                     "DLBW"}));

    Restart([](ServiceState& s) { s.gateways = {{kMacA, 3, -1, -1}, {kMacB, 4, 1, 30000000}}; });
    ASSERT_EQ(BindAndDiscover(), S_OK);
    EXPECT_EQ(ValidateDLBWForISPs(), S_OK);
    EXPECT_EQ(gIspCtx[0].active, 0);
    EXPECT_EQ(gIspCtx[1].active, 1);
    // A slot that never had a limit is not matched.
    gIspCtx[1].lastDownloadLimitBps = 0;
    gIspCtx[1].active = 0;
    EXPECT_EQ(ValidateDLBWForISPs(), S_OK);
    EXPECT_EQ(gIspCtx[1].active, 0);
}

}  // namespace
