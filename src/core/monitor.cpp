// The aperture monitor loop: find a probe server once, then discover the
// gateways and run one probe cycle per gateway every second, rediscovering
// after every restart cause.
#include "core/monitor.h"

#include <mutex>
#include <string>
#include <vector>

#include "aperture/moves.h"
#include "aperture/probe_cycle.h"
#include "config/registry_params.h"
#include "log/console_print.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/notify.h"
#include "probe/budget.h"
#include "process/process.h"
#include "shaper/binding.h"
#include "shaper/gateways.h"
#include "slots/isp_ctx.h"
#include "speedtest/best_server.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"

namespace {

constexpr uint32_t kRetryMs = 2000;        // configuration, server list, discovery
constexpr uint32_t kServiceLostMs = 3000;  // after losing the service or validation
constexpr uint32_t kTickMs = 1000;
constexpr int kServerListAttempts = 3;
constexpr uint32_t kFailedCyclesBeforeRestart = 3;

// Sleeps with the abort test before and after; true when an abort came.
// Every wait of the loop passes here, so the watchdog hears from it also
// while the directory or the service keeps it waiting.
bool SleepOrAbort(uint32_t ms) {
    platform::PingWatchdogIfDue();
    if (AbortRequested()) return true;
    platform::Sleep(ms);
    return AbortRequested();
}

enum class Phase1 { ServerChosen, Aborted };

// Finds the probe server: configuration, nearest servers, the best of them.
Phase1 FindProbeServer(std::vector<ServerRecord>& servers, std::string* probeHost) {
    bool firstFailure = true;
    platform::NotifyStatus("asking the speed-test directory for the probe servers");
    for (;;) {
        if (GetConfig(firstFailure ? 1 : 0) != 0) {
            platform::NotifyStatus(
                "waiting for the speed-test directory (SANDROW_DIRECTORY_HOST) to answer");
            if (firstFailure) {
                firstFailure = false;
                ConsolePrintf(
                    L"DoApertureMonitor(): Failed to retrieve Speedtest server configuration, "
                    L"waiting...\n");
                LogError(
                    "DoApertureMonitor(): Failed to retrieve Speedtest server configuration, "
                    "waiting...");
            }
            if (SleepOrAbort(kRetryMs)) return Phase1::Aborted;
            continue;
        }
        firstFailure = true;

        bool listed = false;
        bool firstListError = true;
        for (int attempt = 0; attempt < kServerListAttempts && !listed; ++attempt) {
            if (AbortRequested()) return Phase1::Aborted;
            if (GetClosestServers(servers) == 0) {
                ConsolePrintf(L"DoApertureMonitor():[GetClosestServers] Succeeded\n");
                LogError("DoApertureMonitor():[GetClosestServers] Succeeded");
                ClearLastErrorText();
                listed = true;
                break;
            }
            std::string error;
            if (firstListError && TakeLastErrorText(&error)) {
                firstListError = false;
                ConsolePrintf(L"DoApertureMonitor():[GetClosestServers] Error %hs\n",
                              error.c_str());
                LogError("DoApertureMonitor():[GetClosestServers] Error ", error);
            }
        }
        if (!listed) {
            platform::NotifyStatus("waiting for the speed-test directory's server list");
            if (SleepOrAbort(kRetryMs)) return Phase1::Aborted;
            ClearLastErrorText();
            continue;
        }

        const int best = GetBestServer(servers);
        if (best < 0) {
            platform::NotifyStatus("no probe server answers (the directory's targets)");
            ConsolePrintf(L"DoApertureMonitor(): Failed to find best servers.\n");
            LogError("DoApertureMonitor(): Failed to find best servers.");
            continue;
        }
        std::string error;
        if (TakeLastErrorText(&error)) {
            // An error stored while an index still came back: not trusted.
            ConsolePrintf(L"DoApertureMonitor():[GetBestServer] Fatal Error %hs\n", error.c_str());
            LogError("DoApertureMonitor():[GetBestServer] Fatal Error ", error);
            continue;
        }
        ServerRecord& chosen = servers[static_cast<size_t>(best)];
        *probeHost = chosen["host"];
        const std::string& path = chosen["pathForGet"];
        const bool isMini = chosen["url"].find("/mini/") != std::string::npos;
        LogDebug("Probe Host=", *probeHost, ", pPathForGet=", path, ", IsMini=", isMini);
        return Phase1::ServerChosen;
    }
}

// Waits for the service, binds and discovers; false on an abort.
bool DiscoverUntilFound() {
    bool firstBindError = true;
    for (;;) {
        while (!CorvaneServiceRunning()) {
            platform::NotifyStatus("waiting for corvane-service on the bus");
            if (SleepOrAbort(kRetryMs)) return false;
        }
        const bool unbound = AnyShaperInterfaceUnbound();
        HRESULT hr = InitTarnelHelper();
        if (FAILED(hr)) {
            platform::NotifyStatus("waiting for corvane-service to answer");
            if (firstBindError) {
                firstBindError = false;
                ConsolePrintf(L"DoApertureMonitor: InitTarnelHelper() FAILED: 0x%08x\n",
                              static_cast<unsigned>(hr));
                LogError("DoApertureMonitor: InitTarnelHelper() FAILED: ", hr);
            }
            if (SleepOrAbort(kRetryMs)) return false;
            continue;
        }
        if (unbound) {
            ConsolePrintf(L"DoApertureMonitor: InitTarnelHelper() successful\n");
            LogError("DoApertureMonitor: InitTarnelHelper() successful ");
        }
        hr = DiscoverGateways();
        if (hr == 0) return true;
        platform::NotifyStatus("waiting for an internet gateway that corvane-service shapes");
        ConsolePrintf(L"\nInvalid internet gateways, waiting... [0x%08x]\n",
                      static_cast<unsigned>(hr));
        if (SleepOrAbort(kRetryMs)) return false;
    }
}

enum class Pass { Done, Aborted, Failed };

// One pass of the probe cycle over the active slots. A slot that failed too
// many cycles in a row puts every limit back and asks for a restart.
Pass ProbeActiveSlots(const std::string& probeHost) {
    for (size_t i = 0; i < kMaxIsps; ++i) {
        if (AbortRequested()) return Pass::Aborted;
        IspCtx& ctx = gIspCtx[i];
        if (ctx.G < 0 || ctx.active == 0) continue;
        if (!FAILED(CheckAndProbeISP(ctx, probeHost)) ||
            ++ctx.failureCount < kFailedCyclesBeforeRestart) {
            continue;
        }
        ConsolePrintf(L"\nCheckAndProbeISP(isp=%i, G=%i) failed (restarting service...)\n",
                      static_cast<int>(i), ctx.G);
        LogError("CheckAndProbeISP(isp=", i, ", G=", ctx.G, ") failed(restarting service...)");
        for (IspCtx& other : gIspCtx) {
            if (other.G >= 0 && other.active != 0) RestoreMaxBW(other);
        }
        platform::Sleep(kRetryMs);
        return Pass::Failed;
    }
    return Pass::Done;
}

}  // namespace

