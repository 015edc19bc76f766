// Setting a gateway's limits in the shaper, and turning the service's traffic
// counters into each slot's download rate and its moving average.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shaper/interfaces.h"
#include "slots/isp_ctx.h"

// One process or domain of a traffic list: its counters as the service shows
// them (bits, cumulative; a counter may restart lower).
struct ListEntry {
    std::wstring name;
    uint64_t upload;
    uint64_t download;
};

// What the program has counted for one name, in bits.
struct ListTotalsRecord {
    uint64_t accumulatedUpload;
    uint64_t accumulatedDownload;
    uint64_t lastUpload;  // the counter as last seen
    uint64_t lastDownload;
};

// Gateway G (as unsigned) -> name (exact) -> its record. Kept for the
// program's life: a name that leaves the list keeps counting in the totals.
using ListTotalsTable = std::map<uint32_t, std::map<std::wstring, ListTotalsRecord>>;

extern ListTotalsTable gProcessListTotals;
extern ListTotalsTable gDomainListTotals;

// High-resolution counter at each slot's last GetInternetDownloadStats; each
// slot measures its own interval. The extra last entry serves a context that
// is not one of gIspCtx.
extern int64_t gLastDownloadSampleTicks[kMaxIsps + 1];

// GetProcessList or GetDomainList of IRulesManager.
using TrafficListOp = HRESULT (IRulesManager::*)(int16_t selector, TrafficListArrays* arrays);

// Sets the slot's gateway to `uploadBps` and `downloadBps` after checking the
// gateway list. A download of INVALID_DLBW_BPS or more is refused with
// E_INVALIDARG before anything is sent; E_UNEXPECTED when the gateways no
// longer validate. On success the slot's last-limit fields follow.
HRESULT SetNetworkLimits(IspCtx& ctx, uint64_t uploadBps, uint64_t downloadBps);

// Reads one traffic list through `op` and keeps the entries carried by one of
// the slot's device IDs, in the service's order.
HRESULT GetTLists(const IspCtx& ctx, std::vector<ListEntry>* list, TrafficListOp op);

// Adds the list's counter growth to the slot's records in `table` and sums
// every record of the slot's gateway: totals that never fall.
void AccumulateListTotals(const IspCtx& ctx, ListTotalsTable& table,
                          const std::vector<ListEntry>& list, uint64_t* uploadTotal,
                          uint64_t* downloadTotal);

// Accumulated process and domain totals of the slot's gateway, in bits.
HRESULT GetTarnelBWTotals(const IspCtx& ctx, uint64_t* processUpload, uint64_t* domainUpload,
                          uint64_t* processDownload, uint64_t* domainDownload);

// This cycle's download rate of the slot (mbps, processes plus domains, and
// processes alone) and its moving average, from the growth of the totals
// since the slot's last call.
HRESULT GetInternetDownloadStats(IspCtx& ctx);

// Tests: every global of the shaper logic emptied (interfaces, gateway list,
// fingerprint, valid count, traffic totals and sample times).
void ResetShaperForTest();
