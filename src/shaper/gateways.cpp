// Binding, gateway discovery into the slots, the interface-index lookup by MAC
// address, and the validation of the discovered gateways.
#include "shaper/gateways.h"

#include <algorithm>
#include <array>
#include <new>

#include "config/registry_params.h"
#include "log/console_print.h"
#include "log/logger.h"
#include "platform/route.h"
#include "shaper/binding.h"
#include "shaper/limits.h"

ComPtr<IBandwidthControlManager> g_pIBandwidthControlManager;
ComPtr<IFactoryManager> g_pIFactoryManager;
ComPtr<INetworkManager> g_pINetworkManager;
ComPtr<IConfigurationManager> g_pIConfigurationManager;
ComPtr<IRulesManager> g_pIRulesManager;

GatewayList gGatewayList;
std::string gTarnelGatewaysFingerprint;
int32_t gValidGatewayCount = 0;

void GatewayList::clear() {
    ids.clear();
    downloadBps.clear();
    uploadBps.clear();
    macTexts.clear();
}

namespace {

// The service's "not set" bandwidth.
constexpr int64_t kBandwidthNotSet = -1;
// Arrays of GetNetworkInfoList, 0-based.
enum InfoArray : size_t { kInfoMac = 0, kInfoId = 2, kInfoUpload = 6, kInfoDownload = 7 };
constexpr VarType kInfoTypes[] = {VarType::Bstr,     VarType::Bstr,     VarType::Long,
                                  VarType::Bool,     VarType::Bstr,     VarType::Bstr,
                                  VarType::LongLong, VarType::LongLong, VarType::LongLong};
// Arrays of GetNetworkInterfaceList, 0-based.
enum InterfaceArray : size_t { kIfMac = 0, kIfDeviceId = 2, kIfGatewayId = 3 };
constexpr VarType kInterfaceTypes[] = {VarType::Bstr, VarType::Bstr, VarType::Long,
                                       VarType::Long, VarType::Long, VarType::Bool};
constexpr size_t kMaxLookupBytes = 8;

template <size_t N, size_t M>
void CheckArrayTypes(const std::array<SafeArray, N>& arrays, const VarType (&types)[M]) {
    static_assert(M <= N);
    for (size_t i = 0; i < M; ++i) arrays[i].CheckType(types[i]);
}

// One " ID" of the fingerprint. Appended in two steps: GCC 12's -Wrestrict
// misreads `" " + string&&` once inlined (a false positive of its optimiser).
void AppendFingerprintId(std::string* fingerprint, int32_t id) {
    *fingerprint += ' ';
    *fingerprint += std::to_string(id);
}

uint64_t BandwidthBps(int64_t reported) {
    return reported == kBandwidthNotSet ? INVALID_DLBW_BPS : static_cast<uint64_t>(reported);
}

// Each UTF-16 unit cut to its low byte, as the lookup's narrow text.
std::string NarrowLowBytes(const std::wstring& text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text) narrow.push_back(static_cast<char>(static_cast<uint32_t>(c) & 0xFF));
    return narrow;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether the link has IPv4, else IPv6, on: the first such row is the answer.
bool HasIpInterface(uint32_t ifIndex) {
    for (platform::AddressFamily family :
         {platform::AddressFamily::Inet, platform::AddressFamily::Inet6}) {
        platform::IpInterfaceEntry entry;
        platform::InitializeIpInterfaceEntry(&entry);
        entry.family = family;
        entry.interfaceIndex = ifIndex;
        if (platform::GetIpInterfaceEntry(&entry) == 0) return true;
    }
    return false;
}

// One Get... step of the binding: a raised error leaves the global as it
// was; an answer replaces it (an empty answer empties it). True only when the
// call succeeded with an interface.
template <typename T, typename Source>
bool BindStep(ComPtr<T>& target, Source& source, HRESULT (Source::*get)(ComPtr<T>*)) {
    try {
        ComPtr<T> got;
        ThrowIfFailed((source.*get)(&got));
        target = std::move(got);
        return target != nullptr;
    } catch (const ComError&) {
        return false;
    }
}

}  // namespace

