// The simulated lines' schedules and [gateway NAME] sections, and the
// scenario file they are written in, read by ini_config.
#include "lab/sim_lines.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace lab {
namespace {

using corvane::Gateway;
using corvane::NetworkInterface;
using corvane::ParseDecimal;
using corvane::TrimBlanks;

// Rates above 100 Gbit/s are typing mistakes, not lines.
constexpr double kMaxMbps = 100000;
constexpr double kMaxSeconds = 30 * 24 * 3600.0;
constexpr int64_t kMaxBufferBytes = 1000000000;
constexpr int32_t kFirstDeviceId = 100;
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
    return corvane::ReadIniSections(text, fileName, kScenarioDialect, sections, error);
}

bool LoadScenarioText(const std::string& path, std::string* text, std::string* error) {
    return corvane::LoadIniText(path, text, error);
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

}  // namespace lab
