// The lab's simulated lines as its scenario files write them: each a
// capacity and a demand that change over time, behind a gateway.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/backend.h"
#include "service/ini_config.h"

namespace lab {

// ---------------------------------------------------------------------------
// Scenario files: INI text read with inih into "[kind label]" sections whose
// keys keep their order and line numbers. Every problem is "FILE:LINE: text".

using ScenarioKey = corvane::IniKey;
using ScenarioSection = corvane::IniSection;  // kind and label name it; a key may repeat
using ScenarioError = corvane::IniError;

// Splits the text into sections. False with *error set for a line that is
// neither a section, a key = value pair nor a comment, a line of more than
// kMaxScenarioLineLength characters, a NUL byte, or a key before any section.
inline constexpr size_t kMaxScenarioLineLength = 190;
bool ReadScenarioSections(const std::string& text, const std::string& fileName,
                          std::vector<ScenarioSection>* sections, std::string* error);
// Reads a whole file (at most 1 MiB).
bool LoadScenarioText(const std::string& path, std::string* text, std::string* error);

// The scenario's wording: sections named "[kind label]", keys that may
// repeat until Finish() finds them, and no empty values.
inline constexpr corvane::IniDialect kScenarioDialect{
    .maxLineLength = kMaxScenarioLineLength,
    .keysMayRepeat = true,
    .malformedLine = "expected [section], key = value or a comment",
    .headerAsWritten = false,
    .keyWord = "",
    .emptyOnlyIfRequired = false,
};

// Typed access to the keys of one scenario section (see corvane::IniSectionReader).
class ScenarioReader : public corvane::IniSectionReader {
  public:
    explicit ScenarioReader(ScenarioSection& section)
        : IniSectionReader(section, kScenarioDialect) {}
};

// ---------------------------------------------------------------------------
// The simulated lines.

inline constexpr double kBitsPerMegabit = 1e6;
// A line's local link when its section names none.
inline constexpr double kDefaultLinkMbps = 1000;

// A value that holds from `atSeconds` until the next step.
struct RateStep {
    double atSeconds = 0;
    double mbps = 0;
};

enum class DemandKind { Idle, Fixed, Greedy };

// What the machine behind the gateway asks for: nothing, a fixed rate, or as
// much as the shaper lets through (then the arrival rate is the limit).
struct DemandStep {
    double atSeconds = 0;
    DemandKind kind = DemandKind::Idle;
    double mbps = 0;  // Fixed only
};

// "T:VALUE, T:VALUE, ..." with T in seconds, strictly rising from 0.
// Capacity values are mbps above 0; demand values are "idle", "greedy" or a
// fixed rate in mbps (0 reads as idle). False with *error naming the problem.
bool ParseCapacitySchedule(const std::string& text, std::vector<RateStep>* steps,
                           std::string* error);
bool ParseDemandSchedule(const std::string& text, std::vector<DemandStep>* steps,
                         std::string* error);
std::string DemandText(const DemandStep& step);  // "idle", "greedy", "12.5 mbps"

struct SimLine {
    std::string name;                 // the label of the [gateway NAME] section
    corvane::Gateway gateway;         // downloadBps is the configured download bandwidth
    corvane::NetworkInterface iface;  // the one interface that reaches the gateway
    std::vector<RateStep> capacity;
    std::vector<DemandStep> demand;
    int64_t bufferBytes = 250000;  // bottleneck buffer in front of the line
    double processShare = 0.5;     // part of the traffic counted for the process
    std::string processName = "lab-download";
    std::string domainName = "download.lab.example";
};

struct SimConfig {
    std::vector<SimLine> lines;
};

// Takes the [gateway NAME] sections of a scenario and leaves the others
// alone (their keys stay unused for the caller). Throws ScenarioError.
void ReadSimLines(std::vector<ScenarioSection>& sections, SimConfig* config);

// The rates of a schedule at a moment (the first step's before it).
double CapacityAt(const std::vector<RateStep>& steps, double seconds);
DemandStep DemandAt(const std::vector<DemandStep>& steps, double seconds);

}  // namespace lab
