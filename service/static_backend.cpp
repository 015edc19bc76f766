// The `static` backend and its INI configuration (read with inih's C API).
// Every problem of the file is reported as "FILE:LINE: problem".
#include "service/static_backend.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace corvane {
namespace {

// inih reads through a 200-byte line buffer and would split a longer line
// into two; refusing long lines keeps its line numbers and ours the same.
constexpr size_t kMaxLineLength = 160;
// A configuration is a few dozen lines; this bounds what a wrong path can cost.
constexpr size_t kMaxFileBytes = 1 << 20;
// 1 Pbit/s: far above any line, low enough that the growth arithmetic of
// GrownCounter cannot overflow.
constexpr int64_t kMaxRateBps = 1000000000000000;
constexpr int64_t kMaxStallMs = 600000;
constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

struct ConfigError {
    int line;
    std::string message;
};

struct KeyValue {
    std::string key;
    std::string value;
    int line;
    bool used = false;
};

struct Section {
    std::string name;  // between the brackets, trimmed
    int line;
    std::vector<KeyValue> keys;
};

// What the reader and the handler share while inih runs.
struct ParseState {
    const std::string* text;
    size_t pos = 0;
    int line = 0;  // the line the last piece handed to inih belongs to
    bool atLineStart = true;
    std::vector<Section> sections;
    std::optional<ConfigError> error;  // the first one only

    void Fail(int at, std::string message) {
        if (!error) error = ConfigError{at, std::move(message)};
    }
};

std::string Trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

// A section header line opens a record here, so that an empty section and
// two sections of the same name are seen too (inih only reports keys).
void NoteSectionHeader(ParseState* state, std::string_view line) {
    if (state->line == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line[start] != '[') return;
    size_t close = line.find(']', start);
    if (close == std::string_view::npos) return;  // inih reports the line as malformed
    state->sections.push_back(
        Section{Trim(line.substr(start + 1, close - start - 1)), state->line, {}});
}

// fgets-style reader over the text, counting lines as it goes.
char* ReadPiece(char* out, int size, void* stream) {
    auto* state = static_cast<ParseState*>(stream);
    const std::string& text = *state->text;
    if (state->pos >= text.size() || size <= 1) return nullptr;
    size_t newline = text.find('\n', state->pos);
    size_t lineEnd = newline == std::string::npos ? text.size() : newline + 1;
    if (state->atLineStart) {
        ++state->line;
        NoteSectionHeader(state, std::string_view(text).substr(state->pos, lineEnd - state->pos));
    }
    size_t take = std::min(lineEnd - state->pos, static_cast<size_t>(size - 1));
    std::memcpy(out, text.data() + state->pos, take);
    out[take] = '\0';
    state->pos += take;
    state->atLineStart = out[take - 1] == '\n';
    return out;
}

int OnKey(void* user, const char* section, const char* name, const char* value) {
    (void)section;  // the reader has opened the record already
    auto* state = static_cast<ParseState*>(user);
    if (state->sections.empty()) {
        state->Fail(state->line, "key '" + std::string(name) + "' outside a section");
        return 0;
    }
    Section& current = state->sections.back();
    for (const KeyValue& kv : current.keys) {
        if (kv.key == name) {
            state->Fail(state->line, "duplicate key '" + kv.key + "' in [" + current.name + "]");
            return 0;
        }
    }
    current.keys.push_back(KeyValue{name, value, state->line});
    return 1;
}

// Decimal or 0x-hexadecimal, with an optional sign.
bool ParseInteger(const std::string& text, int64_t* out) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty()) return false;
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    constexpr uint64_t kMaxMagnitude = static_cast<uint64_t>(kInt64Max);
    if (negative) {
        if (magnitude > kMaxMagnitude + 1) return false;
        *out = magnitude == kMaxMagnitude + 1 ? std::numeric_limits<int64_t>::min()
                                              : -static_cast<int64_t>(magnitude);
    } else {
        if (magnitude > kMaxMagnitude) return false;
        *out = static_cast<int64_t>(magnitude);
    }
    return true;
}

