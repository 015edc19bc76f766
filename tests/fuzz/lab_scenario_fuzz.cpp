// Fuzzes the lab's scenario reader on any file text, the [gateway] sections
// of the sim backend included. A scenario that reads is one the lab can run:
// phases that cut the run without gap or overlap, events in time order
// within it, and every index into servers and lines in range; one that does
// not read fails with one line "FILE:LINE: problem" whose line is the file's.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "lab/scenario.h"

namespace {

constexpr const char* kFileName = "lab/scenarios/fuzz.ini";
constexpr double kMaxDuration = 24 * 3600.0;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void CheckScenario(const lab::Scenario& s) {
    FUZZ_CHECK(s.duration >= 1 && s.duration <= kMaxDuration);
    FUZZ_CHECK(!s.sim.lines.empty() && !s.servers.empty());
    if (s.kernel.enabled) FUZZ_CHECK(s.sim.lines.size() == 1);

    FUZZ_CHECK(!s.phases.empty() && s.phases.front().start == 0);
    for (size_t i = 0; i < s.phases.size(); ++i) {
        FUZZ_CHECK(s.phases[i].start < s.phases[i].end);
        FUZZ_CHECK(s.phases[i].end ==
                   (i + 1 < s.phases.size() ? s.phases[i + 1].start : s.duration));
    }

    double previous = 0;
    for (const lab::Event& e : s.events) {
        FUZZ_CHECK(e.at >= previous && e.at <= s.duration);
        previous = e.at;
        for (size_t server : e.servers) FUZZ_CHECK(server < s.servers.size());
        if (e.kind == lab::EventKind::SetBandwidth) FUZZ_CHECK(e.line < s.sim.lines.size());
    }

    for (const lab::ServerSetup& server : s.servers) FUZZ_CHECK(server.line < s.sim.lines.size());

    // Registry names are unique as the registry compares them, and each is
    // found again by that comparison.
    std::set<std::string> registry;
    for (const auto& [name, value] : s.registry) {
        FUZZ_CHECK(registry.insert(Lower(name)).second);
        FUZZ_CHECK(name.find_first_of("\"\\") == std::string::npos);
        std::optional<uint32_t> found = lab::RegistryValue(s, Lower(name));
        FUZZ_CHECK(found && *found == value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    lab::Scenario scenario;
    std::string error;
    if (lab::ParseScenario(text, kFileName, &scenario, &error)) {
        CheckScenario(scenario);
    } else {
        fuzz::CheckFileError(error, kFileName, fuzz::LineCount(text));
        FUZZ_CHECK(scenario.servers.empty() && scenario.events.empty() && scenario.phases.empty());
    }
    return 0;
}
