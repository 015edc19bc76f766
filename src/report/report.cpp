// Probe-count reporting.
#include "report/report.h"

bool gLastReportFailed = false;

// Placeholder until the speed-test and reporting issue lands: nothing is sent.
void ReportProbeCounts() {}
