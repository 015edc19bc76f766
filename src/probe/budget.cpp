// Probe budget timing: called at start-up and then every tick or every 30
// ticks by the monitor loop, always on the main thread.
#include "probe/budget.h"

#include <cstdlib>

#include "config/registry_params.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "report/report.h"

namespace {

constexpr uint32_t kDefaultBudgetMB = 30;
constexpr uint32_t kBudgetUnlimited = 0xFFFFFFFF;
constexpr uint64_t kBytesPerMB = 1000000;
constexpr uint64_t kHoursPerDay = 24;
constexpr uint64_t kInitialBudgetBytes = 30000000;

uint16_t PartitionStartMinute(uint32_t partition) {
    return static_cast<uint16_t>(partition * 60 / kPartitionsPerHour);
}

void ReadBudget() {
    uint32_t value = 0;
    if (ReadRegistryDWORDParameter(L"VormProbeMonthBudgetMB", &value)) {
        gProbeMonthBudgetMB = value;
        if (value != 0) {
            gUnlimitedProbing = false;
            gProbeBudgetBytes = static_cast<uint64_t>(value) * kBytesPerMB;
            gProbesPerMonth = gProbeBudgetBytes / kBytesPerProbe;
        } else {
            gUnlimitedProbing = true;
            gProbeMonthBudgetMB = kBudgetUnlimited;
        }
    } else {
        gProbeMonthBudgetMB = kDefaultBudgetMB;
        gUnlimitedProbing = true;
    }
}

}  // namespace

uint32_t gProbeMonthBudgetMB = 0;
bool gUnlimitedProbing = false;
uint64_t gProbeBudgetBytes = kInitialBudgetBytes;
uint64_t gProbesPerMonth = kInitialBudgetBytes / kBytesPerProbe;
uint64_t gProbesPerDay = 0;
uint64_t gProbesPerHour = 0;
uint64_t gMovingProbesPerPartitionedHourLimit = 0;
uint16_t gAckedPartitionMinute = kNoPartitionAcked;
bool gNewMonthArmed = true;
bool gHourArmed = true;
uint32_t gReportHourCounter = 0;
int32_t gSendProbeCountReportThisMinute = -1;
bool gUnlimitedLogged = false;