bool AnyShaperInterfaceUnbound() {
    return !g_pIBandwidthControlManager || !g_pINetworkManager || !g_pIConfigurationManager ||
           !g_pIRulesManager;
}

HRESULT InitTarnelHelper() {
    if (!AnyShaperInterfaceUnbound()) return S_OK;

    g_pIBandwidthControlManager.reset();
    HRESULT created;
    try {
        created = CurrentServiceBinding().CreateInstance(&g_pIBandwidthControlManager);
    } catch (const ComError& e) {
        created = e.Error();
    }
    if (FAILED(created) || !g_pIBandwidthControlManager) {
        g_pIBandwidthControlManager.reset();
        LogDebug("InitTarnelHelper: g_pIBandwidthControlManager.CreateInstance() failed");
        return E_FAIL;
    }

    HRESULT initialized;
    try {
        initialized = ThrowIfFailed(g_pIBandwidthControlManager->Initialize(0, 1, 0, L"", L""));
    } catch (const ComError&) {
        LogDebug("InitTarnelHelper: g_pIBandwidthControlManager->Initialize() failed");
        return E_FAIL;
    }

    if (!BindStep(g_pIFactoryManager, *g_pIBandwidthControlManager,
                  &IBandwidthControlManager::GetFactoryManager)) {
        LogDebug("InitTarnelHelper: g_pIBandwidthControlManager->GetFactoryManager() failed");
        return E_FAIL;
    }
    if (!BindStep(g_pINetworkManager, *g_pIFactoryManager, &IFactoryManager::GetNetworkManager)) {
        LogDebug("InitTarnelHelper: g_pIFactoryManager->GetNetworkManager() failed");
        return E_FAIL;
    }
    if (!BindStep(g_pIConfigurationManager, *g_pIFactoryManager,
                  &IFactoryManager::GetConfigurationManager)) {
        LogDebug("InitTarnelHelper: g_pIFactoryManager->GetConfigurationManager() failed");
        return E_FAIL;
    }
    if (!BindStep(g_pIRulesManager, *g_pIFactoryManager, &IFactoryManager::GetRulesManager)) {
        LogDebug("InitTarnelHelper: g_pIFactoryManager->GetRulesManager() failed");
        return E_FAIL;
    }
    return initialized;
}

HRESULT GetGatewayIDs(const ComPtr<INetworkManager>& nm) {
    gGatewayList.clear();
    if (!nm) return E_FAIL;
    try {
        NetworkInfoArrays arrays;
        HRESULT hr = ThrowIfFailed(nm->GetNetworkInfoList(&arrays));
        CheckArrayTypes(arrays, kInfoTypes);
        const SafeArray& ids = arrays[kInfoId];
        const SafeArray& downloads = arrays[kInfoDownload];
        std::string fingerprint = "Gateways:";
        for (size_t i = 0; i < ids.Count(VarType::Long) && i < downloads.Count(VarType::LongLong);
             ++i) {
            int32_t id = ids.Long(i);
            AppendFingerprintId(&fingerprint, id);
            LogDebug("GetGatewayIDs() - GetNetworkInfoList(): Gateway IDs [", i, "] [count ",
                     ids.Count(VarType::Long), "] ID=", id);
            gGatewayList.ids.push_back(id);
            int64_t download = downloads.LongLong(i);
            LogDebug("GetGatewayIDs() - GetNetworkInfoList(): BW DOWN [", i, "] [count ",
                     downloads.Count(VarType::LongLong), "] BW=", download);
            gGatewayList.downloadBps.push_back(BandwidthBps(download));
            gGatewayList.uploadBps.push_back(BandwidthBps(arrays[kInfoUpload].LongLong(i)));
            gGatewayList.macTexts.push_back(arrays[kInfoMac].Bstr(i));
        }
        gTarnelGatewaysFingerprint = fingerprint;
        LogDebug("GetGatewayIDs() - gTarnelGatewaysFingerprint = ", gTarnelGatewaysFingerprint);
        return hr;
    } catch (const ComError& e) {
        // The columns stay parallel: a read that failed half-way leaves none.
        gGatewayList.clear();
        LogError("GetGatewayIDs: EXCEPTION ", e.Error());
        return e.Error();
    }
}

