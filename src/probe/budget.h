// The monthly probe budget: probes per month, day and hour, the eight
// partitions of the hour with their moving allowance, the top-of-hour reset
// and the schedule of the probe-count report.
#pragma once

#include <cstdint>

#include "slots/isp_ctx.h"

inline constexpr uint64_t kBytesPerProbe = 1139;
inline constexpr uint32_t kPartitionsPerHour = 8;
inline constexpr uint16_t kNoPartitionAcked = 0xFFFF;

extern uint32_t gProbeMonthBudgetMB;  // registry value; 0 = not read yet
extern bool gUnlimitedProbing;
extern uint64_t gProbeBudgetBytes;  // per month
extern uint64_t gProbesPerMonth;
extern uint64_t gProbesPerDay;
extern uint64_t gProbesPerHour;
// Probes each gateway may send from the top of the hour to the end of the
// current partition.
extern uint64_t gMovingProbesPerPartitionedHourLimit;
extern uint16_t gAckedPartitionMinute;  // start minute of the partition handled
extern bool gNewMonthArmed;
extern bool gHourArmed;
extern uint32_t gReportHourCounter;
extern int32_t gSendProbeCountReportThisMinute;  // -1 = no report due
extern bool gUnlimitedLogged;

// `first` is true for the one call at start-up. Returns true when the caller
// should call again after the next tick (the minute before a partition
// starts), false when after 30 ticks.
bool InitOrUpdateProbeBudgetTiming(bool first);
inline constexpr uint32_t kBudgetEveryTick = 1;
inline constexpr uint32_t kBudgetEveryHalfMinute = 30;

// True when ctx may not send another probe in this partition.
bool ProbeBudgetExceeded(IspCtx& ctx);

// True when it has just opened the partition that starts at `minute`.
bool CheckStartOfNewParitionOfTheHour(uint16_t minute);
bool IsMinuteBeforeStartOfNewParitionOfTheHour(uint16_t minute);
void ResetISPHourlyCounters();

uint32_t DaysInMonth(uint16_t year, uint16_t month);

void ResetBudgetForTest();
