// sandrow-directory --check: each target timed the way sandrow times it, and
// the one sandrow would choose among the configured targets.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "directory/config.h"

namespace directory {

// Sandrow ranks the servers by distance and times this many of the nearest.
inline constexpr size_t kNearestTargets = 5;
inline constexpr int kTriesPerTarget = 5;

// One timed request.
struct TryResult {
    bool answered = false;   // a first byte came, whatever it said
    double seconds = 0;      // from just before the connect to the first byte
    std::string statusLine;  // the answer's first line, as far as it came
    std::string problem;     // why there was no answer
};

// How the check reaches the network: the name lookup sandrow uses, and one
// timed exchange of `request` with `address` (network byte order).
struct CheckNetwork {
    std::function<bool(const std::string& host, uint32_t* address)> lookup;
    std::function<TryResult(uint32_t address, const std::string& request)> exchange;
};
// The real one: sandrow's lookup, port 80, `timeout` for each try.
CheckNetwork RealNetwork(std::chrono::milliseconds timeout);

// The request sent and timed: the very bytes sandrow's probe sends to `host`.
std::string TimedRequest(const std::string& host);

// One exchange on the real network: connect to address:port, send, time the
// first byte, read on to the end of the status line. The whole try takes at
// most `timeout`.
TryResult TimeExchange(uint32_t address, uint16_t port, const std::string& request,
                       std::chrono::milliseconds timeout);

struct TargetCheck {
    bool resolved = false;
    std::string address;        // dotted, or empty when the lookup failed
    std::string statusLine;     // of the last answer, or the last problem
    std::vector<double> times;  // seconds of the tries that were answered
    std::optional<double> fastest;
    std::optional<double> median;  // of the answered tries
    double distanceMiles = 0;      // from the location, as sandrow computes it
    int nearestRank = -1;          // 0..4 among the nearest sandrow times, else -1
};

struct CheckReport {
    std::vector<TargetCheck> targets;  // in file order
    int chosen = -1;                   // the target sandrow would probe, or -1
    size_t answered = 0;               // targets that answered at least once
    int tries = 0;                     // per target
};

// The targets sandrow times: the kNearestTargets nearest to the location by
// sandrow's own distance, ties in file order. Indices into config.targets.
std::vector<size_t> NearestTargets(const DirectoryConfig& config);

// Sandrow's choice among the timed servers, in the order timed (nullopt: no
// answer): the third-slowest answer, else the second-slowest, else the
// slowest, never the fastest while another answered; of equal times the
// later counts as the slower. The index into `latencies`, or -1.
int ChooseLikeSandrow(const std::vector<std::optional<double>>& latencies);

// Times every target `tries` times and works out sandrow's choice, from the
// median of each of the nearest targets' answers (sandrow times each once; a
// median of several is the fair stand-in for that one time).
CheckReport RunCheck(const DirectoryConfig& config, const CheckNetwork& network,
                     int tries = kTriesPerTarget);

// The table for the user, one row per target, and a closing line.
std::string FormatCheckReport(const DirectoryConfig& config, const CheckReport& report);

}  // namespace directory
