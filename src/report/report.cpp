// Probe-count reporting.
#include "report/report.h"

// Placeholder until the speed-test and reporting issue lands: nothing is sent.
void ReportProbeCounts() {}
