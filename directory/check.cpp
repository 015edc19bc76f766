// Timing the targets and working out sandrow's choice among them.
#include "directory/check.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/socket.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"

namespace directory {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kTargetPort = 80;
constexpr size_t kMaxStatusLine = 80;  // bytes of the first line kept for the table

// The first line of what came, printable, without its line end.
std::string StatusLineOf(const std::string& received) {
    std::string line = received.substr(0, received.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxStatusLine) line.resize(kMaxStatusLine);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    }
    return line;
}

uint32_t LeftMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<uint32_t>(std::max<int64_t>(left, 0));
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

std::string Milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000.0);
    return text;
}

}  // namespace

std::string TimedRequest(const std::string& host) {
    return BuildLatencyRequest(host);
}

TryResult TimeExchange(uint32_t address, uint16_t port, const std::string& request,
                       milliseconds timeout) {
    TryResult result;
    const Clock::time_point deadline = Clock::now() + timeout;
    platform::Socket socket = platform::OpenTcpSocket();
    if (!socket.valid() || platform::SetNonBlocking(socket) != 0) {
        result.problem = "socket: " + ErrorText(platform::WSAGetLastError());
        return result;
    }
    // Sandrow's clock starts just before its connect, too.
    const Clock::time_point start = Clock::now();
    if (platform::Connect(socket, address, port) != 0 &&
        !platform::SocketErrorIs(platform::WSAGetLastError(),
                                 platform::SocketCondition::WouldBlock)) {
        result.problem = "connect: " + ErrorText(platform::WSAGetLastError());
        return result;
    }
    // The request goes once the connection is made; the send reports a
    // refused or unreachable connection.
    for (;;) {
        if (platform::Send(socket, request.data(), request.size()) != -1) break;
        const int error = platform::WSAGetLastError();
        if (!platform::SocketErrorIs(error, platform::SocketCondition::WouldBlock) &&
            !platform::SocketErrorIs(error, platform::SocketCondition::NotConnected)) {
            result.problem = "connect: " + ErrorText(error);
            return result;
        }
        if (LeftMs(deadline) == 0 ||
            platform::WaitSocket(socket, platform::WaitFor::Writable, LeftMs(deadline)) < 0) {
            result.problem = "no connection within " + std::to_string(timeout.count()) + " ms";
            return result;
        }
    }
    std::string received;
    char buffer[512];
    for (;;) {
        const long n = platform::Recv(socket, buffer, sizeof buffer);
        if (n > 0) {
            if (!result.answered) {
                result.answered = true;
                result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            }
            received.append(buffer, static_cast<size_t>(n));
            if (received.find('\n') != std::string::npos || received.size() >= kMaxStatusLine) {
                break;
            }
            continue;
        }
        if (n == 0) break;  // closed
        const int error = platform::WSAGetLastError();
        if (!platform::SocketErrorIs(error, platform::SocketCondition::WouldBlock)) {
            if (!result.answered) result.problem = "receive: " + ErrorText(error);
            break;
        }
        if (LeftMs(deadline) == 0) break;
        platform::WaitSocket(socket, platform::WaitFor::Readable, LeftMs(deadline));
    }
    if (result.answered) {
        result.statusLine = StatusLineOf(received);
    } else if (result.problem.empty()) {
        result.problem = LeftMs(deadline) > 0
                             ? "closed without an answer"
                             : "no answer within " + std::to_string(timeout.count()) + " ms";
    }
    return result;
}

CheckNetwork RealNetwork(milliseconds timeout) {
    CheckNetwork network;
    network.lookup = [](const std::string& host, uint32_t* address) {
        return platform::LookupHostIPv4(host, address);
    };
    network.exchange = [timeout](uint32_t address, const std::string& request) {
        return TimeExchange(address, kTargetPort, request, timeout);
    };
    return network;
}

std::vector<size_t> NearestTargets(const DirectoryConfig& config) {
    std::vector<std::pair<double, size_t>> ranked;
    for (size_t i = 0; i < config.targets.size(); ++i) {
        const Target& t = config.targets[i];
        ranked.emplace_back(DistanceMiles(config.location.lat, config.location.lon, t.lat, t.lon),
                            i);
    }
    // Sandrow keeps the servers of one distance in the order of the list.
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<size_t> nearest;
    for (size_t i = 0; i < ranked.size() && i < kNearestTargets; ++i) {
        nearest.push_back(ranked[i].second);
    }
    return nearest;
}

