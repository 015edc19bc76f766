// The monthly probe budget, its hour partitions and the report schedule.
#pragma once

// Recomputes the budget figures and runs the top-of-hour and report timing.
// `first` is true for the one call at start-up. Returns true when the caller
// should call again after the next tick, false after 30 ticks.
bool InitOrUpdateProbeBudgetTiming(bool first);
