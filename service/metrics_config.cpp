// Reading the [metrics] section, the same in every backend's file.
#include "service/metrics_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace corvane {
namespace {

bool ParsePort(std::string_view text, uint16_t* port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* problem) {
    const std::string form = "is not HOST:PORT (as 127.0.0.1:9464 or [::1]:9464)";
    ListenAddress a;
    std::string host;
    std::string_view port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *problem = form;
            return false;
        }
        host = text.substr(1, close - 1);
        port = std::string_view(text).substr(close + 2);
        a.v6 = true;
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *problem = form;
            return false;
        }
        host = text.substr(0, colon);
        port = std::string_view(text).substr(colon + 1);
    }
    if (!ParsePort(port, &a.port) ||
        inet_pton(a.v6 ? AF_INET6 : AF_INET, host.c_str(), a.address.data()) != 1) {
        *problem = form;
        return false;
    }
    static constexpr std::array<uint8_t, 16> kV6Loopback = {0, 0, 0, 0, 0, 0, 0, 0,
                                                            0, 0, 0, 0, 0, 0, 0, 1};
    const bool loopback = a.v6 ? a.address == kV6Loopback : a.address[0] == 127;
    if (!loopback) {
        *problem =
            "is not a loopback address (127.0.0.0/8 or [::1]); the endpoint has no "
            "authentication and stays off the network";
        return false;
    }
    *out = a;
    return true;
}

void ReadMetricsSection(IniSection& section, const IniDialect& dialect, MetricsConfig* config) {
    if (config->line != 0) {
        std::string message = "a second [metrics] (the first is at line ";
        message.append(std::to_string(config->line)).append(")");
        throw IniError{section.line, message};
    }
    if (!section.label.empty()) {
        throw IniError{section.line, "[metrics] takes no name, not [" + section.name + "]"};
    }
    // An empty value turns that output off, in every file's dialect.
    IniDialect metricsDialect = dialect;
    metricsDialect.emptyOnlyIfRequired = true;
    IniSectionReader r(section, metricsDialect);
    MetricsConfig c;
    c.line = section.line;
    auto where = [&](const char* key) {
        std::string text = " (";
        text.append(dialect.keyWord).append("'").append(key).append("' in ");
        text.append(r.Where()).append(")");
        return text;
    };
    c.file = r.Text("file", false).value_or(kDefaultMetricsFile);
    if (!c.file.empty() && (c.file[0] != '/' || c.file.back() == '/')) {
        r.Fail(r.LineOf("file"),
               "'" + c.file + "' is not the absolute path of a file" + where("file"));
    }
    c.listen = r.Text("listen", false).value_or("");
    std::string problem;
    if (!c.listen.empty() && !ParseListenAddress(c.listen, &c.listenAddress, &problem)) {
        r.Fail(r.LineOf("listen"), "'" + c.listen + "' " + problem + where("listen"));
    }
    r.Finish();
    *config = c;
}

}  // namespace corvane