uint32_t DaysInMonth(uint16_t year, uint16_t month) {
    static constexpr uint32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 31;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

void ResetISPHourlyCounters() {
    for (IspCtx& ctx : gIspCtx) {
        if (ctx.G < 0) continue;
        ctx.ProbeCountHourCheckpoint = ctx.gProbeCount;
        ctx.gProbesSentThisHour = 0;
        LogDebug("[G ", ctx.G, "] ResetISPHourlyCounters: SET: ProbeCountHourCheckpoint = ",
                 ctx.ProbeCountHourCheckpoint, ", gProbesSentThisHour = ", 0,
                 ", gMovingProbesPerPartitionedHourLimit = ", gMovingProbesPerPartitionedHourLimit);
    }
}

bool CheckStartOfNewParitionOfTheHour(uint16_t minute) {
    uint32_t found = kPartitionsPerHour;
    for (uint32_t i = 0; i < kPartitionsPerHour; ++i) {
        uint16_t start = PartitionStartMinute(i);
        if (start > minute) break;
        if (start == minute) {
            found = i;
            break;
        }
    }
    if (found == kPartitionsPerHour) {
        gAckedPartitionMinute = kNoPartitionAcked;
        return false;
    }
    if (gAckedPartitionMinute == minute) return false;
    gAckedPartitionMinute = minute;
    gMovingProbesPerPartitionedHourLimit = ((found + 1) * gProbesPerHour) / kPartitionsPerHour;
    for (IspCtx& ctx : gIspCtx) {
        if (ctx.G >= 0) ctx.budgetLogged = 0;
    }
    return true;
}

bool IsMinuteBeforeStartOfNewParitionOfTheHour(uint16_t minute) {
    for (uint32_t i = 1; i <= kPartitionsPerHour; ++i) {
        // The partition after the last is the next hour's first, at minute 60.
        uint16_t start = i < kPartitionsPerHour ? PartitionStartMinute(i) : 60;
        if (minute + 1 == start) return true;
    }
    return false;
}

bool InitOrUpdateProbeBudgetTiming(bool first) {
    const platform::LocalTime now = platform::GetLocalTime();

    if (gProbeMonthBudgetMB == 0) ReadBudget();
    if (gUnlimitedProbing && !gUnlimitedLogged) {
        gUnlimitedLogged = true;
        LogDebug("InitOrUpdateProbeBudgetTiming: Unlimited Probing is enabled.");
    }

    if (first || (now.day == 1 && gNewMonthArmed)) {
        uint32_t days = DaysInMonth(now.year, now.month);
        gProbesPerDay = gProbesPerMonth / days;
        gProbesPerHour = gProbesPerDay / kHoursPerDay;
        const char* when = "InitOrUpdateProbeBudgetTiming:[MONTH MIDDLE] ";
        if (now.day == 1) {
            when = "InitOrUpdateProbeBudgetTiming:[NEW MONTH] ";
            gNewMonthArmed = false;
        }
        LogDebug(when, gProbesPerMonth, "/month, ", gProbesPerDay, "/day [NEW] -- month ",
                 now.month, ", day ", now.day, ", year ", now.year, ", days ", days);
    }

    const bool topOfHour = now.minute == 0 && gHourArmed;
    if (first || topOfHour) {
        ResetISPHourlyCounters();
        if (gMovingProbesPerPartitionedHourLimit == 0) {
            gMovingProbesPerPartitionedHourLimit = gProbesPerHour / kPartitionsPerHour;
        }
        if (topOfHour) {
            gHourArmed = false;
            ++gReportHourCounter;
            if (gProbeCountReportHours != kNoProbeCountReport &&
                gReportHourCounter >= gProbeCountReportHours) {
                gReportHourCounter = 0;
                gSendProbeCountReportThisMinute = std::rand() % 60;
                LogDebug("InitOrUpdateProbeBudgetTiming: set gSendProbeCountReportThisMinute = ",
                         gSendProbeCountReportThisMinute);
            }
        }
    }

    if (now.second == 0 && gLastReportFailed && gSendProbeCountReportThisMinute < 0) {
        gSendProbeCountReportThisMinute = now.minute;
        gLastReportFailed = false;
        LogDebug(
            "InitOrUpdateProbeBudgetTiming: [LAST REPORT FAILED] set "
            "gSendProbeCountReportThisMinute = ",
            gSendProbeCountReportThisMinute);
    }

    CheckStartOfNewParitionOfTheHour(now.minute);

    if (now.day != 1) gNewMonthArmed = true;
    if (now.minute != 0) gHourArmed = true;

    if (gSendProbeCountReportThisMinute >= 0 && now.minute >= gSendProbeCountReportThisMinute) {
        gSendProbeCountReportThisMinute = -1;
        ReportProbeCounts();
    }
    return IsMinuteBeforeStartOfNewParitionOfTheHour(now.minute);
}

bool ProbeBudgetExceeded(IspCtx& ctx) {
    if (gUnlimitedProbing) return false;
    if (ctx.gProbesSentThisHour < gMovingProbesPerPartitionedHourLimit) return false;
    LogDebug(ctx.budgetLogged == 0 ? "ProbeBudgetExceeded:[1st hr-partition] gProbesSentThisHour "
                                   : "ProbeBudgetExceeded: gProbesSentThisHour ",
             ctx.gProbesSentThisHour, " >= gMovingProbesPerPartitionedHourLimit ",
             gMovingProbesPerPartitionedHourLimit);
    ctx.budgetLogged = 1;
    return true;
}

void ResetBudgetForTest() {
    gProbeMonthBudgetMB = 0;
    gUnlimitedProbing = false;
    gProbeBudgetBytes = kInitialBudgetBytes;
    gProbesPerMonth = kInitialBudgetBytes / kBytesPerProbe;
    gProbesPerDay = 0;
    gProbesPerHour = 0;
    gMovingProbesPerPartitionedHourLimit = 0;
    gAckedPartitionMinute = kNoPartitionAcked;
    gNewMonthArmed = true;
    gHourArmed = true;
    gReportHourCounter = 0;
    gSendProbeCountReportThisMinute = -1;
    gUnlimitedLogged = false;
}
