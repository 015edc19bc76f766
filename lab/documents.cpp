// The lab's answers, hive text, time zone and form reader.
#include "lab/documents.h"

#include <charconv>
#include <cstdio>
#include <sstream>

namespace lab {
namespace {

constexpr int kSecondsPerHour = 3600;
constexpr int kSecondsPerDay = 86400;
// glibc reads rule times up to 167 hours; the daylight time ends this many
// hours after it starts, long after any lab run.
constexpr int kDaylightHours = 100;

// "+h:mm:ss" / "-h:mm:ss" for a POSIX TZ offset (positive west of Greenwich).
std::string Offset(long seconds) {
    char sign = seconds < 0 ? '-' : '+';
    long a = seconds < 0 ? -seconds : seconds;
    char text[32];
    std::snprintf(text, sizeof text, "%c%ld:%02ld:%02ld", sign, a / 3600, a / 60 % 60, a % 60);
    return text;
}

// A rule "n/hh:mm:ss": zero-based day of the year (leap days counted) and the
// time of day, both of the instant `at` seen in local time `offset` (west).
std::string Rule(std::time_t at, long offset, int extraHours) {
    std::time_t local = at - offset;
    std::tm t{};
    gmtime_r(&local, &t);
    char text[48];
    std::snprintf(text, sizeof text, "%d/%d:%02d:%02d", t.tm_yday, t.tm_hour + extraHours, t.tm_min,
                  t.tm_sec);
    return text;
}

std::optional<uint64_t> Unsigned(const std::string& text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

const char* StatusText(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string HttpResponse(int status, const std::string& body, const std::string& contentType) {
    std::ostringstream out;
    out << "HTTP/1.1 " << status << " " << StatusText(status) << "\r\n"
        << "Content-Type: " << contentType << "\r\n"
        << "Content-Length: " << body.size() << "\r\n"
        << "Connection: close\r\n\r\n"
        << body;
    return out.str();
}

std::string HiveText(const std::vector<std::pair<std::string, uint32_t>>& values) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; Written by sandrow-lab from the scenario's [registry] section.\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellworth\\Mervix]\r\n";
    for (const auto& [name, value] : values) {
        char dword[16];
        std::snprintf(dword, sizeof dword, "%08x", value);
        text += "\"" + name + "\"=dword:" + dword + "\r\n";
    }
    return text;
}

std::string ClockTimeZone(const ClockSetup& clock, std::time_t start) {
    if (!clock.set) return "";
    // Local = UTC - offset: pick the offset (under an hour either way) that
    // turns the UTC minute and second of `start` into the wanted ones.
    long utcInHour = static_cast<long>(start % kSecondsPerHour);
    long wanted = clock.minute * 60L + clock.second;
    long offset = utcInHour - wanted;
    std::string tz = "LAB" + Offset(offset);
    if (clock.jumpAt >= 0 && clock.jumpSeconds > 0) {
        std::time_t at = start + static_cast<std::time_t>(clock.jumpAt);
        long daylight = offset - clock.jumpSeconds;
        tz += "LDT" + Offset(daylight) + "," + Rule(at, offset, 0) + "," +
              Rule(at, daylight, kDaylightHours);
    }
    static_assert(kDaylightHours * kSecondsPerHour > kSecondsPerDay);
    return tz;
}

bool ParseReportForm(const std::string& contentType, const std::string& body, ReportForm* form) {
    *form = ReportForm{};
    size_t b = contentType.find("boundary=");
    if (contentType.find("multipart/form-data") == std::string::npos || b == std::string::npos) {
        return false;
    }
    std::string boundary = contentType.substr(b + 9);
    while (!boundary.empty() && (boundary.back() == '\r' || boundary.back() == ' ')) {
        boundary.pop_back();
    }
    if (boundary.empty()) return false;
    const std::string delimiter = "--" + boundary;
    size_t pos = body.find(delimiter);
    if (pos == std::string::npos) return false;
    bool any = false;
    for (;;) {
        pos += delimiter.size();
        if (body.compare(pos, 2, "--") == 0) break;  // the closing delimiter
        size_t headerEnd = body.find("\r\n\r\n", pos);
        size_t next = body.find("\r\n" + delimiter, pos);
        if (headerEnd == std::string::npos || next == std::string::npos || headerEnd > next) break;
        std::string headers = body.substr(pos, headerEnd - pos);
        std::string value = body.substr(headerEnd + 4, next - headerEnd - 4);
        size_t n = headers.find("name=\"");
        if (n != std::string::npos) {
            size_t end = headers.find('"', n + 6);
            std::string name = headers.substr(n + 6, end == std::string::npos ? 0 : end - n - 6);
            any = true;
            if (name == "machinename") form->machineName = value;
            if (name == "macaddress") form->macAddress = value;
            if (name == "gatewaymac") form->gatewayMac = value;
            if (name == "numberofprobes") form->probes = Unsigned(value);
            if (name == "currentbandwidth") form->currentBandwidth = Unsigned(value);
            if (name == "initialbandwidth") form->initialBandwidth = Unsigned(value);
            if (name == "varnelversion") form->version = value;
        }
        pos = next + 2;
    }
    return any;
}

}  // namespace lab
