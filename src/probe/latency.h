// The latency probe: one timed HTTP request to the chosen speed-test server,
// pinned to the gateway's interface by a temporary route to the server's /24.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/route.h"
#include "slots/isp_ctx.h"

inline constexpr int32_t kProbeAnswered = 0;
inline constexpr int32_t kProbeNoAnswer = -1;
inline constexpr int32_t kProbeOverBudget = 1;
inline constexpr int32_t kProbeDeferred = 2;

// Probes `host` for the slot. *checkBudget and *allowDeferral ask for those
// tests (1) or skip them (0); on return a flag is still 1 only when its test
// stopped the probe. 0: *seconds holds the time to the first byte; -1: no
// answer; 1: over budget, nothing sent; 2: deferred, nothing sent.
int32_t MeasureHostLatency(IspCtx& ctx, const std::string& host, double* seconds,
                           std::string_view tag, uint8_t* allowDeferral, uint8_t* checkBudget);

// The route that pins the probe in flight; all zero while none exists.
extern platform::IpForwardRow gProbeRoute;

// Adds the route to destination/mask (network byte order) through the
// interface's default next hop, one metric above the interface's.
bool CreateProbeRoute(uint32_t interfaceIndex, uint32_t destination, uint32_t mask);

// The next hop (network byte order) of the interface's last default route in
// table order, or 0xFFFFFFFF when it has none or the table cannot be read.
uint32_t GetIPv4DefaultGateway(uint32_t interfaceIndex);

// The timed exchange the probe uses; tests replace it. An empty function
// restores the real one.
using LatencyExchange =
    std::function<int(const std::string& host, const std::string& request, double* seconds)>;
void SetLatencyExchangeForTest(LatencyExchange exchange);

void ResetLatencyForTest();
