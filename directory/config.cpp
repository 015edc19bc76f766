// Reading sandrow-directory's INI file with the service's INI machinery.
#include "directory/config.h"

#include <arpa/inet.h>

#include <set>

#include "service/ini_config.h"

namespace directory {
namespace {

using corvane::IniError;
using corvane::IniSection;
using corvane::IniSectionReader;

// The service's wording, with sections named "[kind label]" however spaced.
constexpr corvane::IniDialect kDialect = [] {
    corvane::IniDialect dialect = corvane::kServiceDialect;
    dialect.headerAsWritten = false;
    return dialect;
}();

constexpr size_t kMaxHostLength = 253;  // a DNS name's limit
constexpr size_t kMaxLabelLength = 63;  // one label of it
constexpr size_t kMaxTargets = 1000;    // far more than sandrow ever looks at (the five nearest)

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsNameCharacter(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

void ReadLocation(IniSectionReader& r, DirectoryConfig* config) {
    if (!r.section().label.empty()) {
        r.Fail(r.section().line, "[location] takes no name, not [" + r.section().name + "]");
    }
    config->location.lat = *r.Number("lat", true, -90, 90);
    config->location.lon = *r.Number("lon", true, -180, 180);
    config->location.isp = r.Text("isp", false).value_or("");
    r.Finish();
}

void ReadTarget(IniSectionReader& r, DirectoryConfig* config) {
    Target t;
    t.name = r.section().label;
    t.line = r.section().line;
    t.host = *r.Text("host", true);
    std::string problem;
    if (!CheckTargetHost(t.host, &problem)) {
        r.Fail(r.LineOf("host"), problem + " (key 'host' in " + r.Where() + ")");
    }
    t.lat = *r.Number("lat", true, -90, 90);
    t.lon = *r.Number("lon", true, -180, 180);
    t.sponsor = r.Text("sponsor", false).value_or("");
    t.country = r.Text("country", false).value_or("");
    t.cc = r.Text("cc", false).value_or("");
    r.Finish();
    config->targets.push_back(std::move(t));
}

}  // namespace

bool CheckTargetHost(const std::string& host, std::string* problem) {
    if (host.find(':') != std::string::npos) {
        *problem = "'" + host +
                   "' carries a port or a scheme: a target is reached on port 80 and sandrow "
                   "looks its host up as written, so give the name or address alone";
        return false;
    }
    bool numeric = true;
    for (char c : host) {
        if (!IsDigit(c) && c != '.') numeric = false;
    }
    if (numeric) {
        in_addr address{};
        // inet_pton takes exactly four decimal parts of 0 to 255.
        if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
        *problem = "'" + host + "' is not an IPv4 address (four numbers of 0 to 255)";
        return false;
    }
    const std::string notAName = "'" + host + "' is not a host name (letters, digits, '-', '.')";
    if (host.size() > kMaxHostLength) {
        *problem = notAName;
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t dot = host.find('.', start);
        size_t end = dot == std::string::npos ? host.size() : dot;
        std::string_view label(host.data() + start, end - start);
        bool fine = !label.empty() && label.size() <= kMaxLabelLength && label.front() != '-' &&
                    label.back() != '-';
        for (char c : label) fine = fine && IsNameCharacter(c);
        // A single trailing dot (the root) is a name's own way of ending.
        if (!fine && !(label.empty() && dot == std::string::npos && start > 0)) {
            *problem = notAName;
            return false;
        }
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

bool ParseDirectoryConfig(const std::string& text, const std::string& fileName,
                          DirectoryConfig* config, std::string* error) {
    std::vector<IniSection> sections;
    if (!corvane::ReadIniSections(text, fileName, kDialect, &sections, error)) return false;
    DirectoryConfig read;
    try {
        const IniSection* location = nullptr;
        std::set<std::string> names;
        for (IniSection& section : sections) {
            IniSectionReader r(section, kDialect);
            if (section.kind == "location") {
                if (location != nullptr) {
                    r.Fail(section.line, "a second [location] (the first is at line " +
                                             std::to_string(location->line) + ")");
                }
                location = &section;
                ReadLocation(r, &read);
            } else if (section.kind == "target") {
                if (!section.label.empty() && !names.insert(section.label).second) {
                    r.Fail(section.line, "a second " + r.Where() + " (each target its own name)");
                }
                if (read.targets.size() == kMaxTargets) {
                    r.Fail(section.line,
                           "more than " + std::to_string(kMaxTargets) + " [target NAME] sections");
                }
                ReadTarget(r, &read);
            } else {
                r.Fail(section.line,
                       "unknown section [" + section.name + "] (known: [location], [target NAME])");
            }
        }
        if (location == nullptr) {
            throw IniError{0, "no [location] section: lat and lon of the router are needed"};
        }
        if (read.targets.empty()) {
            throw IniError{0,
                           "no [target NAME] section: sandrow needs at least one server to time "
                           "(see sandrow-directory --check for how to choose)"};
        }
    } catch (const IniError& e) {
        *error = corvane::IniErrorText(fileName, e);
        return false;
    }
    *config = std::move(read);
    return true;
}

bool LoadDirectoryConfig(const std::string& path, DirectoryConfig* config, std::string* error) {
    std::string text;
    if (!corvane::LoadIniText(path, &text, error)) return false;
    return ParseDirectoryConfig(text, path, config, error);
}

}  // namespace directory