int32_t DoApertureMonitor() {
    // Ready as soon as it runs: what it waits for (the directory, the shaper,
    // a gateway), which may take any time, is its status, and a start never
    // hangs the service manager's caller.
    platform::NotifyReady();
    std::vector<ServerRecord> servers;  // only grows: every pass appends its nearest servers
    std::string probeHost;
    if (FindProbeServer(servers, &probeHost) == Phase1::Aborted) return 1;

    // The budget refresh cadence survives restarts of the gateway phase.
    uint32_t tickCounter = 0;
    uint32_t tickLimit = kBudgetEveryTick;
    for (;;) {
        if (gAbortRequested.load(std::memory_order_relaxed)) return 1;
        ReinitIspContexts();
        LogDebug("Discovering internet gateways... [block here if none found]");
        if (!DiscoverUntilFound()) return 1;

        ConsolePrintf(L"\nFound internet gateway(s) %u / %u\n",
                      static_cast<unsigned>(gValidGatewayCount),
                      static_cast<unsigned>(gGatewayList.size()));
        LogDebug("Found internet gateway(s) ", gValidGatewayCount, " / ", gGatewayList.size());
        ConsolePrintf(L"\nMonitoring internet traffic...\n");
        LogDebug("Monitoring internet traffic...");
        platform::NotifyStatus("monitoring " + std::to_string(gValidGatewayCount) + " of " +
                               std::to_string(gGatewayList.size()) + " gateways");

        for (;;) {
            platform::PingWatchdogIfDue();
            if (AbortRequested()) return 0;
            RefreshRegDebugLevel();
            if (!CorvaneServiceRunning()) {
                ConsolePrintf(
                    L"\nCorvane/Varnel Network Service not found, restarting service...)\n");
                LogError("Corvane/Varnel Network Service not found, restarting service...)");
                platform::Sleep(kServiceLostMs);
                break;
            }
            if (ValidateDLBWForISPs() != 0) {
                ConsolePrintf(
                    L"\nValidateDLBWForISPs() Failed (Either settings changed unexpectedly or "
                    L"DLBW not set at all, restarting service...)\n");
                LogError(
                    "ValidateDLBWForISPs() failed (Either settings changed unexpectedly or DLBW "
                    "not set at all, restarting service...)");
                platform::Sleep(kServiceLostMs);
                break;
            }

            const uint64_t start = platform::GetTickCount64();
            const Pass pass = ProbeActiveSlots(probeHost);
            if (pass == Pass::Aborted) return 1;
            if (pass == Pass::Failed) break;

            const uint64_t elapsed = platform::GetTickCount64() - start;
            if (elapsed < kTickMs) platform::Sleep(static_cast<uint32_t>(kTickMs - elapsed));
            if (++tickCounter >= tickLimit) {
                tickCounter = 0;
                tickLimit = InitOrUpdateProbeBudgetTiming(false) ? kBudgetEveryTick
                                                                 : kBudgetEveryHalfMinute;
            }
        }
        if (platform::KbHit()) return 1;
    }
}
