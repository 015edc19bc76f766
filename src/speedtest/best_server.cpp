// Best-server selection by the third-worst latency rule.
#include "speedtest/best_server.h"

#include <cstdint>

#include "log/console_print.h"
#include "log/logger.h"
#include "speedtest/http_exchange.h"

namespace {

constexpr double kNoBestYet = 99999999.0;  // seconds; any answer beats it

// One kept latency and the index of the server that gave it; -1 = none.
struct Slot {
    double latency;
    int32_t index;
};

// The answers that decide: the fastest, and the three slowest.
struct Ranking {
    Slot best{kNoBestYet, -1};
    Slot worst{0.0, -1};
    Slot secondWorst{0.0, -1};
    Slot thirdWorst{0.0, -1};
};

void Announce(const wchar_t* consoleFormat, const char* logPrefix, const Slot& slot,
              ServerRecord& server) {
    const std::string& url = server["url"];
    ConsolePrintf(consoleFormat, slot.latency, url.c_str());
    LogDebug(logPrefix, slot.latency, "] from: url=", url);
}

}  // namespace

int GetHostFromUrl(const std::string& url, std::string& host, std::string& pathForGet) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        ConsolePrintf(L"GetHostFromUrl(%hs) failed to find hostname\n", url.c_str());
        return -1;
    }
    size_t hostStart = scheme + 3;
    size_t slash = url.find('/', hostStart);
    if (slash == std::string::npos) {
        // Nothing to ask for on such a server: skipped like a url without host.
        ConsolePrintf(L"GetHostFromUrl(%hs) failed to find path\n", url.c_str());
        return -1;
    }
    host = url.substr(hostStart, slash - hostStart);  // keeps any ":port"
    std::string path = url.substr(slash);
    pathForGet = path.substr(0, path.find("upload.php"));
    return 0;
}

namespace {

// Times every server with a usable url and keeps the fastest answer and the
// three slowest.
Ranking MeasureServers(ServerList& servers) {
    Ranking r;
    for (size_t i = 0; i < servers.size(); ++i) {
        ServerRecord& server = servers[i];
        std::string host;
        std::string pathForGet;
        if (GetHostFromUrl(server["url"], host, pathForGet) == -1) continue;
        server["pathForGet"] = pathForGet;

        double latency = 0.0;
        if (SendMeasureLatencyResponse(host, BuildLatencyRequest(host), &latency) != 0) {
            ConsolePrintf(L"x");
            continue;
        }
        server["host"] = host;

        const Slot answer{latency, static_cast<int32_t>(i)};
        if (latency < r.best.latency) r.best = answer;
        // ">=": of equal latencies the later answer takes the slower slot.
        if (latency >= r.worst.latency) {
            r.thirdWorst = r.secondWorst;
            r.secondWorst = r.worst;
            r.worst = answer;
        } else if (latency >= r.secondWorst.latency) {
            r.thirdWorst = r.secondWorst;
            r.secondWorst = answer;
        } else if (latency >= r.thirdWorst.latency) {
            r.thirdWorst = answer;
        }
    }
    ConsolePrintf(L"\n");
    return r;
}

}  // namespace

int GetBestServer(ServerList& servers) {
    const Ranking r = MeasureServers(servers);

    auto valid = [&servers](const Slot& slot) {
        return slot.index >= 0 && static_cast<size_t>(slot.index) < servers.size();
    };
    auto announce = [&servers](const wchar_t* consoleFormat, const char* logPrefix,
                               const Slot& slot) {
        Announce(consoleFormat, logPrefix, slot, servers[static_cast<size_t>(slot.index)]);
    };
    auto avoid = [&](const Slot& slot, const wchar_t* consoleFormat, const char* logPrefix) {
        if (valid(slot)) announce(consoleFormat, logPrefix, slot);
    };
    auto avoidSecondWorst = [&] {
        avoid(r.secondWorst, L"GetBestServer: Avoid 2nd worst latency[%lf] from: url=%hs\n",
              "GetBestServer: Avoid 2nd worst latency[");
    };
    auto avoidWorst = [&] {
        avoid(r.worst, L"GetBestServer: Avoid worst latency[%lf] from: url=%hs\n",
              "GetBestServer: Avoid worst latency[");
    };
    auto avoidBest = [&] {
        avoid(r.best, L"GetBestServer: Avoid best latency[%lf] from: url=%hs\n",
              "GetBestServer: Avoid best latency[");
    };

    if (valid(r.thirdWorst) && r.thirdWorst.index != r.best.index) {
        announce(L"GetBestServer: Using 3rd worst latency[%lf] from: url=%hs\n",
                 "GetBestServer: Using 3rd worst latency[", r.thirdWorst);
        avoidSecondWorst();
        avoidWorst();
        avoidBest();
        return r.thirdWorst.index;
    }
    if (valid(r.secondWorst) && r.secondWorst.index != r.best.index) {
        announce(L"GetBestServer: Using 2nd Worst latency[%lf] from: url=%hs\n",
                 "GetBestServer: Using 2nd worst latency[", r.secondWorst);
        avoidWorst();
        avoidBest();
        return r.secondWorst.index;
    }
    if (valid(r.worst)) {
        announce(L"GetBestServer: Using worst latency[%lf] from: url=%hs\n",
                 "GetBestServer: Using worst latency[", r.worst);
        avoidBest();
        return r.worst.index;
    }
    return -1;
}
