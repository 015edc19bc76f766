// Limit changes through the shaper, and each slot's download rate from the
// service's cumulative traffic counters.
#include "shaper/limits.h"

#include <algorithm>

#include "log/console_print.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "shaper/binding.h"
#include "shaper/gateways.h"

ListTotalsTable gProcessListTotals;
ListTotalsTable gDomainListTotals;
int64_t gLastDownloadSampleTicks[kMaxIsps + 1] = {};

namespace {

constexpr double kBitsPerMegabit = 1000000.0;
constexpr uint64_t kBpsPerMbps = 1000000;
constexpr int64_t kMicrosecondsPerSecond = 1000000;
// The list operations' selector: every process or domain.
constexpr int16_t kAllEntries = -1;
// PrepareLimitChange's argument before every limit change.
constexpr int32_t kAnyLimitChange = -1;

// Arrays of GetProcessList and GetDomainList, 0-based; the ninth and tenth are
// not read.
enum TrafficArray : size_t { kName = 0, kDeviceId = 4, kUpload = 6, kDownload = 7 };
constexpr VarType kTrafficTypes[] = {VarType::Bstr,     VarType::Bstr,    VarType::Bstr,
                                     VarType::Bool,     VarType::Long,    VarType::Long,
                                     VarType::LongLong, VarType::LongLong};

size_t SlotIndexOf(const IspCtx& ctx) {
    for (size_t i = 0; i < kMaxIsps; ++i) {
        if (&gIspCtx[i] == &ctx) return i;
    }
    return kMaxIsps;
}

// ticks * 1000000 / frequency, truncated, without overflowing for long gaps.
int64_t TicksToMicroseconds(int64_t ticks, int64_t frequency) {
    return ticks / frequency * kMicrosecondsPerSecond +
           ticks % frequency * kMicrosecondsPerSecond / frequency;
}

// Adds the growth of one counter to its accumulated value. A counter below
// the last one seen has restarted: everything it shows is new.
void Accumulate(uint64_t counter, uint64_t& last, uint64_t& accumulated) {
    if (counter > last) {
        accumulated += counter - last;
    } else if (counter < last) {
        accumulated += counter;
    }
    last = counter;
}

}  // namespace

HRESULT SetNetworkLimits(IspCtx& ctx, uint64_t uploadBps, uint64_t downloadBps) {
    if (downloadBps >= INVALID_DLBW_BPS) {
        ConsolePrintf(
            L"[G %i, ap %0.2f/%0.2f] SetNetworkLimits() - BAD DLBW: i64BandwidthDown %I64u >= "
            L"INVALID_DLBW_BPS %I64u\n",
            ctx.G, ctx.aperture, ctx.DownloadRecoveryBW,
            static_cast<unsigned long long>(downloadBps),
            static_cast<unsigned long long>(INVALID_DLBW_BPS));
        LogError("[G ", ctx.G, ", ap ", ctx.aperture, " / ", ctx.DownloadRecoveryBW,
                 "] SetNetworkLimits(): INVALID: down=", downloadBps / kBpsPerMbps, " mbps");
        return E_INVALIDARG;
    }
    if (!g_pINetworkManager || !g_pIConfigurationManager) {
        LogError("SetNetworkLimits(): pINetworkManager == NULL and pIConfigurationManager == NULL");
        return E_FAIL;
    }
    HRESULT valid = ValidateDLBWForISPsInternal(g_pINetworkManager, &ctx, 1);
    if (FAILED(valid)) {
        LogError("SetNetworkLimits(): *FAILED* due to ValidateDLBWForISPsInternal() - ", valid);
        return E_UNEXPECTED;
    }
    HRESULT hr;
    try {
        ThrowIfFailed(g_pIConfigurationManager->PrepareLimitChange(kAnyLimitChange));
        hr = ThrowIfFailed(g_pINetworkManager->SetGatewayLimits(
            ctx.gatewayMAC, static_cast<int64_t>(uploadBps), static_cast<int64_t>(downloadBps)));
    } catch (const ComError& e) {
        LogError("SetNetworkLimits(): _EXCEPTION_ : down=", downloadBps / kBpsPerMbps,
                 " mbps, hr=", e.Error(), ", gateway=", ctx.G);
        return e.Error();
    }
    ctx.lastDownloadLimitBps = downloadBps;
    ctx.lastDownloadLimitMbps = static_cast<double>(downloadBps) / kBitsPerMegabit;
    ctx.lastUploadLimitMbps = static_cast<double>(uploadBps) / kBitsPerMegabit;
    LogDebug("SetNetworkLimits(): down=", ctx.lastDownloadLimitMbps,
             " mbps, up=", ctx.lastUploadLimitMbps, " mbps, hr=", hr, ", gateway=", ctx.G);
    return hr;
}

HRESULT GetTLists(const IspCtx& ctx, std::vector<ListEntry>* list, TrafficListOp op) {
    if (!g_pIRulesManager) return E_FAIL;
    const size_t before = list->size();
    try {
        TrafficListArrays arrays;
        HRESULT hr = ThrowIfFailed((g_pIRulesManager.get()->*op)(kAllEntries, &arrays));
        for (size_t i = 0; i < std::size(kTrafficTypes); ++i) arrays[i].CheckType(kTrafficTypes[i]);
        const SafeArray& devices = arrays[kDeviceId];
        const SafeArray& uploads = arrays[kUpload];
        for (size_t i = 0; i < devices.Count(VarType::Long) && i < uploads.Count(VarType::LongLong);
             ++i) {
            const int32_t device = devices.Long(i);
            if (std::find(ctx.deviceIDs.begin(), ctx.deviceIDs.end(), device) ==
                ctx.deviceIDs.end()) {
                continue;
            }
            list->push_back(ListEntry{arrays[kName].Bstr(i),
                                      static_cast<uint64_t>(uploads.LongLong(i)),
                                      static_cast<uint64_t>(arrays[kDownload].LongLong(i))});
        }
        return hr;
    } catch (const ComError& e) {
        list->resize(before);  // nothing of a failed read is kept
        LogError("GetTLists() - EXCEPTION, hr = ", e.Error());
        return e.Error();
    }
}

