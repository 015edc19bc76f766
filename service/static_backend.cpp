// The `static` backend and its INI configuration (read by ini_config).
// Every problem of the file is reported as "FILE:LINE: problem".
#include "service/static_backend.h"

#include <algorithm>
#include <limits>
#include <sstream>

#include "service/ini_config.h"

namespace corvane {
namespace {

// 1 Pbit/s: far above any line, low enough that the growth arithmetic of
// GrownCounter cannot overflow.
constexpr int64_t kMaxRateBps = 1000000000000000;
constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

using ConfigError = IniError;
using Section = IniSection;

class SectionReader : public IniSectionReader {
  public:
    explicit SectionReader(Section& section) : IniSectionReader(section, kServiceDialect) {}
};

int32_t Int32(std::optional<int64_t> value, int32_t fallback) {
    return value ? static_cast<int32_t>(*value) : fallback;
}

void ReadGateway(SectionReader& r, const std::string& label, StaticConfig* config) {
    Gateway g;
    g.name = label;
    g.mac = *r.Text("mac", true);
    g.id = Int32(r.Integer("id", true, kInt32Min, kInt32Max), 0);
    g.uploadBps = *r.Integer("upload_bps", true, -1, kInt64Max);
    g.downloadBps = *r.Integer("download_bps", true, -1, kInt64Max);
    g.connected = r.Bool("connected").value_or(true);
    g.address = r.Text("address", false).value_or("");
    g.description = r.Text("description", false).value_or("");
    g.linkSpeedBps = r.Integer("link_speed_bps", false, -1, kInt64Max).value_or(0);
    r.Finish();
    for (const Gateway& other : config->gateways) {
        if (other.mac == g.mac) {
            throw ConfigError{
                r.section().line,
                "gateway MAC '" + g.mac + "' is already used by [gateway " + other.name + "]"};
        }
    }
    config->gateways.push_back(std::move(g));
}

void ReadInterface(SectionReader& r, const std::string& label, StaticConfig* config) {
    NetworkInterface n;
    n.name = label;
    n.mac = *r.Text("mac", true);
    n.deviceId = Int32(r.Integer("device_id", true, kInt32Min, kInt32Max), 0);
    n.gatewayId = Int32(r.Integer("gateway_id", true, kInt32Min, kInt32Max), 0);
    n.flags = Int32(r.Integer("flags", false, kInt32Min, kInt32Max), 0);
    n.up = r.Bool("up").value_or(true);
    r.Finish();
    config->interfaces.push_back(std::move(n));
}

TrafficRule ReadTraffic(SectionReader& r, const std::string& label, bool isProcess) {
    TrafficRule rule;
    TrafficEntry& e = rule.entry;
    e.name = label;
    e.deviceId = Int32(r.Integer("device_id", true, kInt32Min, kInt32Max), 0);
    if (isProcess) e.processId = Int32(r.Integer("process_id", false, kInt32Min, kInt32Max), 0);
    e.path = r.Text("path", false).value_or("");
    e.description = r.Text("description", false).value_or("");
    e.active = r.Bool("active").value_or(true);
    e.uploadBits = r.Integer("upload_bits", false, 0, kInt64Max).value_or(0);
    e.downloadBits = r.Integer("download_bits", false, 0, kInt64Max).value_or(0);
    rule.uploadRateBps = r.Integer("upload_rate_bps", false, 0, kMaxRateBps).value_or(0);
    rule.downloadRateBps = r.Integer("download_rate_bps", false, 0, kMaxRateBps).value_or(0);
    r.Finish();
    return rule;
}

void ReadSection(Section& section, StaticConfig* config) {
    const std::string& kind = section.kind;
    const std::string& label = section.label;
    if (kind == "metrics") {
        ReadMetricsSection(section, kServiceDialect, &config->metrics);
        return;
    }
    if (kind != "gateway" && kind != "interface" && kind != "process" && kind != "domain") {
        throw ConfigError{section.line,
                          "unknown section [" + section.name +
                              "] (expected gateway, interface, process, domain or metrics)"};
    }
    if (label.empty()) {
        throw ConfigError{section.line,
                          "section [" + section.name + "] needs a name, as in [" + kind + " NAME]"};
    }
    SectionReader reader(section);
    if (kind == "gateway") {
        ReadGateway(reader, label, config);
    } else if (kind == "interface") {
        ReadInterface(reader, label, config);
    } else if (kind == "process") {
        config->processes.push_back(ReadTraffic(reader, label, true));
    } else {
        config->domains.push_back(ReadTraffic(reader, label, false));
    }
}

}  // namespace

bool ParseStaticConfig(const std::string& text, const std::string& fileName, StaticConfig* config,
                       std::string* error) {
    *config = StaticConfig{};
    std::vector<Section> sections;
    if (!ReadIniSections(text, fileName, kServiceDialect, &sections, error)) return false;
    try {
        for (Section& section : sections) ReadSection(section, config);
    } catch (const ConfigError& e) {
        *config = StaticConfig{};
        *error = IniErrorText(fileName, e);
        return false;
    }
    return true;
}

bool LoadStaticConfig(const std::string& path, StaticConfig* config, std::string* error) {
    std::string text;
    if (!LoadIniText(path, &text, error)) return false;
    return ParseStaticConfig(text, path, config, error);
}

int64_t GrownCounter(int64_t base, int64_t rateBps, std::chrono::nanoseconds elapsed) {
    int64_t ns = elapsed.count();
    if (rateBps <= 0 || ns <= 0) return base;
    int64_t seconds = ns / kNanosPerSecond;
    int64_t rest = ns % kNanosPerSecond;  // below one second
    int64_t whole = 0;
    if (__builtin_mul_overflow(rateBps, seconds, &whole)) return kInt64Max;
    // Split so that no product leaves int64: rateBps is at most 1e15 (config)
    // and rest below 1e9.
    int64_t fraction =
        (rateBps / kNanosPerSecond) * rest + (rateBps % kNanosPerSecond) * rest / kNanosPerSecond;
    int64_t sum = 0;
    if (__builtin_add_overflow(base, whole, &sum)) return kInt64Max;
    if (__builtin_add_overflow(sum, fraction, &sum)) return kInt64Max;
    return sum;
}

StaticBackend::StaticBackend(StaticConfig config, ElapsedFn elapsed)
    : config_(std::move(config)), elapsed_(std::move(elapsed)) {
    if (!elapsed_) {
        auto start = std::chrono::steady_clock::now();
        elapsed_ = [start] {
            return std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - start);
        };
    }
}

