// The probe-count report to the collector.
#pragma once

// Reports the probes sent through each active gateway since its last
// successful report.
void ReportProbeCounts();
