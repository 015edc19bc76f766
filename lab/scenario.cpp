// Reading a lab scenario: sim_lines reads the [gateway] sections,
// scenario_events the keys of [events], this file every other section, and
// all report "FILE:LINE: problem".
#include "lab/scenario.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

namespace lab {
namespace {

constexpr double kMaxDuration = 24 * 3600.0;
constexpr double kMaxDelayMs = 10000;
constexpr double kMaxJitterMs = 100;
constexpr double kMaxStopTimeout = 600;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Every stand-in lives on loopback, or in the kernel lab on the benchmark
// network (198.18.0.0/15) of its private namespaces: the lab must never send
// traffic elsewhere.
std::string LabAddress(ScenarioReader& r, const char* key, const std::string& fallback,
                       bool kernel) {
    std::optional<std::string> text = r.Text(key, false);
    std::string address = text.value_or(fallback);
    in_addr parsed{};
    bool valid = inet_pton(AF_INET, address.c_str(), &parsed) == 1;
    uint32_t host = ntohl(parsed.s_addr);
    if (!kernel && (!valid || (host >> 24) != 127)) {
        r.Fail(r.LineOf(key), "'" + address + "' is not an IPv4 loopback address (127.x.x.x) ('" +
                                  key + "' in " + r.Where() + ")");
    }
    if (kernel && (!valid || (host >> 17) != (0xC6120000u >> 17))) {
        r.Fail(r.LineOf(key), "'" + address +
                                  "' is not an address of the benchmark network 198.18.0.0/15 ('" +
                                  key + "' in " + r.Where() + ")");
    }
    return address;
}

// "MM:SS" (minutes 0-59 or up to 600 for a jump, seconds 0-59).
bool ParseMinutesSeconds(const std::string& text, int maxMinutes, int* minutes, int* seconds) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    int64_t m = 0, s = 0;
    if (!corvane::ParseWholeNumber(text.substr(0, colon), &m) ||
        !corvane::ParseWholeNumber(text.substr(colon + 1), &s)) {
        return false;
    }
    if (m < 0 || m > maxMinutes || s < 0 || s > 59) return false;
    *minutes = static_cast<int>(m);
    *seconds = static_cast<int>(s);
    return true;
}

size_t LineByName(ScenarioReader& r, const Scenario& scenario, const std::string& name, int line) {
    for (size_t i = 0; i < scenario.sim.lines.size(); ++i) {
        if (scenario.sim.lines[i].name == name) return i;
    }
    r.Fail(line, "no [gateway " + name + "] for " + r.Where());
}

void ReadRun(ScenarioReader& r, Scenario* s) {
    s->duration = *r.Number("duration", true, 1, kMaxDuration);
    s->seed = static_cast<uint32_t>(r.Integer("seed", false, 0, 0xFFFFFFFFLL).value_or(1));
    s->jitterMs = r.Number("jitter_ms", false, 0, kMaxJitterMs).value_or(s->jitterMs);
}

void ReadDirectory(ScenarioReader& r, Scenario* s) {
    DirectorySetup& d = s->directory;
    d.primary = LabAddress(r, "primary", d.primary, s->kernel.enabled);
    d.secondary = LabAddress(r, "secondary", d.secondary, s->kernel.enabled);
    d.lat = r.Number("lat", false, -90, 90).value_or(d.lat);
    d.lon = r.Number("lon", false, -180, 180).value_or(d.lon);
    d.isp = r.Text("isp", false).value_or(d.isp);
    d.startAt = r.Number("start_at", false, 0, kMaxDuration).value_or(0);
}

void ReadServer(ScenarioReader& r, Scenario* s) {
    const ScenarioSection& section = r.section();
    if (section.label.empty()) r.Fail(section.line, "[server] needs a name: [server NAME]");
    ServerSetup server;
    server.name = section.label;
    server.address = LabAddress(r, "address", "", s->kernel.enabled);
    server.delayMs = *r.Number("delay_ms", true, 0, kMaxDelayMs);
    server.lat = *r.Number("lat", true, -90, 90);
    server.lon = *r.Number("lon", true, -180, 180);
    server.sponsor = r.Text("sponsor", false).value_or("Lab " + server.name);
    server.country = r.Text("country", false).value_or(server.country);
    if (std::optional<std::string> line = r.Text("line", false)) {
        server.line = LineByName(r, *s, *line, r.LineOf("line"));
    }
    for (const ServerSetup& other : s->servers) {
        if (other.name == server.name) r.Fail(section.line, "a second " + r.Where());
    }
    s->servers.push_back(std::move(server));
}

void ReadCollector(ScenarioReader& r, Scenario* s) {
    CollectorSetup& c = s->collector;
    c.address = LabAddress(r, "address", c.address, s->kernel.enabled);
    if (std::optional<std::string> list = r.Text("responses", false)) {
        c.responses.clear();
        std::string normalised = *list;
        std::replace(normalised.begin(), normalised.end(), ',', ' ');
        for (const std::string& word : Words(normalised)) {
            int64_t status = 0;
            if (!corvane::ParseWholeNumber(word, &status) || status < 100 || status > 599) {
                r.Fail(r.LineOf("responses"),
                       "'" + word + "' is not an HTTP status (100 to 599) in " + r.Where());
            }
            c.responses.push_back(static_cast<int>(status));
        }
    }
}

void ReadKernel(ScenarioReader& r, Scenario* s) {
    KernelSetup& k = s->kernel;
    k.enabled = true;
    k.flows = static_cast<int>(r.Integer("flows", false, 1, 64).value_or(k.flows));
    k.meterIntervalMs = static_cast<int>(
        r.Integer("meter_interval_ms", false, 10, 1000).value_or(k.meterIntervalMs));
    k.echoAddress = LabAddress(r, "echo", k.echoAddress, true);
    k.congestion = r.Text("congestion", false).value_or(k.congestion);
    const std::string runs = r.Text("runs", false).value_or("both");
    if (runs != "both" && runs != "unshaped" && runs != "sandrow") {
        r.Fail(r.LineOf("runs"),
               "'" + runs + "' is not both, unshaped or sandrow (key 'runs' in " + r.Where() + ")");
    }
    k.runUnshaped = runs != "sandrow";
    k.runSandrow = runs != "unshaped";
}

// The keys of a [gateway NAME] section that only the kernel lab reads; read
// before the lines themselves, which then take them as used.
void ReadKernelLineKeys(std::vector<ScenarioSection>& sections, Scenario* s) {
    for (ScenarioSection& section : sections) {
        if (section.kind != "gateway") continue;
        ScenarioReader r(section);
        KernelLineSetup line;
        line.rttMs = r.Number("rtt_ms", false, 0, 10000).value_or(0);
        line.leaf = r.Text("leaf", false).value_or("auto");
        static const char* const kLeaves[] = {"auto", "cake", "fq_codel", "sfq", "bfifo"};
        if (std::find(std::begin(kLeaves), std::end(kLeaves), line.leaf) == std::end(kLeaves)) {
            r.Fail(section.line, "leaf in " + r.Where() + " is '" + line.leaf +
                                     "', not auto, cake, fq_codel, sfq or bfifo");
        }
        s->kernel.lines.push_back(line);
    }
}

// What the kernel lab can stage: one to four lines whose demand is idle or
// greedy TCP, and faults of the stand-ins only.
void CheckKernel(const Scenario& s) {
    constexpr size_t kMaxKernelLines = 4;  // the addresses of the lab's network
    if (s.sim.lines.size() > kMaxKernelLines) {
        throw ScenarioError{0, "the kernel lab takes at most " + std::to_string(kMaxKernelLines) +
                                   " [gateway NAME] lines, not " +
                                   std::to_string(s.sim.lines.size())};
    }
    for (const SimLine& line : s.sim.lines) {
        for (const DemandStep& step : line.demand) {
            if (step.kind == DemandKind::Fixed) {
                throw ScenarioError{0,
                                    "the kernel lab's demand is idle or greedy (bulk TCP), not " +
                                        DemandText(step)};
            }
        }
    }
    for (const Event& e : s.events) {
        if (e.kind == EventKind::ServiceStop || e.kind == EventKind::ServiceStart ||
            e.kind == EventKind::SetBandwidth) {
            throw ScenarioError{0, "the kernel lab stages no event '" + e.text + "'"};
        }
    }
}

void ReadRegistry(ScenarioSection& section, Scenario* s) {
    std::set<std::string> seen;
    for (ScenarioKey& kv : section.keys) {
        kv.used = true;
        int64_t value = 0;
        if (!corvane::ParseWholeNumber(kv.value, &value) || value < 0 || value > 0xFFFFFFFFLL) {
            throw ScenarioError{kv.line, "'" + kv.value +
                                             "' is not a DWORD (0 to 4294967295) for '" + kv.key +
                                             "' in [registry]"};
        }
        if (kv.key.find_first_of("\"\\") != std::string::npos) {
            throw ScenarioError{
                kv.line, "a registry value name holds no quote or backslash: '" + kv.key + "'"};
        }
        if (!seen.insert(Lower(kv.key)).second) {
            throw ScenarioError{kv.line, "'" + kv.key + "' given twice in [registry]"};
        }
        s->registry.emplace_back(kv.key, static_cast<uint32_t>(value));
    }
}

void ReadSandrow(ScenarioReader& r, Scenario* s) {
    SandrowSetup& setup = s->sandrow;
    setup.startAt = r.Number("start_at", false, 0, kMaxDuration).value_or(0);
    setup.stopTimeout = r.Number("stop_timeout", false, 1, kMaxStopTimeout).value_or(20);
    const ScenarioSection& section = r.section();
    if (std::optional<std::string> clock = r.Text("clock", false)) {
        if (!ParseMinutesSeconds(*clock, 59, &setup.clock.minute, &setup.clock.second)) {
            r.Fail(r.LineOf("clock"), "clock = " + *clock +
                                          " is not MM:SS (local minute and "
                                          "second at start) in [sandrow]");
        }
        setup.clock.set = true;
    }
    std::optional<double> jumpAt = r.Number("clock_jump_at", false, 0, kMaxDuration);
    std::optional<std::string> jump = r.Text("clock_jump", false);
    if (jumpAt.has_value() != jump.has_value()) {
        r.Fail(section.line, "clock_jump_at and clock_jump go together in [sandrow]");
    }
    if (jump) {
        if (!setup.clock.set) r.Fail(r.LineOf("clock_jump"), "clock_jump needs clock in [sandrow]");
        int minutes = 0, seconds = 0;
        if (!ParseMinutesSeconds(*jump, 600, &minutes, &seconds) || minutes * 60 + seconds == 0) {
            r.Fail(r.LineOf("clock_jump"),
                   "clock_jump = " + *jump + " is not a forward step MM:SS in [sandrow]");
        }
        setup.clock.jumpAt = *jumpAt;
        setup.clock.jumpSeconds = minutes * 60 + seconds;
    }
}

// Without [phase] sections the run is cut wherever a capacity or demand
// schedule steps.
std::vector<Phase> DerivedPhases(const Scenario& s) {
    std::set<double> starts{0};
    for (const SimLine& line : s.sim.lines) {
        for (const auto& step : line.capacity) starts.insert(step.atSeconds);
        for (const auto& step : line.demand) starts.insert(step.atSeconds);
    }
    std::vector<Phase> phases;
    for (double start : starts) {
        if (start >= s.duration) break;
        phases.push_back(Phase{"", start, s.duration});
    }
    for (size_t i = 0; i < phases.size(); ++i) {
        if (i + 1 < phases.size()) phases[i].end = phases[i + 1].start;
        phases[i].name = Num(phases[i].start, 0) + "-" + Num(phases[i].end, 0) + " s";
    }
    return phases;
}

void Check(const Scenario& s) {
    if (s.sim.lines.empty()) throw ScenarioError{0, "no [gateway NAME] section"};
    if (s.servers.empty()) throw ScenarioError{0, "no [server NAME] section"};
    std::set<std::string> addresses;
    auto unique = [&addresses](const std::string& address, const std::string& what) {
        if (!addresses.insert(address).second) {
            throw ScenarioError{0, "address " + address + " of " + what + " is used twice"};
        }
    };
    unique(s.directory.primary, "the primary directory");
    unique(s.directory.secondary, "the secondary directory");
    unique(s.collector.address, "the collector");
    for (const ServerSetup& server : s.servers)
        unique(server.address, "[server " + server.name + "]");
    if (s.kernel.enabled) unique(s.kernel.echoAddress, "the latency meter's echo");
    if (s.sandrow.startAt >= s.duration) {
        throw ScenarioError{0, "sandrow starts at " + Num(s.sandrow.startAt) +
                                   " s, not before the end (" + Num(s.duration) + " s)"};
    }
}

// [run] first: the events need the duration, whatever the file order.
// [kernel] next: it decides which addresses the stand-ins may have.
void ReadRunAndKernel(std::vector<ScenarioSection>& sections, Scenario* s) {
    bool haveRun = false;
    for (ScenarioSection& section : sections) {
        if (section.kind != "run") continue;
        ScenarioReader r(section);
        if (haveRun) r.Fail(section.line, "a second [run]");
        haveRun = true;
        ReadRun(r, s);
        r.Finish();
    }
    if (!haveRun) throw ScenarioError{0, "no [run] section (it gives the duration)"};
    for (ScenarioSection& section : sections) {
        if (section.kind != "kernel") continue;
        ScenarioReader r(section);
        if (s->kernel.enabled) r.Fail(section.line, "a second [kernel]");
        if (!section.label.empty()) r.Fail(section.line, "[kernel] takes no name");
        ReadKernel(r, s);
        r.Finish();
    }
}

// One [phase NAME]: its start, in rising order and before the end; each
// phase ends where the next starts.
void ReadPhase(ScenarioReader& r, const ScenarioSection& section, Scenario* s) {
    if (section.label.empty()) r.Fail(section.line, "[phase] needs a name");
    double start = *r.Number("start", true, 0, kMaxDuration);
    if (!s->phases.empty() && start <= s->phases.back().start) {
        r.Fail(section.line, "phases must start in rising order");
    }
    if (start >= s->duration) {
        r.Fail(section.line, r.Where() + " starts at or after the end of the run");
    }
    s->phases.push_back(Phase{section.label, start, s->duration});
}

// Every section but the gateways (read with the lines), [run] and [kernel];
// the [events] sections are returned unread, as they name servers that may
// come later in the file.
std::vector<const ScenarioSection*> ReadOtherSections(std::vector<ScenarioSection>& sections,
                                                      Scenario* s) {
    std::set<std::string> singles;
    std::vector<const ScenarioSection*> eventSections;
    for (ScenarioSection& section : sections) {
        ScenarioReader r(section);
        const std::string& kind = section.kind;
        if (kind == "gateway" || kind == "run" || kind == "kernel") continue;
        bool single = kind == "directory" || kind == "collector" || kind == "registry" ||
                      kind == "sandrow" || kind == "events";
        if (single && !section.label.empty()) {
            r.Fail(section.line, "[" + kind + "] takes no name");
        }
        if (single && !singles.insert(kind).second) {
            r.Fail(section.line, "a second [" + kind + "]");
        }
        if (kind == "directory") {
            ReadDirectory(r, s);
        } else if (kind == "server") {
            ReadServer(r, s);
        } else if (kind == "collector") {
            ReadCollector(r, s);
        } else if (kind == "registry") {
            ReadRegistry(section, s);
        } else if (kind == "sandrow") {
            ReadSandrow(r, s);
        } else if (kind == "phase") {
            ReadPhase(r, section, s);
        } else if (kind == "events") {
            for (auto& kv : section.keys) kv.used = true;
            eventSections.push_back(&section);
            continue;  // read once the servers are known
        } else {
            r.Fail(section.line, "unknown section [" + kind +
                                     "] (run, kernel, gateway, directory, server, "
                                     "collector, registry, sandrow, phase, events)");
        }
        r.Finish();
    }
    return eventSections;
}

// The events in time order (those at one time in file order), and the
// phases: as written, or cut where the schedules change.
void BuildTimeline(const std::vector<const ScenarioSection*>& eventSections, Scenario* s) {
    for (const ScenarioSection* section : eventSections) {
        for (const auto& kv : section->keys) s->events.push_back(ReadEvent(kv, *s));
    }
    std::stable_sort(s->events.begin(), s->events.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
    if (s->phases.empty()) {
        s->phases = DerivedPhases(*s);
    } else {
        if (s->phases.front().start != 0) {
            throw ScenarioError{0, "the first [phase] must start at 0"};
        }
        for (size_t i = 0; i + 1 < s->phases.size(); ++i) s->phases[i].end = s->phases[i + 1].start;
    }
}

}  // namespace

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

std::string Num(double value, int decimals) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(decimals);
    out << value;
    std::string text = out.str();
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    return text == "-0" ? "0" : text;
}