// Reads the keys of one section; every key must be taken, or it is unknown.
class SectionReader {
  public:
    explicit SectionReader(Section& section) : section_(section) {}

    std::optional<std::string> Text(const char* key, bool required) {
        KeyValue* kv = Find(key, required);
        if (kv == nullptr) return std::nullopt;
        if (required && kv->value.empty()) {
            throw ConfigError{kv->line,
                              "empty value for key '" + kv->key + "' in [" + section_.name + "]"};
        }
        return kv->value;
    }

    std::optional<int64_t> Integer(const char* key, bool required, int64_t min, int64_t max) {
        KeyValue* kv = Find(key, required);
        if (kv == nullptr) return std::nullopt;
        int64_t value = 0;
        if (!ParseInteger(kv->value, &value)) {
            throw ConfigError{kv->line, "'" + kv->value + "' is not an integer (key '" + kv->key +
                                            "' in [" + section_.name + "])"};
        }
        if (value < min || value > max) {
            throw ConfigError{kv->line, kv->key + " = " + kv->value + " is out of range (" +
                                            std::to_string(min) + " to " + std::to_string(max) +
                                            ") in [" + section_.name + "]"};
        }
        return value;
    }

    std::optional<bool> Bool(const char* key) {
        KeyValue* kv = Find(key, false);
        if (kv == nullptr) return std::nullopt;
        std::string v = kv->value;
        std::transform(v.begin(), v.end(), v.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (v == "true" || v == "yes" || v == "on" || v == "1") return true;
        if (v == "false" || v == "no" || v == "off" || v == "0") return false;
        throw ConfigError{kv->line, "'" + kv->value + "' is not true or false (key '" + kv->key +
                                        "' in [" + section_.name + "])"};
    }

    // The keys nobody asked for are mistakes (a typo must not be ignored).
    void Finish() const {
        for (const KeyValue& kv : section_.keys) {
            if (!kv.used) {
                throw ConfigError{kv.line,
                                  "unknown key '" + kv.key + "' in [" + section_.name + "]"};
            }
        }
    }

    const Section& section() const { return section_; }

  private:
    KeyValue* Find(const char* key, bool required) {
        for (KeyValue& kv : section_.keys) {
            if (kv.key == key) {
                kv.used = true;
                return &kv;
            }
        }
        if (required) {
            throw ConfigError{section_.line,
                              "missing key '" + std::string(key) + "' in [" + section_.name + "]"};
        }
        return nullptr;
    }

    Section& section_;
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

void ReadFault(SectionReader& r, const std::string& label, StaticConfig* config) {
    int line = r.section().line;
    std::optional<Method> method = MethodByName(label);
    if (!method) throw ConfigError{line, "unknown method '" + label + "' in [fault " + label + "]"};
    if (config->faults.count(*method) != 0) {
        throw ConfigError{line, "a second [fault " + label + "]"};
    }
    FaultRule rule;
    // An HRESULT is written as the signed number or as its 32 bits in hex.
    if (auto hr = r.Integer("hresult", false, kInt32Min, 0xFFFFFFFFLL)) {
        rule.fault.hresult = static_cast<HResult>(static_cast<uint32_t>(*hr));
    }
    if (auto k = r.Integer("wrong_type", false, 1, std::max(ArrayCount(*method), 1))) {
        if (ArrayCount(*method) == 0) {
            throw ConfigError{line, "wrong_type: " + label + " returns no arrays"};
        }
        rule.fault.wrongTypeArray = static_cast<int>(*k);
    }
    rule.fault.nullPath = r.Bool("null_path").value_or(false);
    if (rule.fault.nullPath && !ReturnsInterface(*method)) {
        throw ConfigError{line, "null_path: " + label + " returns no interface"};
    }
    rule.fault.stall =
        std::chrono::milliseconds(r.Integer("stall_ms", false, 0, kMaxStallMs).value_or(0));
    rule.calls = r.Integer("calls", false, 1, kInt64Max);
    r.Finish();
    if (!rule.fault.hresult && rule.fault.wrongTypeArray == 0 && !rule.fault.nullPath &&
        rule.fault.stall.count() == 0) {
        throw ConfigError{
            line, "[fault " + label + "] sets none of hresult, wrong_type, null_path, stall_ms"};
    }
    config->faults[*method] = rule;
}

void ReadSection(Section& section, StaticConfig* config) {
    size_t space = section.name.find_first_of(" \t");
    std::string kind = section.name.substr(0, space);
    std::string label = space == std::string::npos ? "" : Trim(section.name.substr(space));
    if (kind != "gateway" && kind != "interface" && kind != "process" && kind != "domain" &&
        kind != "fault") {
        throw ConfigError{section.line,
                          "unknown section [" + section.name +
                              "] (expected gateway, interface, process, domain or fault)"};
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
    } else if (kind == "domain") {
        config->domains.push_back(ReadTraffic(reader, label, false));
    } else {
        ReadFault(reader, label, config);
    }
}

std::optional<ConfigError> CheckLines(const std::string& text) {
    int line = 1;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        size_t end = newline == std::string::npos ? text.size() : newline;
        std::string_view content(text.data() + start, end - start);
        if (content.find('\0') != std::string_view::npos) {
            return ConfigError{line, "NUL byte in the line"};
        }
        if (content.size() > kMaxLineLength) {
            return ConfigError{
                line, "line longer than " + std::to_string(kMaxLineLength) + " characters"};
        }
        if (newline == std::string::npos) break;
        start = newline + 1;
        ++line;
    }
    return std::nullopt;
}

}  // namespace

