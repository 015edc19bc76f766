// Gateway discovery into the slots and the validation of the discovered
// gateways, over the interfaces that binding.cpp binds.
#include "shaper/gateways.h"

#include <algorithm>
#include <array>
#include <string>

#include "config/registry_params.h"
#include "log/console_print.h"
#include "log/logger.h"
#include "shaper/mac_lookup.h"

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

// The service's gateway list, its array types checked (a wrong one throws),
// and how many gateways it holds: the entries with both an ID and a download.
struct GatewayArrays {
    explicit GatewayArrays(const ComPtr<INetworkManager>& nm)
        : hr(ThrowIfFailed(nm->GetNetworkInfoList(&arrays))),
          ids(arrays[kInfoId]),
          downloads(arrays[kInfoDownload]) {
        CheckArrayTypes(arrays, kInfoTypes);
        count = std::min(ids.Count(VarType::Long), downloads.Count(VarType::LongLong));
    }
    NetworkInfoArrays arrays;
    HRESULT hr;
    const SafeArray& ids;
    const SafeArray& downloads;
    size_t count = 0;
};

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

// Slot g takes gateway g of gGatewayList: its ID, its limits as the
// starting aperture and upload, and the constraints derived from them.
void FillSlot(size_t g) {
    const int32_t id = gGatewayList.ids[g];
    const uint64_t down = gGatewayList.downloadBps[g];
    const uint64_t up = gGatewayList.uploadBps[g];
    const std::wstring& mac = gGatewayList.macTexts[g];
    LogDebug("DiscoverGateways() - RESULT [i = ", g, "] Gateway ID = ", id, ", MAC = ", mac);

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
    ConsolePrintf("[G %i] Update Constraints: floor %0.2f mbps, recovery %0.2f, JTF %0.2f\n", id,
                  ctx.floor, ctx.DownloadRecoveryBW, jumpToFloor);
}

// Slot g takes every interface that reaches its gateway: each one's device ID;
// the first whose MAC the kernel knows gives the interface index, the first
// of all the adapter MAC. An existing index or MAC is kept.
void AddInterfaces(size_t g, const NetworkInterfaceArrays& arrays) {
    const SafeArray& gatewayIds = arrays[kIfGatewayId];
    const SafeArray& deviceIds = arrays[kIfDeviceId];
    const SafeArray& macs = arrays[kIfMac];
    IspCtx& ctx = gIspCtx[g];
    const size_t count = gatewayIds.Count(VarType::Long);
    for (size_t i = 0; i < count && deviceIds.Count(VarType::Long) != 0; ++i) {
        const int32_t reached = gatewayIds.Long(i);
        if (reached != ctx.G) {
            LogDebug("DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [", i, "] [count ",
                     count, "] ID=", reached, " != ", ctx.G);
            continue;
        }
        LogDebug("DiscoverGateways-GetNetworkInterfaceList: GATEWAY IDs [", i, "] [count ", count,
                 "] ID=", reached, " == ", ctx.G, ", for isp = ", g);
        const int32_t device = deviceIds.Long(i);
        LogDebug("DiscoverGateways-GetNetworkInterfaceList: Adding DEVICE ID ", device, ", to isp ",
                 g);
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

}  // namespace

HRESULT GetGatewayIDs(const ComPtr<INetworkManager>& nm) {
    gGatewayList.clear();
    if (!nm) return E_FAIL;
    try {
        const GatewayArrays list(nm);
        std::string fingerprint = "Gateways:";
        for (size_t i = 0; i < list.count; ++i) {
            int32_t id = list.ids.Long(i);
            AppendFingerprintId(&fingerprint, id);
            LogDebug("GetGatewayIDs() - GetNetworkInfoList(): Gateway IDs [", i, "] [count ",
                     list.ids.Count(VarType::Long), "] ID=", id);
            gGatewayList.ids.push_back(id);
            int64_t download = list.downloads.LongLong(i);
            LogDebug("GetGatewayIDs() - GetNetworkInfoList(): BW DOWN [", i, "] [count ",
                     list.downloads.Count(VarType::LongLong), "] BW=", download);
            gGatewayList.downloadBps.push_back(BandwidthBps(download));
            gGatewayList.uploadBps.push_back(BandwidthBps(list.arrays[kInfoUpload].LongLong(i)));
            gGatewayList.macTexts.push_back(list.arrays[kInfoMac].Bstr(i));
        }
        gTarnelGatewaysFingerprint = fingerprint;
        LogDebug("GetGatewayIDs() - gTarnelGatewaysFingerprint = ", gTarnelGatewaysFingerprint);
        return list.hr;
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
        for (size_t g = 0; g < gGatewayList.size() && g < kMaxIsps; ++g) FillSlot(g);

        NetworkInterfaceArrays arrays;
        HRESULT listed = ThrowIfFailed(g_pINetworkManager->GetNetworkInterfaceList(&arrays));
        CheckArrayTypes(arrays, kInterfaceTypes);
        for (size_t g = 0; g < kMaxIsps; ++g) {
            if (gIspCtx[g].G >= 0) AddInterfaces(g, arrays);
        }
        return listed;
    } catch (const ComError& e) {
        LogError("DiscoverGateways: EXCEPTION ", e.Error());
        return e.Error();
    }
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
        const GatewayArrays list(nm);
        HRESULT result = list.hr;
        int32_t valid = 0;
        int32_t validBandwidth = 0;
        std::string fingerprint = "Gateways:";
        for (size_t i = 0; i < list.count && SUCCEEDED(result); ++i) {
            const int32_t id = list.ids.Long(i);
            AppendFingerprintId(&fingerprint, id);
            if (id >= 0) {
                ++valid;
                if (list.downloads.LongLong(i) > 0) ++validBandwidth;
            }
            for (size_t j = 0; j < count; ++j) {
                IspCtx& ctx = slots[j];
                if (ctx.G < 0 || ctx.lastDownloadLimitBps == 0 || ctx.G != id) continue;
                int64_t download = list.downloads.LongLong(i);
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
                const std::wstring& mac = list.arrays[kInfoMac].Bstr(i);
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

void ResetGatewaysForTest() {
    gGatewayList.clear();
    gTarnelGatewaysFingerprint.clear();
    gValidGatewayCount = 0;
}
