// A lab scenario: simulated lines, HTTP stand-ins, sandrow's registry and
// clock, fault events, and the phases the summary is cut into.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lab/sim_lines.h"

namespace lab {

// The speed-test directory: two hosts, each a sandrow-directory serving the
// router's position (here) and the [server] sections as its targets.
struct DirectorySetup {
    std::string primary = "127.0.1.1";
    std::string secondary = "127.0.1.2";
    double lat = 52.52;
    double lon = 13.40;
    std::string isp = "Sandrow Lab & Co";
    double startAt = 0;  // seconds; later than 0 stages an unreachable directory at start
};

// One speed-test server: its latency answer leaves after delayMs plus the
// queueing delay of its line (plus jitter).
struct ServerSetup {
    std::string name;
    std::string address;
    double delayMs = 10;
    double lat = 0;
    double lon = 0;
    std::string sponsor;
    std::string country = "Labland";
    size_t line = 0;  // index into the simulated lines
};

struct CollectorSetup {
    std::string address = "127.0.3.1";
    // Status of each post in turn; the last one answers every later post.
    std::vector<int> responses{200};
};

// sandrow's local clock: a time zone that puts its local time at mm:ss when
// it starts, and optionally moves local time forward at a given second (a
// daylight-saving start), so that minute-based schedules fall due soon.
struct ClockSetup {
    bool set = false;
    int minute = 0;
    int second = 0;
    double jumpAt = -1;   // seconds after sandrow starts; < 0: no jump
    int jumpSeconds = 0;  // how far local time moves forward then
};

struct SandrowSetup {
    double startAt = 0;       // seconds after the world starts
    double stopTimeout = 20;  // seconds to wait for the exit after SIGINT
    ClockSetup clock;
};

enum class EventKind {
    ServiceStop,   // the service's objects leave the bus
    ServiceStart,  // and come back
    SetBandwidth,  // a gateway's download bandwidth changed behind the monitor's back
    ServerDown,    // speed-test servers stop answering
    ServerUp,
    DirectoryDown,  // the directory hosts stop listening
    DirectoryUp,
};

enum class DownMode {
    Refuse,  // nothing listens: connections are refused
    Close,   // the request is read and the connection closed without an answer
    Hang,    // the request is read and never answered
};

struct Event {
    double at = 0;  // seconds after the world starts
    EventKind kind = EventKind::ServiceStop;
    std::vector<size_t> servers;  // ServerDown, ServerUp
    size_t line = 0;              // SetBandwidth
    double mbps = 0;              // SetBandwidth; -1: not set
    DownMode mode = DownMode::Close;
    std::string text;  // as written, for the lab's log
};

// The kernel lab: real TCP through real qdiscs in network namespaces, where
// each [gateway] (up to four) is a line: its capacity an HTB class, its
// buffer a bfifo of buffer_bytes, its demand bulk TCP flows.
// What the kernel lab adds to one [gateway NAME] line.
struct KernelLineSetup {
    double rttMs = 0;           // the line's own round trip, added with netem; 0: none
    std::string leaf = "auto";  // the service's leaf queue for the run
};

struct KernelSetup {
    bool enabled = false;                    // the scenario has a [kernel] section
    std::vector<KernelLineSetup> lines;      // one per [gateway NAME], in order
    int flows = 4;                           // TCP downloads while the demand is greedy
    int meterIntervalMs = 100;               // the latency meter's echo interval
    std::string echoAddress = "198.18.9.2";  // the meter's echo server, on the internet side
    // The senders' congestion control: loss-based, as most of the internet's
    // bulk senders, so that they fill the line's buffer (BBR would not).
    std::string congestion = "cubic";
    // Which runs an invocation makes: without shaping, then with sandrow
    // (the default), or one of them alone (a tuning study's points).
    bool runUnshaped = true;
    bool runSandrow = true;
};

struct Phase {
    std::string name;
    double start = 0;
    double end = 0;
};

struct Scenario {
    std::string path;
    std::string name;  // the file name without directory and extension
    double duration = 0;
    uint32_t seed = 1;
    double jitterMs = 1;
    SimConfig sim;
    DirectorySetup directory;
    std::vector<ServerSetup> servers;
    CollectorSetup collector;
    // Registry values for sandrow's hive, in file order: name and DWORD.
    std::vector<std::pair<std::string, uint32_t>> registry;
    SandrowSetup sandrow;
    KernelSetup kernel;
    std::vector<Event> events;  // in time order (file order within a second)
    std::vector<Phase> phases;  // given, or cut at every schedule step
};

// Parses a scenario; on failure *error is "FILE:LINE: problem".
bool ParseScenario(const std::string& text, const std::string& fileName, Scenario* scenario,
                   std::string* error);
bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error);

// The registry value a scenario sets, if it does (names compare as the
// registry does, without regard to case).
std::optional<uint32_t> RegistryValue(const Scenario& scenario, const std::string& name);

// One key of [events] ("TIME = ACTION ARGUMENTS"), checked against the
// sections read before it. Throws ScenarioError.
Event ReadEvent(const ScenarioKey& kv, const Scenario& s);

// The words of a text, split at blanks.
std::vector<std::string> Words(const std::string& text);

// "12.5" for 12.5, "3" for 3.0: numbers as the lab prints them.
std::string Num(double value, int decimals = 2);

}  // namespace lab