int ChooseLikeSandrow(const std::vector<std::optional<double>>& latencies) {
    struct Slot {
        double latency;
        int index;
    };
    Slot best{99999999.0, -1};  // seconds; any answer beats it
    Slot worst{0.0, -1};
    Slot secondWorst{0.0, -1};
    Slot thirdWorst{0.0, -1};
    for (size_t i = 0; i < latencies.size(); ++i) {
        if (!latencies[i]) continue;
        const Slot answer{*latencies[i], static_cast<int>(i)};
        if (answer.latency < best.latency) best = answer;
        // ">=": of equal latencies the later answer takes the slower slot.
        if (answer.latency >= worst.latency) {
            thirdWorst = secondWorst;
            secondWorst = worst;
            worst = answer;
        } else if (answer.latency >= secondWorst.latency) {
            thirdWorst = secondWorst;
            secondWorst = answer;
        } else if (answer.latency >= thirdWorst.latency) {
            thirdWorst = answer;
        }
    }
    if (thirdWorst.index >= 0 && thirdWorst.index != best.index) return thirdWorst.index;
    if (secondWorst.index >= 0 && secondWorst.index != best.index) return secondWorst.index;
    return worst.index;
}

CheckReport RunCheck(const DirectoryConfig& config, const CheckNetwork& network, int tries) {
    CheckReport report;
    report.tries = tries;
    for (const Target& t : config.targets) {
        TargetCheck row;
        row.distanceMiles = DistanceMiles(config.location.lat, config.location.lon, t.lat, t.lon);
        uint32_t address = 0;
        row.resolved = network.lookup(t.host, &address);
        if (!row.resolved) {
            row.statusLine = "name lookup failed";
            report.targets.push_back(std::move(row));
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        in_addr in{};
        in.s_addr = address;
        ::inet_ntop(AF_INET, &in, text, sizeof text);
        row.address = text;
        const std::string request = TimedRequest(t.host);
        for (int i = 0; i < tries; ++i) {
            TryResult r = network.exchange(address, request);
            if (r.answered) {
                row.times.push_back(r.seconds);
                row.statusLine = r.statusLine;
            } else if (row.times.empty()) {
                row.statusLine = r.problem;
            }
        }
        if (!row.times.empty()) {
            std::vector<double> sorted = row.times;
            std::sort(sorted.begin(), sorted.end());
            row.fastest = sorted.front();
            row.median = sorted[(sorted.size() - 1) / 2];
            ++report.answered;
        }
        report.targets.push_back(std::move(row));
    }
    const std::vector<size_t> nearest = NearestTargets(config);
    std::vector<std::optional<double>> latencies;
    for (size_t rank = 0; rank < nearest.size(); ++rank) {
        TargetCheck& row = report.targets[nearest[rank]];
        row.nearestRank = static_cast<int>(rank);
        latencies.push_back(row.median);
    }
    const int choice = ChooseLikeSandrow(latencies);
    if (choice >= 0) report.chosen = static_cast<int>(nearest[static_cast<size_t>(choice)]);
    return report;
}

std::string FormatCheckReport(const DirectoryConfig& config, const CheckReport& report) {
    constexpr size_t kColumns = 8;
    struct Row {
        std::string cells[kColumns];
    };
    std::vector<Row> rows;
    rows.push_back(
        {{"target", "host", "address", "answers", "status", "fastest", "median", "sandrow"}});
    for (size_t i = 0; i < report.targets.size(); ++i) {
        const Target& t = config.targets[i];
        const TargetCheck& c = report.targets[i];
        std::string sandrow = "-";
        if (c.nearestRank >= 0) {
            sandrow = "nearest " + std::to_string(c.nearestRank + 1);
            if (static_cast<int>(i) == report.chosen) sandrow += ", CHOSEN";
        }
        rows.push_back(
            {{t.name.empty() ? "(no name)" : t.name, t.host, c.resolved ? c.address : "-",
              c.resolved ? std::to_string(c.times.size()) + "/" + std::to_string(report.tries)
                         : "-",
              c.statusLine, c.fastest ? Milliseconds(*c.fastest) : "-",
              c.median ? Milliseconds(*c.median) : "-", sandrow}});
    }
    size_t widths[kColumns] = {};
    for (const Row& r : rows) {
        for (size_t k = 0; k < kColumns; ++k) widths[k] = std::max(widths[k], r.cells[k].size());
    }
    std::string out;
    for (const Row& r : rows) {
        std::string line;
        for (size_t k = 0; k < kColumns; ++k) {
            line += r.cells[k];
            if (k + 1 < kColumns) line += std::string(widths[k] - r.cells[k].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    if (report.chosen >= 0) {
        const Target& t = config.targets[static_cast<size_t>(report.chosen)];
        out += "sandrow would probe " + t.host + " (target " +
               (t.name.empty() ? std::string("without a name") : "'" + t.name + "'") +
               "): of the nearest answers it takes the third-slowest, never the fastest while "
               "another answered.\n";
    } else if (report.answered > 0) {
        out += "none of the " + std::to_string(kNearestTargets) +
               " nearest targets answered: sandrow times only those and would find no server.\n";
    } else {
        out += "no target answered: sandrow would find no server.\n";
    }
    return out;
}

}  // namespace directory
