// The texts the lab hands out and takes in: HTTP answers, the registry hive,
// sandrow's time zone, and the collector's form.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "lab/scenario.h"

namespace lab {

// A whole HTTP/1.1 answer with Content-Length and "Connection: close".
std::string HttpResponse(int status, const std::string& body,
                         const std::string& contentType = "text/plain");
const char* StatusText(int status);

// The hive file in the registry export syntax, CR LF line ends.
std::string HiveText(const std::vector<std::pair<std::string, uint32_t>>& values);

// A POSIX TZ value that makes local time read clock.minute:clock.second at
// `start` (UTC seconds) and, with a jump, move forward by clock.jumpSeconds
// at start + clock.jumpAt (as a daylight-saving start would). Empty when the
// clock is not set.
std::string ClockTimeZone(const ClockSetup& clock, std::time_t start);

// The fields of one probe-count report that the lab keeps.
struct ReportForm {
    std::string machineName;
    std::string macAddress;
    std::string gatewayMac;
    std::optional<uint64_t> probes;  // "numberofprobes"
    std::optional<uint64_t> currentBandwidth;
    std::optional<uint64_t> initialBandwidth;
    std::string version;
};
// Reads a multipart/form-data body; the boundary comes from the Content-Type
// header value. False when the body is not such a form.
bool ParseReportForm(const std::string& contentType, const std::string& body, ReportForm* form);

}  // namespace lab