bool ParseStaticConfig(const std::string& text, const std::string& fileName, StaticConfig* config,
                       std::string* error) {
    *config = StaticConfig{};
    std::optional<ConfigError> problem = CheckLines(text);
    if (!problem) {
        ParseState state;
        state.text = &text;
        int result = ini_parse_stream(ReadPiece, &state, OnKey, &state);
        if (result == -2) {
            problem = ConfigError{0, "out of memory"};
        } else if (result > 0 && (!state.error || result < state.error->line)) {
            // inih's own complaint: neither a [section] nor key = value.
            problem = ConfigError{result, "expected [section] or key = value"};
        } else if (state.error) {
            problem = state.error;
        } else {
            try {
                for (Section& section : state.sections) ReadSection(section, config);
            } catch (const ConfigError& e) {
                problem = e;
            }
        }
    }
    if (!problem) return true;
    *config = StaticConfig{};
    *error = fileName + ":" + std::to_string(problem->line) + ": " + problem->message;
    return false;
}

bool LoadStaticConfig(const std::string& path, StaticConfig* config, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) {
            *error = path + ": larger than " + std::to_string(kMaxFileBytes) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        *error = path + ": cannot read";
        return false;
    }
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

HResult StaticBackend::Initialize(int32_t a, int32_t b, int32_t c, const std::string& d,
                                  const std::string& e) {
    (void)a, (void)b, (void)c, (void)d, (void)e;
    return kOk;
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

// The selector (-1 from the monitor: everything) does not narrow a static list.
HResult StaticBackend::GetProcesses(int16_t selector, std::vector<TrafficEntry>* out) {
    (void)selector;
    Grown(config_.processes, out);
    return kOk;
}

HResult StaticBackend::GetDomains(int16_t selector, std::vector<TrafficEntry>* out) {
    (void)selector;
    Grown(config_.domains, out);
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

HResult StaticBackend::PrepareLimitChange(int32_t value) {
    (void)value;
    return kOk;
}

Fault StaticBackend::NextFault(Method method) {
    auto it = config_.faults.find(method);
    if (it == config_.faults.end()) return {};
    FaultRule& rule = it->second;
    if (rule.calls) {
        if (*rule.calls == 0) return {};
        --*rule.calls;
    }
    return rule.fault;
}

}  // namespace corvane
