// Gateway discovery and gateway validation against the in-memory service and
// an in-memory interface table.
#include "shaper/gateways.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "shaper/fake_iftable.h"
#include "shaper/fake_service.h"
#include "shaper/limits.h"

namespace {

using fake::ServiceState;
using Lines = std::vector<std::string>;
using fake::Raise;
using fake::Script;

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
        console_.clear();
    }
    fake::IfTable iftable_;
    test::ConsoleCapture console_;
};

TEST_F(Gateways, DiscoveryFillsSlotsLogsEachStepAndOnlyAddsInterfaces) {
    S().gateways = {{kMacA, 3, 20000000, 100000000}, {kMacB, -1, -1, -1}};
    S().interfaces = {
        {L"02-00-00-00-01-01", 10, 3}, {L"02-00-00-00-01-02", 11, 7}, {L"02-03", 12, 3}};
    iftable_.links = {{4, {2, 0, 0, 0, 1, 1}, false, false},  // no IP on: not the answer
                      {5, {2, 0, 0, 0, 1, 1}, true, false}};
    EXPECT_EQ(BindAndDiscover(), S_OK);

    const IspCtx& a = gIspCtx[0];
    EXPECT_EQ(a.G, 3);
    EXPECT_EQ(std::tie(a.initialAperture, a.DownloadRecoveryBW, a.initialUploadMbps),
              std::tie(a.aperture, a.aperture, a.uploadMbps));  // the reports start from these
    EXPECT_EQ(a.maxAperture, kMaxGrowthAperture);               // the registry allows growth
    // A bad gateway fills its slot too, but gets no interfaces; "not set" is 1500 mbps.
    EXPECT_EQ(gIspCtx[1].G, -1);
    EXPECT_EQ(gIspCtx[1].TargetIfIndex, -1);

    const std::string kIds = "<DEBUG>:GetGatewayIDs() - GetNetworkInfoList(): ";
    const std::string kDisco = "<DEBUG>:DiscoverGateways() - ";
    const std::string kIfs = "<DEBUG>:DiscoverGateways-GetNetworkInterfaceList: ";
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
                         kIfs + "GATEWAY IDs [0] [count 3] ID=3 == 3, for isp = 0",
                         kIfs + "Adding DEVICE ID 10, to isp 0",
                         "<DEBUG>:[G 3] DiscoverGateways-GetNetworkInterfaceList: Found "
                         "MAC:02-00-00-00-01-01 in IFTable. SET TargetIfIndex = 5",
                         kIfs + "GATEWAY IDs [1] [count 3] ID=7 != 3",
                         kIfs + "GATEWAY IDs [2] [count 3] ID=3 == 3, for isp = 0",
                         kIfs + "Adding DEVICE ID 12, to isp 0",
                     }));
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
        std::string lines;
        for (const std::string& line : LogSinceMark()) lines += (lines.empty() ? "" : "\n") + line;
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(std::to_string(gIspCtx[0].active) + std::to_string(gIspCtx[1].active), c.active);
        EXPECT_EQ(gTarnelGatewaysFingerprint, fingerprint);  // validation only compares
    }
    g_pINetworkManager.reset();
    EXPECT_EQ(ValidateDLBWForISPs(), E_FAIL);
    EXPECT_EQ(ValidateDLBWForISPsInternal(nullptr, gIspCtx, kMaxIsps), E_FAIL);
}

}  // namespace
