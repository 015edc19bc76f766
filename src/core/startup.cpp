// Start-up and shutdown: signal handlers, the log, the process-wide services
// and the registry parameters, then the monitor loop until an abort.
#include "core/startup.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "config/registry_params.h"
#include "core/monitor.h"
#include "log/console_print.h"
#include "log/logger.h"
#include "platform/bus.h"
#include "platform/clock.h"
#include "platform/identity.h"
#include "platform/signals.h"
#include "platform/socket.h"
#include "probe/budget.h"
#include "process/process.h"
#include "report/report.h"
#include "speedtest/http_exchange.h"

namespace {

constexpr uint32_t kLockSpinCount = 1024;
constexpr unsigned short kWinsockVersion = 0x0202;

void Shutdown() {
    if (gProbeCountReportHours != kNoProbeCountReport) {
        LogDebug("Reporting Probe counts before EXITING.");
        ReportProbeCounts();
    }
    LogDebug("Exiting...");
    if (gGlobalsInitialised) {
        gDLLock.Delete();
        gPCRLock.Delete();
    }
    if (gWinsockStarted) platform::WSACleanup();
    platform::CoUninitialize();
}

}  // namespace

bool NetworkInitialize() {
    int result = platform::WSAStartup(kWinsockVersion);
    if (result != 0) {
        ConsolePrintf(L"WSAStartup failed: %d\n", result);
        return false;
    }
    gWinsockStarted = true;
    return true;
}

bool InitProbeGlobals() {
    char name[16] = {};
    uint32_t size = sizeof(name);
    if (platform::GetComputerNameA(name, &size)) gComputerName = name;
    LogDebug("COMPUTERNAME: ", gComputerName);

    int32_t hr = platform::CoInitialize();
    if (hr < 0) {
        ConsolePrintf(L"CoInitialize FAILED: 0x%08x\n", static_cast<unsigned>(hr));
        return false;
    }

    gRunGuid = CreateGUIDStr();
    if (gRunGuid.empty()) {
        ConsolePrintf(L"CreateGUIDStr FAILED\n");
        return false;
    }

    InitOrUpdateProbeBudgetTiming(true);
    platform::gPerfFrequency = platform::QueryPerformanceFrequency();

    if (int error = gDLLock.InitializeAndSpinCount(kLockSpinCount); error != 0) {
        ConsolePrintf(L"InitializeCriticalSection (DL) error: %u\n", static_cast<unsigned>(error));
        return false;
    }
    if (int error = gPCRLock.InitializeAndSpinCount(kLockSpinCount); error != 0) {
        ConsolePrintf(L"InitializeCriticalSection (PCR) error: %u\n", static_cast<unsigned>(error));
        return false;
    }
    if (!NetworkInitialize()) {
        // The socket library leaves no error of its own to show here.
        ConsolePrintf(L"NetworkInitialize (DL) error: %u\n", 0u);
        return false;
    }

    ReadDeferralTimeSecs();
    InitOtherRegistry();
    gGlobalsInitialised = true;
    std::srand(static_cast<unsigned>(platform::QueryPerformanceCounter() & 0xFFFFFFFF));
    return true;
}

int SandrowMain() {
    platform::InstallSignalHandler(SIGABRT, SignalHandler);
    platform::InstallSignalHandler(SIGINT, SignalHandler);
    platform::InstallSignalHandler(SIGTERM, SignalHandler);  // how Linux stops a service
    platform::IgnoreBrokenPipe();

    if (AbortRequested()) {
        ConsolePrintf("Immediate Abort\n");
        return 1;
    }

    InitLogger();
    LogDebug(kProgramName, " v", kProgramVersion);
    LogDebug("Registry path: [HKLM] ", kRegistrySubkeyText);

    if (AbortRequested()) {
        ConsolePrintf("Early Abort\n");
        return 1;
    }
    if (!InitProbeGlobals()) {
        ConsolePrintf(L"InitProbeGlobals() failed\n");
        return 1;
    }

    if (AbortRequested()) {
        ConsolePrintf("Pre-Monitor Abort\n");
    } else {
        LogDebug("Registry path: JUMP-TO-TARGET Active.");
        if (gENABLE_JTFA) {
            LogDebug(
                "Registry path: JUMP-TO-FLOOR-ALWAYS Active. [overrides JUMP-TO-TARGET & "
                "JUMP-TO-FLOOR]");
        }
        DoApertureMonitor();
    }

    Shutdown();
    return 0;
}