void ValidateGateways() {
    gValidGatewayCount = 0;
    if (gGatewayList.ids.empty()) throw ComError(E_UNEXPECTED);
    for (size_t i = 0; i < gGatewayList.ids.size(); ++i) {
        int32_t id = gGatewayList.ids[i];
        if (id >= 0) {
            LogDebug("ValidateGateways: GOOD GATEWAY [i=", i, "] ID=", id);
            ++gValidGatewayCount;
        } else {
            LogError("ValidateGateways: BAD GATEWAY [i=", i, "] ID=", id);
        }
    }
    if (gValidGatewayCount == 0) {
        LogError("ValidateGateways: No valid gateway detected! (throw E_UNEXPECTED)");
        throw ComError(E_UNEXPECTED);
    }
}

HRESULT DiscoverGateways() {
    if (!g_pINetworkManager) return E_FAIL;
    try {
        HRESULT hr = GetGatewayIDs(g_pINetworkManager);
        if (FAILED(hr)) {
            ConsolePrintf(
                "DiscoverGateways: GetGatewayIDs() failed hr = 0x%08x, releasing "
                "g_pINetworkManager\n",
                static_cast<unsigned>(hr));
            LogError("DiscoverGateways: GetGatewayIDs() failed hr = ", hr,
                     ", releasing g_pINetworkManager");
            g_pINetworkManager.reset();
            return hr;
        }
        ValidateGateways();

        for (size_t g = 0; g < gGatewayList.size() && g < kMaxIsps; ++g) {
            const int32_t id = gGatewayList.ids[g];
            const uint64_t down = gGatewayList.downloadBps[g];
            const uint64_t up = gGatewayList.uploadBps[g];
            const std::wstring& mac = gGatewayList.macTexts[g];
            LogDebug("DiscoverGateways() - RESULT [i = ", g, "] Gateway ID = ", id,
                     ", MAC = ", mac);

            IspCtx& ctx = gIspCtx[g];
            ctx.G = id;
            ctx.aperture = ctx.initialAperture = static_cast<double>(down) / 1000000 / kFud;
            ctx.uploadMbps = ctx.initialUploadMbps = static_cast<double>(up) / 1000000;
            ctx.floor = ctx.aperture * gDownloadFloorFactor;
            ctx.DownloadRecoveryBW = ctx.aperture;
            ctx.maxAperture = gAllowUpperLimitGrowth != 0 ? kMaxGrowthAperture : ctx.aperture;
            ctx.lastDownloadLimitBps = down;
            ctx.gatewayMAC = mac;
            LogDebug("DiscoverGateways() - TARNEL-SYNC: [G ", id, "] Download BW=", ctx.aperture,
                     ", Upload BW=", ctx.uploadMbps, ", lastTarnelSet=", down);
            ConsolePrintf(
                "\n[G %i] Sync with Corvane Control Center - Download BW: %f mbps, Upload BW: %f "
                "mbps\n",
                id, ctx.aperture, ctx.uploadMbps);

            const double jumpToFloor = gJumpToFloorThresholdPercentage * ctx.DownloadRecoveryBW;
            LogDebug("DiscoverGateways() - Update Constraints: [G ", id, "] floor ", ctx.floor,
                     " mbps, recovery ", ctx.DownloadRecoveryBW, " mbps, JTF ", jumpToFloor);
            ConsolePrintf(
                "[G %i] Update Constraints: floor %0.2f mbps, recovery %0.2f, JTF %0.2f\n", id,
                ctx.floor, ctx.DownloadRecoveryBW, jumpToFloor);
        }

        NetworkInterfaceArrays arrays;
        HRESULT listed = ThrowIfFailed(g_pINetworkManager->GetNetworkInterfaceList(&arrays));
        CheckArrayTypes(arrays, kInterfaceTypes);
        const SafeArray& gatewayIds = arrays[kIfGatewayId];
        const SafeArray& deviceIds = arrays[kIfDeviceId];
        const SafeArray& macs = arrays[kIfMac];
        for (size_t g = 0; g < kMaxIsps; ++g) {
            IspCtx& ctx = gIspCtx[g];
            if (ctx.G < 0) continue;
            const size_t count = gatewayIds.Count(VarType::Long);
            for (size_t i = 0; i < count && deviceIds.Count(VarType::Long) != 0; ++i) {
                const int32_t reached = gatewayIds.Long(i);
                if (reached != ctx.G) {
                    LogDebug("DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [", i,
                             "] [count ", count, "] ID=", reached, " != ", ctx.G);
                    continue;
                }
                LogDebug("DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [", i, "] [count ",
                         count, "] ID=", reached, " == ", ctx.G, ", for isp = ", g);
                const int32_t device = deviceIds.Long(i);
                LogDebug("DiscoverGateways-GetNetworkInterfaceList: Adding DEVICE ID ", device,
                         ", to isp ", g);
                ctx.deviceIDs.push_back(device);
                if (ctx.TargetIfIndex < 0) {
                    const std::string macText = NarrowLowBytes(macs.Bstr(i));
                    const int32_t ifIndex = GetIfIndexFromMAC(macText);
                    if (ifIndex != -1) {
                        ctx.TargetIfIndex = ifIndex;
                        LogDebug("[G ", ctx.G,
                                 "] DiscoverGateways-GetNetworkInterfaceList: Found MAC:", macText,
                                 " in IFTable. SET TargetIfIndex = ", ifIndex);
                    }
                }
                if (ctx.adapterMAC.empty()) ctx.adapterMAC = macs.Bstr(i);
            }
        }
        return listed;
    } catch (const ComError& e) {
        LogError("DiscoverGateways: EXCEPTION ", e.Error());
        return e.Error();
    }
}

