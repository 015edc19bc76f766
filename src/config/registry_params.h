// The tuning values of the registry key SOFTWARE\Pellworth\Mervix: each is
// range-tested, falls back to its built-in default and is logged as a SET or a
// DEFAULT line.
#pragma once

#include <cstdint>

inline constexpr const wchar_t* kRegistrySubkey = L"SOFTWARE\\Pellworth\\Mervix";
inline constexpr const char* kRegistrySubkeyText = "SOFTWARE\\Pellworth\\Mervix";
inline constexpr uint32_t kNoProbeCountReport = 0xFFFFFFFF;

extern uint32_t gDeferralTimeSecs;   // s; probe deferral length
extern double gDownloadFloorFactor;  // fraction of the recovery aperture
extern uint32_t
    gAllowUpperLimitGrowth;  // flag: the aperture may grow past the configured bandwidth
extern double gJumpToFloorThresholdPercentage;   // fraction
extern uint32_t gIdleTimeRecoveryThresholdSecs;  // s of idle before recovery
extern uint32_t gProbeCountReportHours;          // h between reports; kNoProbeCountReport = off
extern bool gENABLE_JTFA;                        // jump to the floor on every limit detected
extern uint32_t gRegDebugLevel;                  // 4 and 5 add probe-cycle lines

// Reads the DWORD `name` into *value. Prints the reader's error line on the
// wide standard output when the key cannot be opened or the value not read.
bool ReadRegistryDWORDParameter(const wchar_t* name, uint32_t* value);

// DeferalSecs, read by start-up just before InitOtherRegistry.
void ReadDeferralTimeSecs();

// FloorPercentage, AllowGrowUp, JumpToFloorPercentage, IdleRecoverySecs,
// ProbeCountReportHours and JTFA, in that order, then RefreshRegDebugLevel.
void InitOtherRegistry();

// Re-reads DebugLevel; logs the first value and then only changes.
void RefreshRegDebugLevel();

// Tests: the defaults and the first-call state again.
void ResetConfigForTest();
