// Binding to the Corvane network service, discovering its gateways into the
// slots, and checking that the service still sees the gateways discovered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shaper/interfaces.h"
#include "slots/isp_ctx.h"

// The service's interfaces; empty until InitTarnelHelper binds them.
extern ComPtr<IBandwidthControlManager> g_pIBandwidthControlManager;
extern ComPtr<IFactoryManager> g_pIFactoryManager;
extern ComPtr<INetworkManager> g_pINetworkManager;
extern ComPtr<IConfigurationManager> g_pIConfigurationManager;
extern ComPtr<IRulesManager> g_pIRulesManager;

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

// Binds the service's interfaces; S_OK at once when they are already bound,
// E_FAIL (with a log line naming the step) when a step fails, else the result
// of Initialize.
HRESULT InitTarnelHelper();

// True when any of the bandwidth-control, network, configuration or rules
// interface is unbound: the monitor then binds afresh.
bool AnyShaperInterfaceUnbound();

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

// Interface index of the link with this MAC text ("02-00-00-00-00-01": bytes
// as hexadecimal numbers joined by "-"), -1 when none.
int32_t GetIfIndexFromMAC(const std::string& macText);
// Interface index of the first link with this hardware address (1 to 8 bytes)
// that has IPv4 or IPv6 on, -1 when none.
int32_t GetIfIndexFromMAC(const uint8_t* bytes, uint32_t length);

// Validates all kMaxIsps slots against the service's current gateways.
HRESULT ValidateDLBWForISPs();

// Validates `count` slots from `slots`: sets each matching slot's `active`
// and fails with E_FAIL when a gateway's download limit or MAC differs from
// the slot's, when gateways came or went, or when no gateway has a download
// bandwidth. Otherwise the service's success code.
HRESULT ValidateDLBWForISPsInternal(const ComPtr<INetworkManager>& nm, IspCtx* slots, size_t count);

// Tests: every global of the shaper logic emptied (interfaces, gateway list,
// fingerprint, valid count, traffic totals and sample times).
void ResetShaperForTest();
