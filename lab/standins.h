// The HTTP stand-ins for the speed-test servers and the report collector, on
// the lab's HTTP server (lab/http_server.h). The directory is the real
// sandrow-directory (lab/directory_hosts.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lab/documents.h"
#include "lab/http_server.h"
#include "lab/scenario.h"

namespace lab {

struct StandInConfig {
    uint16_t port = 80;  // 0: an ephemeral port per listener (tests)
    struct Server {
        std::string name;
        std::string address;
        double delayMs = 0;
        size_t line = 0;
    };
    std::vector<Server> servers;
    std::string collectorAddress;
    std::vector<int> collectorResponses{200};
    double jitterMs = 0;
    uint32_t seed = 1;
};

// What the stand-ins saw; times are seconds on the caller's clock.
struct ProbeRecord {
    double at = 0;
    size_t server = 0;
    double servedMs = 0;  // how long the answer was held back
    uint32_t from = 0;    // the requester's IPv4 address, network order (as Ipv4() gives it)
};

struct PostRecord {
    double at = 0;
    int status = 0;
    ReportForm form;
    bool formRead = false;
};

// The HTTP server's own counts: connections over its bound, bad requests.
using StandInCounts = HttpCounts;

class StandIns {
  public:
    // The queueing delay (seconds) of a simulated line now; called on the
    // loop's thread, so it must be thread-safe.
    using QueueDelayFn = std::function<double(size_t line)>;
    // The caller's clock in seconds, for the records.
    using NowFn = std::function<double()>;

    StandIns(StandInConfig config, QueueDelayFn queueDelay, NowFn now);
    ~StandIns();
    StandIns(const StandIns&) = delete;
    StandIns& operator=(const StandIns&) = delete;

    // Opens the listeners that are up from the start and starts the loop.
    // False with *error when an address cannot be bound or the thread fails.
    bool Start(std::string* error);
    void Stop();

    // Faults; in force for every request that arrives after the call returns.
    void SetServerDown(size_t server, DownMode mode);
    void SetServerUp(size_t server);

    // The port a listener of `address` is bound to (0 when it is not).
    uint16_t PortOf(const std::string& address) const;

    // The probes from the `from`th on (all by default), in arrival order.
    std::vector<ProbeRecord> Probes(size_t from = 0) const;
    std::vector<PostRecord> Posts() const;
    StandInCounts Counts() const;
    // Problems of the loop (a failed bind after a fault ended, ...).
    std::vector<std::string> TakeNotes();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lab
