// Probe budget timing.
#include "probe/budget.h"

// Placeholder until the probing issue lands: no budget is computed and no
// report is scheduled; the monitor is told to come back after 30 ticks.
bool InitOrUpdateProbeBudgetTiming(bool /*first*/) {
    return false;
}
