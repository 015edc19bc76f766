// Reading, range-testing and logging the registry's tuning values.
#include "config/registry_params.h"

#include "log/console_print.h"
#include "log/logger.h"
#include "platform/registry.h"

uint32_t gDeferralTimeSecs = 30;
double gDownloadFloorFactor = 0.7;
uint32_t gAllowUpperLimitGrowth = 1;
double gJumpToFloorThresholdPercentage = 0.9;
uint32_t gIdleTimeRecoveryThresholdSecs = 60;
uint32_t gProbeCountReportHours = kNoProbeCountReport;
bool gENABLE_JTFA = false;
uint32_t gRegDebugLevel = 0;

namespace {

bool gDebugLevelFirstCall = true;

// A percentage of 1 to 100 as a factor.
bool ReadPercentage(const wchar_t* name, uint32_t* value) {
    *value = 0;
    return ReadRegistryDWORDParameter(name, value) && *value >= 1 && *value <= 100;
}

}  // namespace

bool ReadRegistryDWORDParameter(const wchar_t* name, uint32_t* value) {
    using namespace platform;
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HkeyLocalMachine(), kRegistrySubkey, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        WideOut() << L"\n"
                  << L"ReadRegistryDWORDParameter: Error " << status << L" opening hive "
                  << static_cast<const void*>(HkeyLocalMachine()) << L", subkey: "
                  << kRegistrySubkey << L"\n";
        return false;
    }
    DWORD size = sizeof(*value);
    status = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    if (status != ERROR_SUCCESS) {
        WideOut() << L"\n"
                  << L"ReadRegistryDWORDParameter() - RegQueryValueEx: Error " << status
                  << L" reading value: " << name << L"\n";
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void ReadDeferralTimeSecs() {
    uint32_t value = 0;
    if (ReadRegistryDWORDParameter(L"DeferalSecs", &value)) {
        gDeferralTimeSecs = value;
        LogDebug("InitProbeGlobals: SET gDeferralTimeSecs = ", value, " from registry.");
    } else {
        LogDebug("InitProbeGlobals: DEFAULT gDeferralTimeSecs = ", gDeferralTimeSecs);
    }
}

void InitOtherRegistry() {
    uint32_t value = 0;
    if (ReadPercentage(L"FloorPercentage", &value)) {
        gDownloadFloorFactor = value / 100.0;
        LogDebug("InitOtherRegistry: SET gDownloadFloorFactor = ", gDownloadFloorFactor,
                 " from registry [FloorPercentage = ", value, "]");
    } else {
        LogDebug("InitOtherRegistry: DEFAULT gDownloadFloorFactor = ", gDownloadFloorFactor);
    }

    value = 0;
    if (ReadRegistryDWORDParameter(L"AllowGrowUp", &value) && value <= 1) {
        gAllowUpperLimitGrowth = value;
        LogDebug("InitOtherRegistry: SET gAllowUpperLimitGrowth = ", value);
    } else {
        LogDebug("InitOtherRegistry: DEFAULT gAllowUpperLimitGrowth = ", gAllowUpperLimitGrowth);
    }

    if (ReadPercentage(L"JumpToFloorPercentage", &value)) {
        gJumpToFloorThresholdPercentage = value / 100.0;
        LogDebug("InitOtherRegistry: SET gJumpToFloorThresholdPercentage = ",
                 gJumpToFloorThresholdPercentage, " from registry [JumpToFloorPercentage = ", value,
                 "]");
    } else {
        LogDebug("InitOtherRegistry: DEFAULT gJumpToFloorThresholdPercentage = ",
                 gJumpToFloorThresholdPercentage);
    }

    value = 0;
    if (ReadRegistryDWORDParameter(L"IdleRecoverySecs", &value) && value >= 10) {
        gIdleTimeRecoveryThresholdSecs = value;
        LogDebug("InitOtherRegistry: SET gIdleTimeRecoveryThresholdSecs = ", value);
    } else {
        LogDebug("InitOtherRegistry: DEFAULT gIdleTimeRecoveryThresholdSecs = ",
                 gIdleTimeRecoveryThresholdSecs);
    }

    value = 0;
    if (ReadRegistryDWORDParameter(L"ProbeCountReportHours", &value) && value >= 1) {
        gProbeCountReportHours = value;
        LogDebug("InitOtherRegistry: SET gProbeCountReportHours = ", value);
    } else {
        LogDebug("InitOtherRegistry: DEFAULT gProbeCountReportHours = ", gProbeCountReportHours);
    }

    value = 0;
    if (ReadRegistryDWORDParameter(L"JTFA", &value) && value <= 1) {
        gENABLE_JTFA = value == 1;
        LogDebug("InitOtherRegistry: SET gENABLE_JTFA = ", gENABLE_JTFA,
                 " from registry [JTFA = ", value, "]");
    } else {
        LogDebug("InitOtherRegistry: DEFAULT gENABLE_JTFA = ", gENABLE_JTFA);
    }

    RefreshRegDebugLevel();
}

void RefreshRegDebugLevel() {
    uint32_t value = 0;
    if (ReadRegistryDWORDParameter(L"DebugLevel", &value)) {
        if (value != gRegDebugLevel) {
            gRegDebugLevel = value;
            LogDebug("InitOtherRegistry: SET gRegDebugLevel = ", value);
        } else if (gDebugLevelFirstCall) {
            LogDebug("InitOtherRegistry: [INIT] gRegDebugLevel = ", value);
        }
    } else if (gRegDebugLevel != 0) {
        gRegDebugLevel = 0;
        LogDebug("InitOtherRegistry: CLEAR gRegDebugLevel = ", 0);
    } else if (gDebugLevelFirstCall) {
        LogDebug("InitOtherRegistry: DEFAULT gRegDebugLevel = ", 0);
    }
    gDebugLevelFirstCall = false;
}

void ResetConfigForTest() {
    gDeferralTimeSecs = 30;
    gDownloadFloorFactor = 0.7;
    gAllowUpperLimitGrowth = 1;
    gJumpToFloorThresholdPercentage = 0.9;
    gIdleTimeRecoveryThresholdSecs = 60;
    gProbeCountReportHours = kNoProbeCountReport;
    gENABLE_JTFA = false;
    gRegDebugLevel = 0;
    gDebugLevelFirstCall = true;
}
