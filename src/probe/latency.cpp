// The latency probe with its route pinning.
#include "probe/latency.h"

#include <cstring>
#include <mutex>

#include "log/console_print.h"
#include "log/logger.h"
#include "platform/socket.h"
#include "probe/budget.h"
#include "probe/deferral.h"
#include "speedtest/http_exchange.h"

platform::IpForwardRow gProbeRoute{};

namespace {

constexpr uint32_t kNoGateway = 0xFFFFFFFF;

// 255.255.255.0 with its bytes in network order, as the address is kept.
uint32_t Mask24() {
    const uint8_t bytes[4] = {255, 255, 255, 0};
    uint32_t mask = 0;
    std::memcpy(&mask, bytes, sizeof(mask));
    return mask;
}

LatencyExchange gLatencyExchangeOverride;

int TimedExchange(const std::string& host, const std::string& request, double* seconds) {
    if (gLatencyExchangeOverride) return gLatencyExchangeOverride(host, request, seconds);
    return SendMeasureLatencyResponse(host, request, seconds);
}

void SetLookupFailure() {
    SetLastErrorText(kLookupFailureText);
}

}  // namespace

uint32_t GetIPv4DefaultGateway(uint32_t interfaceIndex) {
    std::vector<platform::IpForwardRow> table;
    int error = platform::GetIpForwardTable(&table);
    if (error == platform::kRouteNoMemory) {
        ConsolePrintf("Malloc failed. Out of memory.\n");
        LogError("GetIPv4DefaultGateway: Malloc failed. Out of memory.");
        return kNoGateway;
    }
    if (error != 0) {
        ConsolePrintf("getIpForwardTable failed. 0x%08x\n", static_cast<unsigned>(error));
        LogError("GetIPv4DefaultGateway: GetIpForwardTable() Failed ", error);
        return kNoGateway;
    }
    uint32_t nextHop = kNoGateway;
    for (const platform::IpForwardRow& row : table) {
        // The last default route (0.0.0.0/0: a VPN's 0.0.0.0/1 is none) of
        // the interface in table order wins.
        if (row.ifIndex == interfaceIndex && row.dest == 0 && row.mask == 0) {
            nextHop = row.nextHop;
        }
    }
    return nextHop;
}

bool CreateProbeRoute(uint32_t interfaceIndex, uint32_t destination, uint32_t mask) {
    const uint32_t nextHop = GetIPv4DefaultGateway(interfaceIndex);
    if (nextHop == kNoGateway) {
        ConsolePrintf("GetIPv4DefaultGateway() failed!");
        return false;
    }
    gProbeRoute = platform::IpForwardRow{};
    gProbeRoute.dest = destination;
    gProbeRoute.mask = mask;
    gProbeRoute.nextHop = nextHop;
    gProbeRoute.ifIndex = interfaceIndex;
    gProbeRoute.proto = platform::kRouteProtoNetmgmt;
    gProbeRoute.metric1 = platform::kUnusedMetric;
    platform::IpInterfaceEntry entry{};
    platform::InitializeIpInterfaceEntry(&entry);
    entry.family = platform::AddressFamily::Inet;
    entry.interfaceIndex = interfaceIndex;
    if (platform::GetIpInterfaceEntry(&entry) == 0) gProbeRoute.metric1 = entry.metric + 1;
    gProbeRoute.metric2 = gProbeRoute.metric3 = gProbeRoute.metric4 = gProbeRoute.metric5 =
        platform::kUnusedMetric;
    const int error = platform::CreateIpForwardEntry(gProbeRoute);
    if (error == 0) return true;
    // The row stays filled in, so the probe's clean-up tries (and logs) the deletion too.
    LogError("CreateIpForwardEntry failed! ", error, " [IfIndex=", interfaceIndex, "]");
    return false;
}

int32_t MeasureHostLatency(IspCtx& ctx, const std::string& host, double* seconds,
                           std::string_view tag, uint8_t* allowDeferral, uint8_t* checkBudget) {
    if (*checkBudget != 0 && ProbeBudgetExceeded(ctx)) {
        *allowDeferral = 0;
        return kProbeOverBudget;
    }
    *checkBudget = 0;
    if (*allowDeferral != 0 && CheckProbeIsDeferred(ctx.mbps, ctx.DeferralPoint, tag)) {
        return kProbeDeferred;
    }
    *allowDeferral = 0;

    bool lookedUp = false;
    if (ctx.TargetIfIndex >= 0) {
        uint32_t address = 0;
        if (platform::LookupHostIPv4(host, &address)) {
            lookedUp = true;
            // The server's /24: its first three octets, the fourth set to 0.
            const uint32_t mask = Mask24();
            CreateProbeRoute(static_cast<uint32_t>(ctx.TargetIfIndex), address & mask, mask);
        } else {
            SetLookupFailure();
        }
    }

    ctx.gProbeCount += 1;  // counted before it is sent: a failed probe costs traffic too
    ctx.gProbesSentThisHour = ctx.gProbeCount - ctx.ProbeCountHourCheckpoint;
    LogDebug("[ap ", ctx.aperture, ", G ", ctx.G, ", p's ", ctx.gProbeCount, "][", tag,
             "] Sent Probe [this hour ", ctx.gProbesSentThisHour, "]");

    int32_t result = kProbeAnswered;
    double measured = 0.0;
    if (TimedExchange(host, BuildLatencyRequest(host), &measured) == 0) {
        *seconds = measured;
    } else {
        LogError("MeasureHostLatency: failed to detect latency from : host = ", host);
        ConsolePrintf("MeasureHostLatency: failed to detect latency from: host=%s\n", host.c_str());
        result = kProbeNoAnswer;
    }

    if (lookedUp && gProbeRoute.ifIndex != 0 && gProbeRoute.ifIndex != 0xFFFFFFFF) {
        const int error = platform::DeleteIpForwardEntry(gProbeRoute);
        if (error != 0) LogError("DeleteIpForwardEntry failed! ", error);
    }
    gProbeRoute = platform::IpForwardRow{};  // never leaks into the next probe
    return result;
}

void SetLatencyExchangeForTest(LatencyExchange exchange) {
    gLatencyExchangeOverride = std::move(exchange);
}

void ResetLatencyForTest() {
    gProbeRoute = platform::IpForwardRow{};
    gLatencyExchangeOverride = nullptr;
}