bool ParseScenario(const std::string& text, const std::string& fileName, Scenario* scenario,
                   std::string* error) {
    *scenario = Scenario{};
    scenario->path = fileName;
    std::string base = fileName.substr(fileName.find_last_of('/') + 1);
    scenario->name = base.substr(0, base.rfind('.'));
    std::vector<ScenarioSection> sections;
    if (!ReadScenarioSections(text, fileName, &sections, error)) return false;
    Scenario& s = *scenario;
    try {
        ReadKernelLineKeys(sections, &s);
        ReadSimLines(sections, &s.sim);
        ReadRunAndKernel(sections, &s);
        std::vector<const ScenarioSection*> eventSections = ReadOtherSections(sections, &s);
        BuildTimeline(eventSections, &s);
        Check(s);
        if (s.kernel.enabled) {
            CheckKernel(s);
        } else {
            for (size_t i = 0; i < s.kernel.lines.size(); ++i) {
                const KernelLineSetup& line = s.kernel.lines[i];
                if (line.rttMs != 0 || line.leaf != "auto") {
                    throw ScenarioError{0, "rtt_ms and leaf in [gateway " + s.sim.lines[i].name +
                                               "] need the kernel lab (a [kernel] section)"};
                }
            }
        }
    } catch (const ScenarioError& e) {
        *error = fileName + ":" + std::to_string(e.line) + ": " + e.message;
        *scenario = Scenario{};
        return false;
    }
    return true;
}

bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error) {
    std::string text;
    if (!LoadScenarioText(path, &text, error)) return false;
    return ParseScenario(text, path, scenario, error);
}

std::optional<uint32_t> RegistryValue(const Scenario& scenario, const std::string& name) {
    for (const auto& [key, value] : scenario.registry) {
        if (Lower(key) == Lower(name)) return value;
    }
    return std::nullopt;
}

}  // namespace lab
