// The probe-count report to the collector: per active gateway, the probes sent
// since its last successful report, posted as a multipart form.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync.h"

// A report failed to be delivered; written after every report, read and
// cleared by the budget timing, which then retries soon.
extern bool gLastReportFailed;
// Set by the post thread when a post failed; guarded by gPCRLock, which
// start-up initialises and shutdown deletes.
extern uint8_t gPostFailed;
extern platform::CriticalSection gPCRLock;

// What the post thread sends, and where.
struct PostRequest {
    const char* request;
    uint64_t length;  // bytes of `request`
    std::string host;
};

// The collector host, from SANDROW_COLLECTOR_HOST; empty when unset (the
// lookup then fails and the report counts as failed).
std::string CollectorHost();

// Reports the probes sent through each active gateway since its last
// successful report.
void ReportProbeCounts();

// Builds the form and the POST of one gateway's figures (bandwidths in mbps)
// and sends it from a worker thread, waiting for it. 0: delivered; 1: failed;
// -1: no memory for the request.
int doPOSTProbeCounts(const std::string& adapterMac, const std::string& gatewayMac,
                      uint64_t probeCount, double currentMbps, double initialMbps);

// The worker: one blocking exchange with the collector. Success is a reply
// whose chunks say "200 OK" up to the first that does not; anything else sets
// gPostFailed. -1 after a failed lookup, else 1 (nobody reads it).
int PostThread(PostRequest* post);

// Tests: the flags back to their start values.
void ResetReportForTest();
