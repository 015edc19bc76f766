// The probe-count report to the collector.
#pragma once

// A report failed to be delivered; written after every report, read and
// cleared by the budget timing, which then retries soon.
extern bool gLastReportFailed;

// Reports the probes sent through each active gateway since its last
// successful report.
void ReportProbeCounts();
