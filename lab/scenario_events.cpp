// The [events] of a lab scenario: the stand-ins' and the service's faults
// and the bandwidth changes, each at its time.
#include "lab/scenario.h"

namespace lab {
namespace {

std::vector<size_t> ServerTargets(const Scenario& s, const std::string& target, int line) {
    std::vector<size_t> servers;
    for (size_t i = 0; i < s.servers.size(); ++i) {
        if (target == "all" || s.servers[i].name == target) servers.push_back(i);
    }
    if (servers.empty()) throw ScenarioError{line, "no [server " + target + "] for the event"};
    return servers;
}

}  // namespace

Event ReadEvent(const ScenarioKey& kv, const Scenario& s) {
    Event e;
    e.text = kv.key + " = " + kv.value;
    if (!corvane::ParseDecimal(kv.key, &e.at) || e.at < 0) {
        throw ScenarioError{kv.line, "'" + kv.key + "' is not a time in seconds in [events]"};
    }
    if (e.at > s.duration) {
        throw ScenarioError{kv.line, "event at " + kv.key + " s is after the end (duration " +
                                         Num(s.duration) + " s)"};
    }
    std::vector<std::string> w = Words(kv.value);
    const std::string action = w.empty() ? "" : w[0];
    auto expect = [&](size_t min, size_t max, const char* usage) {
        if (w.size() < min || w.size() > max) {
            throw ScenarioError{kv.line, "usage: " + std::string(usage) + " (in [events])"};
        }
    };
    if (action == "service_stop" || action == "service_start") {
        expect(1, 1, action.c_str());
        e.kind = action == "service_stop" ? EventKind::ServiceStop : EventKind::ServiceStart;
    } else if (action == "directory_down" || action == "directory_up") {
        expect(1, 1, action.c_str());
        e.kind = action == "directory_down" ? EventKind::DirectoryDown : EventKind::DirectoryUp;
    } else if (action == "set_bandwidth") {
        expect(3, 3, "set_bandwidth GATEWAY MBPS");
        e.kind = EventKind::SetBandwidth;
        bool found = false;
        for (size_t i = 0; i < s.sim.lines.size(); ++i) {
            if (s.sim.lines[i].name == w[1]) {
                e.line = i;
                found = true;
            }
        }
        if (!found) throw ScenarioError{kv.line, "no [gateway " + w[1] + "] for the event"};
        if (!corvane::ParseDecimal(w[2], &e.mbps) || (e.mbps < 0 && e.mbps != -1)) {
            throw ScenarioError{kv.line, "'" + w[2] + "' is not a bandwidth in mbps (or -1)"};
        }
    } else if (action == "server_down") {
        expect(2, 3, "server_down NAME|all [refuse|close|hang]");
        e.kind = EventKind::ServerDown;
        e.servers = ServerTargets(s, w[1], kv.line);
        const std::string mode = w.size() > 2 ? w[2] : "close";
        if (mode == "refuse") {
            e.mode = DownMode::Refuse;
        } else if (mode == "close") {
            e.mode = DownMode::Close;
        } else if (mode == "hang") {
            e.mode = DownMode::Hang;
        } else {
            throw ScenarioError{kv.line, "'" + mode + "' is not refuse, close or hang"};
        }
    } else if (action == "server_up") {
        expect(2, 2, "server_up NAME|all");
        e.kind = EventKind::ServerUp;
        e.servers = ServerTargets(s, w[1], kv.line);
    } else {
        throw ScenarioError{kv.line, "unknown event '" + action +
                                         "' (service_stop, service_start, set_bandwidth, "
                                         "server_down, server_up, directory_down, directory_up)"};
    }
    return e;
}

}  // namespace lab