void AccumulateListTotals(const IspCtx& ctx, ListTotalsTable& table,
                          const std::vector<ListEntry>& list, uint64_t* uploadTotal,
                          uint64_t* downloadTotal) {
    *uploadTotal = 0;
    *downloadTotal = 0;
    auto& records = table[static_cast<uint32_t>(ctx.G)];
    for (const ListEntry& entry : list) {
        ListTotalsRecord& record = records[entry.name];  // a new name starts at zero
        Accumulate(entry.upload, record.lastUpload, record.accumulatedUpload);
        Accumulate(entry.download, record.lastDownload, record.accumulatedDownload);
    }
    for (const auto& [name, record] : records) {
        *uploadTotal += record.accumulatedUpload;
        *downloadTotal += record.accumulatedDownload;
    }
}

HRESULT GetTarnelBWTotals(const IspCtx& ctx, uint64_t* processUpload, uint64_t* domainUpload,
                          uint64_t* processDownload, uint64_t* domainDownload) {
    *processUpload = *domainUpload = *processDownload = *domainDownload = 0;
    if (!g_pIRulesManager) {
        LogError("GetTarnelBWTotalS() - pIRulesManager is NULL! ", E_FAIL);
        return E_FAIL;
    }
    try {
        std::vector<ListEntry> processes;
        HRESULT hr = GetTLists(ctx, &processes, &IRulesManager::GetProcessList);
        if (FAILED(hr)) {
            LogError("GetTarnelBWTotalS() - GetTLists(...GetProcessList()) failed hr = ", hr);
            return hr;
        }
        std::vector<ListEntry> domains;
        hr = GetTLists(ctx, &domains, &IRulesManager::GetDomainList);
        if (FAILED(hr)) {
            LogError("GetTarnelBWTotalS() - GetTLists(...GetDomainList()) failed hr = ", hr);
            return hr;
        }
        AccumulateListTotals(ctx, gProcessListTotals, processes, processUpload, processDownload);
        AccumulateListTotals(ctx, gDomainListTotals, domains, domainUpload, domainDownload);
        return hr;
    } catch (const ComError& e) {
        LogError("GetTarnelBWTotalS() - EXCEPTION, hr = ", e.Error());
        return e.Error();
    }
}

HRESULT GetInternetDownloadStats(IspCtx& ctx) {
    int64_t& lastSampleTicks = gLastDownloadSampleTicks[SlotIndexOf(ctx)];
    ctx.processOnlyMbps = ctx.processDomainMbps = ctx.mbps = 0;
    const int64_t now = platform::QueryPerformanceCounter();
    try {
        uint64_t processUpload = 0, domainUpload = 0, processDownload = 0, domainDownload = 0;
        HRESULT hr = GetTarnelBWTotals(ctx, &processUpload, &domainUpload, &processDownload,
                                       &domainDownload);
        const uint64_t total = processDownload + domainDownload;  // bits
        if (FAILED(hr)) {
            LogError("GetInternetDownloadStats: GetTarnelBWTotals() FAILED, hr = ", hr);
        } else if (ctx.firstSample != 0) {
            // The first read only sets the base.
            ctx.firstSample = 0;
            ctx.mbps_MMA = ctx.mbps;
        } else {
            const int64_t frequency = platform::PerfFrequency();
            const int64_t micros = TicksToMicroseconds(now - lastSampleTicks, frequency);
            const double seconds = static_cast<double>(micros) / kMicrosecondsPerSecond;
            if (total < ctx.lastCombinedTotal) {
                LogError("GetInternetDownloadStats: _DISCONTINUITY_ last ", total, " < ",
                         ctx.lastCombinedTotal);
            } else if (micros > 0) {
                // A clock that did not move has no rate; inf or NaN would
                // stay in the moving average for good.
                const double rate =
                    static_cast<double>(total - ctx.lastCombinedTotal) / seconds / kBitsPerMegabit;
                ctx.processDomainMbps = ctx.mbps = rate;
                ctx.mbps_MMA = (2 * ctx.mbps_MMA + rate) / 3;
            }
            if (processDownload >= ctx.lastProcessTotal && micros > 0) {
                ctx.processOnlyMbps = static_cast<double>(processDownload - ctx.lastProcessTotal) /
                                      seconds / kBitsPerMegabit;
            }
        }
        ctx.lastCombinedTotal = total;
        ctx.lastProcessTotal = processDownload;
        lastSampleTicks = now;
        return hr;
    } catch (const ComError& e) {
        LogError("GetInternetDownloadStats: EXCEPTION, hr = ", e.Error());
        lastSampleTicks = now;
        return e.Error();
    }
}

void ResetShaperForTest() {
    // The limits build on the gateways, which build on the binding: this
    // reset of the whole logic sits at the top and empties every layer.
    ResetBindingForTest();
    ResetGatewaysForTest();
    gProcessListTotals.clear();
    gDomainListTotals.clear();
    for (int64_t& ticks : gLastDownloadSampleTicks) ticks = 0;
}
