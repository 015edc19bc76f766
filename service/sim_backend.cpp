// The `sim` backend: simulated lines integrated exactly between the moments
// anybody looks, and the scenario file read by ini_config.
#include "service/sim_backend.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace corvane {
namespace {

constexpr double kBitsPerMegabit = 1e6;
constexpr double kBitsPerByte = 8;
// Rates above 100 Gbit/s are typing mistakes, not lines.
constexpr double kMaxMbps = 100000;
constexpr double kMaxSeconds = 30 * 24 * 3600.0;
constexpr int64_t kMaxBufferBytes = 1000000000;
constexpr double kDefaultLinkMbps = 1000;
constexpr int32_t kFirstDeviceId = 100;
constexpr int32_t kFirstProcessId = 4000;
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

std::string FormatNumber(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        items.push_back(TrimBlanks(std::string_view(text).substr(
            start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

// Splits "T:VALUE" items and checks the times; calls `value` for each VALUE.
template <typename Step, typename ValueFn>
bool ParseSchedule(const std::string& text, std::vector<Step>* steps, std::string* error,
                   ValueFn value) {
    steps->clear();
    for (const std::string& item : SplitList(text)) {
        size_t colon = item.find(':');
        if (colon == std::string::npos) {
            *error = "'" + item + "' is not TIME:VALUE";
            return false;
        }
        Step step;
        std::string time = TrimBlanks(std::string_view(item).substr(0, colon));
        if (!ParseDecimal(time, &step.atSeconds) || step.atSeconds < 0 ||
            step.atSeconds > kMaxSeconds) {
            *error = "'" + time + "' is not a time in seconds";
            return false;
        }
        if (steps->empty() && step.atSeconds != 0) {
            *error = "the first step must be at 0 seconds, not " + time;
            return false;
        }
        if (!steps->empty() && step.atSeconds <= steps->back().atSeconds) {
            *error =
                "step times must rise: " + time + " after " + FormatNumber(steps->back().atSeconds);
            return false;
        }
        if (!value(TrimBlanks(std::string_view(item).substr(colon + 1)), &step, error))
            return false;
        steps->push_back(step);
    }
    return true;
}

template <typename Step>
const Step& StepAt(const std::vector<Step>& steps, double seconds) {
    size_t index = 0;
    for (size_t i = 1; i < steps.size() && steps[i].atSeconds <= seconds; ++i) index = i;
    return steps[index];
}

int64_t MbpsToBps(double mbps) {
    return mbps < 0 ? -1 : std::llround(mbps * kBitsPerMegabit);
}

int64_t WholeBits(double bits) {
    constexpr double kLimit = 9.2e18;  // below the largest int64
    return bits >= kLimit ? static_cast<int64_t>(kLimit) : static_cast<int64_t>(bits);
}

// The rate (bps) that reaches the bottleneck: the demand as far as the
// shaper's limit and the local link let it through.
double OfferedBps(const DemandStep& demand, int64_t limitBps, double linkBps) {
    double want = 0;
    switch (demand.kind) {
        case DemandKind::Idle:
            return 0;
        case DemandKind::Fixed:
            want = demand.mbps * kBitsPerMegabit;
            break;
        case DemandKind::Greedy:
            want = linkBps;
            break;
    }
    if (limitBps >= 0) want = std::min(want, static_cast<double>(limitBps));
    return std::min(want, linkBps);
}

double LinkBps(const SimLine& line) {
    return line.gateway.linkSpeedBps > 0 ? static_cast<double>(line.gateway.linkSpeedBps)
                                         : kDefaultLinkMbps * kBitsPerMegabit;
}

void ReadGatewaySection(ScenarioSection& section, size_t index, SimConfig* config) {
    ScenarioReader r(section);
    if (section.label.empty()) r.Fail(section.line, "[gateway] needs a name: [gateway NAME]");
    SimLine line;
    line.name = section.label;
    Gateway& g = line.gateway;
    g.name = section.label;
    g.mac = *r.Text("mac", true);
    g.id = static_cast<int32_t>(*r.Integer("id", true, kInt32Min, kInt32Max));
    g.downloadBps = MbpsToBps(*r.Number("download_mbps", true, -1, kMaxMbps));
    g.uploadBps = MbpsToBps(*r.Number("upload_mbps", true, -1, kMaxMbps));
    g.linkSpeedBps =
        MbpsToBps(r.Number("link_mbps", false, 0.001, kMaxMbps).value_or(kDefaultLinkMbps));
    g.connected = r.Bool("connected").value_or(true);
    g.address = r.Text("address", false).value_or("");
    g.description = r.Text("description", false).value_or("simulated line " + line.name);

    NetworkInterface& n = line.iface;
    n.name = r.Text("interface", false).value_or("lab" + std::to_string(index));
    n.mac = r.Text("interface_mac", false).value_or(g.mac + "-" + std::to_string(index));
    n.deviceId = static_cast<int32_t>(r.Integer("device_id", false, kInt32Min, kInt32Max)
                                          .value_or(kFirstDeviceId + static_cast<int>(index)));
    n.gatewayId = g.id;

    std::string problem;
    std::string capacity = *r.Text("capacity", true);
    if (!ParseCapacitySchedule(capacity, &line.capacity, &problem)) {
        r.Fail(section.line, "capacity in " + r.Where() + ": " + problem);
    }
    std::string demand = r.Text("demand", false).value_or("0:idle");
    if (!ParseDemandSchedule(demand, &line.demand, &problem)) {
        r.Fail(section.line, "demand in " + r.Where() + ": " + problem);
    }
    line.bufferBytes = r.Integer("buffer_bytes", false, 0, kMaxBufferBytes).value_or(250000);
    line.processShare = r.Number("process_share", false, 0, 1).value_or(0.5);
    line.processName = r.Text("process", false).value_or(line.processName);
    line.domainName = r.Text("domain", false).value_or(line.domainName);
    r.Finish();

    for (const SimLine& other : config->lines) {
        if (other.name == line.name) r.Fail(section.line, "a second " + r.Where());
        if (other.gateway.mac == g.mac) {
            r.Fail(section.line,
                   "mac " + g.mac + " is already used by [gateway " + other.name + "]");
        }
        if (other.gateway.id == g.id) {
            r.Fail(section.line, "id " + std::to_string(g.id) + " is already used by [gateway " +
                                     other.name + "]");
        }
        if (other.iface.deviceId == n.deviceId) {
            r.Fail(section.line, "device_id " + std::to_string(n.deviceId) +
                                     " is already used by [gateway " + other.name + "]");
        }
    }
    config->lines.push_back(std::move(line));
}

}  // namespace

// ---------------------------------------------------------------------------

bool ReadScenarioSections(const std::string& text, const std::string& fileName,
                          std::vector<ScenarioSection>* sections, std::string* error) {
    return ReadIniSections(text, fileName, kScenarioDialect, sections, error);
}

bool LoadScenarioText(const std::string& path, std::string* text, std::string* error) {
    return LoadIniText(path, text, error);
}

bool ParseCapacitySchedule(const std::string& text, std::vector<RateStep>* steps,
                           std::string* error) {
    return ParseSchedule(
        text, steps, error, [](const std::string& value, RateStep* step, std::string* why) {
            if (!ParseDecimal(value, &step->mbps) || step->mbps <= 0 || step->mbps > kMaxMbps) {
                *why = "'" + value + "' is not a capacity in mbps above 0";
                return false;
            }
            return true;
        });
}

bool ParseDemandSchedule(const std::string& text, std::vector<DemandStep>* steps,
                         std::string* error) {
    return ParseSchedule(text, steps, error,
                         [](const std::string& value, DemandStep* step, std::string* why) {
                             if (value == "idle") {
                                 step->kind = DemandKind::Idle;
                             } else if (value == "greedy") {
                                 step->kind = DemandKind::Greedy;
                             } else if (ParseDecimal(value, &step->mbps) && step->mbps >= 0 &&
                                        step->mbps <= kMaxMbps) {
                                 step->kind = step->mbps > 0 ? DemandKind::Fixed : DemandKind::Idle;
                             } else {
                                 *why = "'" + value + "' is not idle, greedy or a rate in mbps";
                                 return false;
                             }
                             return true;
                         });
}

std::string DemandText(const DemandStep& step) {
    switch (step.kind) {
        case DemandKind::Idle:
            return "idle";
        case DemandKind::Greedy:
            return "greedy";
        case DemandKind::Fixed:
            break;
    }
    return FormatNumber(step.mbps) + " mbps";
}

double CapacityAt(const std::vector<RateStep>& steps, double seconds) {
    return steps.empty() ? 0 : StepAt(steps, seconds).mbps;
}

DemandStep DemandAt(const std::vector<DemandStep>& steps, double seconds) {
    return steps.empty() ? DemandStep{} : StepAt(steps, seconds);
}

void ReadSimLines(std::vector<ScenarioSection>& sections, SimConfig* config) {
    config->lines.clear();
    for (ScenarioSection& section : sections) {
        if (section.kind == "gateway") ReadGatewaySection(section, config->lines.size(), config);
    }
}

bool LoadSimConfig(const std::string& path, SimConfig* config, std::string* error) {
    std::string text;
    if (!LoadScenarioText(path, &text, error)) return false;
    std::vector<ScenarioSection> sections;
    if (!ReadScenarioSections(text, path, &sections, error)) return false;
    try {
        ReadSimLines(sections, config);
        config->metrics = MetricsConfig{};
        for (ScenarioSection& section : sections) {
            if (section.kind == "metrics") {
                ReadMetricsSection(section, kScenarioDialect, &config->metrics);
            }
        }
    } catch (const ScenarioError& e) {
        *error = path + ":" + std::to_string(e.line) + ": " + e.message;
        return false;
    }
    if (config->lines.empty()) {
        *error = path + ": no [gateway NAME] section";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------

SimBackend::SimBackend(SimConfig config, ElapsedFn elapsed, LogFn log)
    : elapsed_(std::move(elapsed)), log_(std::move(log)) {
    if (!elapsed_) {
        auto start = std::chrono::steady_clock::now();
        elapsed_ = [start] { return std::chrono::steady_clock::now() - start; };
    }
    if (!log_) log_ = [](const std::string& text) { ServiceLog(text); };
    for (SimLine& line : config.lines) {
        LineState state;
        state.limitBps = line.gateway.downloadBps;  // the configured bandwidth shapes at first
        state.uploadBps = line.gateway.uploadBps;
        state.config = std::move(line);
        lines_.push_back(std::move(state));
    }
}

double SimBackend::NowSeconds() const {
    return std::chrono::duration<double>(elapsed_()).count();
}

void SimBackend::AdvanceLocked() {
    double now = NowSeconds();
    if (!(now > nowSeconds_)) return;
    for (LineState& line : lines_) AdvanceLine(line, nowSeconds_, now);
    nowSeconds_ = now;
}

void SimBackend::AdvanceLine(LineState& line, double from, double to) {
    const SimLine& c = line.config;
    const double bufferMax = static_cast<double>(c.bufferBytes) * kBitsPerByte;
    const double linkBps = LinkBps(c);
    double t = from;
    while (t < to) {
        // Capacity and demand are constant up to the next step of either.
        double next = to;
        for (const RateStep& s : c.capacity) {
            if (s.atSeconds > t && s.atSeconds < next) next = s.atSeconds;
        }
        for (const DemandStep& s : c.demand) {
            if (s.atSeconds > t && s.atSeconds < next) next = s.atSeconds;
        }
        const double dt = next - t;
        const double capacity = CapacityAt(c.capacity, t) * kBitsPerMegabit;
        const double offered = OfferedBps(DemandAt(c.demand, t), line.limitBps, linkBps);
        double delivered = 0;
        if (offered >= capacity) {
            // The line runs full; the excess queues until the buffer is full,
            // then it is dropped.
            double fill = line.bufferBits + (offered - capacity) * dt;
            if (fill > bufferMax) {
                line.droppedBits += fill - bufferMax;
                fill = bufferMax;
            }
            line.bufferBits = fill;
            delivered = capacity * dt;
        } else {
            // The line has room: the queue drains at capacity - offered, and
            // once empty the line carries just what arrives.
            double drain = (capacity - offered) * dt;
            if (line.bufferBits >= drain) {
                line.bufferBits -= drain;
                delivered = capacity * dt;
            } else {
                double emptyAfter = line.bufferBits / (capacity - offered);
                delivered = capacity * emptyAfter + offered * (dt - emptyAfter);
                line.bufferBits = 0;
            }
        }
        line.deliveredBits += delivered;
        line.capacityBits += capacity * dt;
        line.processBits += delivered * c.processShare;
        line.domainBits += delivered * (1 - c.processShare);
        t = next;
    }
}

LineSnapshot SimBackend::SnapshotLocked(const LineState& line) const {
    const SimLine& c = line.config;
    LineSnapshot s;
    s.elapsedSeconds = nowSeconds_;
    s.capacityMbps = CapacityAt(c.capacity, nowSeconds_);
    s.limitMbps = line.limitBps < 0 ? -1 : static_cast<double>(line.limitBps) / kBitsPerMegabit;
    s.demand = DemandAt(c.demand, nowSeconds_);
    s.offeredMbps = OfferedBps(s.demand, line.limitBps, LinkBps(c)) / kBitsPerMegabit;
    s.bufferBytes = line.bufferBits / kBitsPerByte;
    s.queueDelaySeconds = line.bufferBits / (s.capacityMbps * kBitsPerMegabit);
    s.deliveredBits = line.deliveredBits;
    s.capacityBits = line.capacityBits;
    s.droppedBits = line.droppedBits;
    s.limitChanges = line.limitChanges;
    return s;
}

std::optional<size_t> SimBackend::FindLine(const std::string& name) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].config.name == name) return i;
    }
    return std::nullopt;
}

double SimBackend::QueueDelaySeconds(size_t line) {
    return Snapshot(line).queueDelaySeconds;
}

LineSnapshot SimBackend::Snapshot(size_t line) {
    std::lock_guard<std::mutex> hold(mutex_);
    AdvanceLocked();
    return SnapshotLocked(lines_.at(line));
}

void SimBackend::ChangeDownloadBandwidth(size_t line, int64_t downloadBps) {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        AdvanceLocked();
        LineState& state = lines_.at(line);
        state.limitBps = downloadBps < 0 ? -1 : downloadBps;
        state.limitSet = true;
        text = "download bandwidth of " + state.config.gateway.mac + " changed to " +
               std::to_string(state.limitBps) + " bps by someone else";
    }
    log_(text);
}

HResult SimBackend::Initialize(int32_t a, int32_t b, int32_t c, const std::string& d,
                               const std::string& e) {
    (void)a, (void)b, (void)c, (void)d, (void)e;
    return kOk;
}

HResult SimBackend::GetGateways(std::vector<Gateway>* out) {
    std::lock_guard<std::mutex> hold(mutex_);
    out->clear();
    for (const LineState& line : lines_) {
        Gateway g = line.config.gateway;
        if (line.limitSet) g.downloadBps = line.limitBps;
        out->push_back(std::move(g));
    }
    return kOk;
}

HResult SimBackend::GetInterfaces(std::vector<NetworkInterface>* out) {
    std::lock_guard<std::mutex> hold(mutex_);
    out->clear();
    for (const LineState& line : lines_) out->push_back(line.config.iface);
    return kOk;
}

void SimBackend::Traffic(bool processes, std::vector<TrafficEntry>* out) {
    std::lock_guard<std::mutex> hold(mutex_);
    AdvanceLocked();
    out->clear();
    for (size_t i = 0; i < lines_.size(); ++i) {
        const LineState& line = lines_[i];
        TrafficEntry e;
        e.name = processes ? line.config.processName : line.config.domainName;
        e.path = processes ? "/usr/bin/" + line.config.processName : line.config.domainName;
        e.description = "traffic of the simulated line " + line.config.name;
        e.deviceId = line.config.iface.deviceId;
        e.processId = processes ? kFirstProcessId + static_cast<int32_t>(i) : 0;
        e.downloadBits = WholeBits(processes ? line.processBits : line.domainBits);
        out->push_back(std::move(e));
    }
}

// The selector (-1 from the monitor: everything) does not narrow the lists.
HResult SimBackend::GetProcesses(int16_t selector, std::vector<TrafficEntry>* out) {
    (void)selector;
    Traffic(true, out);
    return kOk;
}

HResult SimBackend::GetDomains(int16_t selector, std::vector<TrafficEntry>* out) {
    (void)selector;
    Traffic(false, out);
    return kOk;
}

HResult SimBackend::SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                     int64_t downloadBps) {
    std::ostringstream text;
    text << "SetGatewayLimits " << gatewayMac << " up=" << uploadBps << " down=" << downloadBps;
    HResult hr = kOk;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        AdvanceLocked();
        auto it = std::find_if(lines_.begin(), lines_.end(), [&](const LineState& line) {
            return line.config.gateway.mac == gatewayMac;
        });
        if (it == lines_.end() || uploadBps < -1 || downloadBps < -1) {
            text << ": refused (" << (it == lines_.end() ? "no such gateway" : "a limit below -1")
                 << ")";
            hr = kInvalidArg;
        } else {
            it->limitBps = downloadBps;
            it->uploadBps = uploadBps;
            it->limitSet = true;
            ++it->limitChanges;
        }
    }
    log_(text.str());
    return hr;
}

HResult SimBackend::PrepareLimitChange(int32_t value) {
    (void)value;
    return kOk;
}

}  // namespace corvane
