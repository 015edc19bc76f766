// The [metrics] section that every backend's INI file may carry: where the
// service publishes its metrics (a file for node-exporter's textfile
// collector, an HTTP endpoint on loopback, both or neither).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "service/ini_config.h"

namespace corvane {

// node-exporter's textfile directory on Debian.
inline constexpr const char* kDefaultMetricsFile = "/var/lib/prometheus/node-exporter/corvane.prom";

// A loopback address and port for the endpoint.
struct ListenAddress {
    bool v6 = false;
    std::array<uint8_t, 16> address{};  // network order; the first 4 bytes for IPv4
    uint16_t port = 0;                  // 0: any free port (the one taken is logged)
};

struct MetricsConfig {
    std::string file = kDefaultMetricsFile;  // empty: no file
    std::string listen;                      // as written; empty: no endpoint
    ListenAddress listenAddress;             // parsed from `listen`
    int line = 0;                            // of the [metrics] section; 0 without one
};

// "127.0.0.1:9464" or "[::1]:9464". Only loopback addresses (127.0.0.0/8 and
// ::1) are taken: the endpoint has no authentication, so it must not be
// reachable from the network. False with *problem (a phrase) otherwise.
bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* problem);

// Reads a [metrics] section into *config, in the wording of the file's
// dialect; an empty value is always allowed (it turns that output off).
// Throws IniError for a second [metrics], a name after it, an unknown key, a
// relative file path or a listen address that is not loopback.
void ReadMetricsSection(IniSection& section, const IniDialect& dialect, MetricsConfig* config);

}  // namespace corvane
