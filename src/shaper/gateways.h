// Discovering the Corvane network service's gateways into the slots, and
// checking that the service still sees the gateways discovered. Both work
// through the interfaces that binding.h binds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shaper/binding.h"
#include "shaper/interfaces.h"
#include "slots/isp_ctx.h"

// The gateways of the last successful GetNetworkInfoList read, in the
// service's order: four parallel columns, entry i of each describes one gateway.
struct GatewayList {
    std::vector<int32_t> ids;  // negative = a gateway the service calls bad
    std::vector<uint64_t>
        downloadBps;                  // bps; the service's "not set" (-1) reads as INVALID_DLBW_BPS
    std::vector<uint64_t> uploadBps;  // bps; likewise
    std::vector<std::wstring> macTexts;  // the gateway's MAC address text

    size_t size() const { return ids.size(); }
    void clear();
};

extern GatewayList gGatewayList;
// "Gateways:" then " <id>" for each gateway of gGatewayList, signed decimal.
extern std::string gTarnelGatewaysFingerprint;
// IDs >= 0 in gGatewayList at the last ValidateGateways.
extern int32_t gValidGatewayCount;

// Rereads gGatewayList and gTarnelGatewaysFingerprint from the service.
HRESULT GetGatewayIDs(const ComPtr<INetworkManager>& nm);

// Counts the gateways with an ID >= 0 into gValidGatewayCount; raises
// ComError(E_UNEXPECTED) when there is none.
void ValidateGateways();

// Reads the gateways and fills one slot per gateway (at most kMaxIsps), then
// finds each gateway's interfaces, device IDs and interface index. 0 when the
// slots are filled; on a failed gateway read it drops g_pINetworkManager so
// that the next InitTarnelHelper binds again.
HRESULT DiscoverGateways();

// Validates all kMaxIsps slots against the service's current gateways.
HRESULT ValidateDLBWForISPs();

// Validates `count` slots from `slots`: sets each matching slot's `active`
// and fails with E_FAIL when a gateway's download limit or MAC differs from
// the slot's, when gateways came or went, or when no gateway has a download
// bandwidth. Otherwise the service's success code.
HRESULT ValidateDLBWForISPsInternal(const ComPtr<INetworkManager>& nm, IspCtx* slots, size_t count);

// Tests: the gateway list, its fingerprint and the valid count emptied.
void ResetGatewaysForTest();