int32_t GetIfIndexFromMAC(const std::string& macText) {
    // Parts are split at "-"; empty parts are skipped. Each part's leading
    // hexadecimal digits give a number whose low byte is one address byte.
    std::vector<uint8_t> bytes;
    size_t at = 0;
    while (at <= macText.size()) {
        size_t end = macText.find('-', at);
        if (end == std::string::npos) end = macText.size();
        if (end > at) {
            if (HexDigit(macText[at]) < 0) return -1;  // not a hexadecimal number
            unsigned value = 0;
            for (size_t k = at; k < end && HexDigit(macText[k]) >= 0; ++k) {
                value = ((value << 4) | static_cast<unsigned>(HexDigit(macText[k]))) & 0xFF;
            }
            bytes.push_back(static_cast<uint8_t>(value));
        }
        at = end + 1;
    }
    if (bytes.empty()) return -1;
    return GetIfIndexFromMAC(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t GetIfIndexFromMAC(const uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr || length < 1 || length > kMaxLookupBytes) {
        ConsolePrintf("GetIfIndexFromMAC - bad args: %p, %u", static_cast<const void*>(bytes),
                      length);
        return -1;
    }
    // The table comes whole: there is no buffer to size and no "too small"
    // answer to retry on.
    std::vector<platform::IfRow> table;
    int error;
    try {
        error = platform::GetIfTable(&table);
    } catch (const std::bad_alloc&) {
        error = platform::kRouteNoMemory;
    }
    if (error == platform::kRouteNoMemory) {
        ConsolePrintf(
            "GetIfIndexFromMAC - no memory needed to call GetIfTable - sizeof(MIB_IFTABLE)");
        return -1;
    }
    if (error != 0) {
        ConsolePrintf("GetIfIndexFromMAC - GetIfTable failed with error: %u",
                      static_cast<unsigned>(error));
        return -1;
    }
    for (const platform::IfRow& row : table) {
        if (row.physAddrLength != length) continue;
        if (!std::equal(bytes, bytes + length, row.physAddr)) continue;
        if (HasIpInterface(row.index)) return static_cast<int32_t>(row.index);
    }
    return -1;
}

HRESULT ValidateDLBWForISPs() {
    if (!g_pINetworkManager) return E_FAIL;
    try {
        return ValidateDLBWForISPsInternal(g_pINetworkManager, gIspCtx, kMaxIsps);
    } catch (const ComError& e) {
        LogError("ValidateDLBWForISPs: EXCEPTION ", e.Error());
        return e.Error();
    }
}

HRESULT ValidateDLBWForISPsInternal(const ComPtr<INetworkManager>& nm, IspCtx* slots,
                                    size_t count) {
    if (!nm) return E_FAIL;
    try {
        NetworkInfoArrays arrays;
        HRESULT result = ThrowIfFailed(nm->GetNetworkInfoList(&arrays));
        CheckArrayTypes(arrays, kInfoTypes);
        const SafeArray& ids = arrays[kInfoId];
        const SafeArray& downloads = arrays[kInfoDownload];
        int32_t valid = 0;
        int32_t validBandwidth = 0;
        std::string fingerprint = "Gateways:";

        for (size_t i = 0; i < ids.Count(VarType::Long) && i < downloads.Count(VarType::LongLong) &&
                           SUCCEEDED(result);
             ++i) {
            const int32_t id = ids.Long(i);
            AppendFingerprintId(&fingerprint, id);
            if (id >= 0) {
                ++valid;
                if (downloads.LongLong(i) > 0) ++validBandwidth;
            }
            for (size_t j = 0; j < count; ++j) {
                IspCtx& ctx = slots[j];
                if (ctx.G < 0 || ctx.lastDownloadLimitBps == 0 || ctx.G != id) continue;
                int64_t download = downloads.LongLong(i);
                if (download == kBandwidthNotSet) {
                    download = static_cast<int64_t>(INVALID_DLBW_BPS);
                    ctx.active = 0;
                    LogDebug("ValidateDLBWForISPsInternal: [i=", i, "], [isp=", j, "] [G ", id,
                             "] DLBW ", INVALID_DLBW_BPS, " is INVALID!");
                } else {
                    ctx.active = 1;
                }
                if (static_cast<uint64_t>(download) != ctx.lastDownloadLimitBps) {
                    LogDebug("ValidateDLBWForISPsInternal: [i=", i, "], [isp=", j, "] [G ", id,
                             "] DLBW ", download, " != ", ctx.lastDownloadLimitBps);
                    result = E_FAIL;
                }
                const std::wstring& mac = arrays[kInfoMac].Bstr(i);
                if (mac != ctx.gatewayMAC) {
                    LogError("ValidateDLBWForISPsInternal: [i=", i, "], [isp=", j, "] [G ", id,
                             "] gatewayMAC ", mac, " != ", ctx.gatewayMAC);
                    result = E_FAIL;
                }
                break;
            }
        }

        if (fingerprint != gTarnelGatewaysFingerprint) {
            result = E_FAIL;
            LogDebug("ValidateDLBWForISPsInternal: Gateway Fingerprint *MISMATCH*: now [",
                     fingerprint, "] != prev disco [", gTarnelGatewaysFingerprint, "]");
        }
        if (valid != gValidGatewayCount) {
            result = E_FAIL;
            LogDebug("ValidateDLBWForISPsInternal: Detected Valid Gateways ", valid,
                     " != previously detected value ", gValidGatewayCount);
        }
        if (validBandwidth == 0) {
            result = E_FAIL;
            LogDebug("ValidateDLBWForISPsInternal: Error! No VALID Gateways with VALID DLBW");
        }
        return result;
    } catch (const ComError& e) {
        LogError("ValidateDLBWForISPsInternal: EXCEPTION ", e.Error());
        return e.Error();
    }
}

void ResetShaperForTest() {
    g_pIBandwidthControlManager.reset();
    g_pIFactoryManager.reset();
    g_pINetworkManager.reset();
    g_pIConfigurationManager.reset();
    g_pIRulesManager.reset();
    gGatewayList.clear();
    gTarnelGatewaysFingerprint.clear();
    gValidGatewayCount = 0;
    gProcessListTotals.clear();
    gDomainListTotals.clear();
    for (int64_t& ticks : gLastDownloadSampleTicks) ticks = 0;
}