HResult StaticBackend::GetGateways(std::vector<Gateway>* out) {
    *out = config_.gateways;
    for (Gateway& g : *out) {
        auto it = limits_.find(g.mac);
        if (it != limits_.end()) g.downloadBps = it->second.downloadBps;
    }
    return kOk;
}

HResult StaticBackend::GetInterfaces(std::vector<NetworkInterface>* out) {
    *out = config_.interfaces;
    return kOk;
}

void StaticBackend::Grown(const std::vector<TrafficRule>& rules,
                          std::vector<TrafficEntry>* out) const {
    std::chrono::nanoseconds elapsed = elapsed_();
    out->clear();
    out->reserve(rules.size());
    for (const TrafficRule& rule : rules) {
        TrafficEntry e = rule.entry;
        e.uploadBits = GrownCounter(e.uploadBits, rule.uploadRateBps, elapsed);
        e.downloadBits = GrownCounter(e.downloadBits, rule.downloadRateBps, elapsed);
        out->push_back(std::move(e));
    }
}

HResult StaticBackend::GetTraffic(TrafficKind kind, std::vector<TrafficEntry>* out) {
    Grown(kind == TrafficKind::Processes ? config_.processes : config_.domains, out);
    return kOk;
}

HResult StaticBackend::SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                        int64_t downloadBps) {
    std::ostringstream line;
    line << "SetGatewayLimits " << gatewayMac << " up=" << uploadBps << " down=" << downloadBps;
    bool known = std::any_of(config_.gateways.begin(), config_.gateways.end(),
                             [&](const Gateway& g) { return g.mac == gatewayMac; });
    if (!known || uploadBps < -1 || downloadBps < -1) {
        line << ": refused (" << (known ? "a limit below -1" : "no such gateway") << ")";
        ServiceLog(line.str());
        return kInvalidArg;
    }
    limits_[gatewayMac] = Limits{uploadBps, downloadBps};
    ServiceLog(line.str());
    return kOk;
}

}  // namespace corvane
