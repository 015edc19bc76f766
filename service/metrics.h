// The service's metrics in the Prometheus text exposition format (0.0.4):
// the text itself, a file rewritten once a second for node-exporter's
// textfile collector, and a small HTTP endpoint on loopback. Both outputs are
// tasks of the service's one poll loop: no thread, no lock.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"
#include "service/answer_server.h"
#include "service/backend.h"
#include "service/bus_server.h"
#include "service/metrics_config.h"

namespace corvane {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format wants it: backslash, double quote and newline
// escaped; bytes that are not UTF-8 become U+FFFD, since a scraper refuses
// the whole text for one bad label.
std::string EscapeLabelValue(std::string_view value);

// The exposition text of the gateways' figures: every family with its HELP
// and TYPE, then its samples. A gateway whose name and interface repeat an
// earlier one's is left out: a repeated series makes the whole scrape fail.
std::string RenderMetrics(std::span<const GatewayMetrics> gateways);

// Fills *text with the exposition text as of now; false when the figures
// cannot be read.
using MetricsSource = std::function<bool(std::string* text)>;
MetricsSource BackendMetricsSource(Backend& backend);

using platform::UniqueFd;

// The metrics file, rewritten once a second: the text goes into a temporary
// file beside it (mode 0644, a name the textfile collector skips) that then
// takes its place by rename, so a reader sees the old file or the new one,
// never half of one. A failure is logged once, and once more when writing works
// again; in between the service stays quiet. On a clean stop the file is
// removed: node-exporter would otherwise go on publishing the last figures of
// a service that is gone.
class MetricsFile : public LoopTask {
  public:
    using Clock = std::chrono::steady_clock;
    using LogFn = std::function<void(std::string_view)>;

    // `now` and `log` default to the monotonic clock and ServiceLog.
    MetricsFile(std::string path, MetricsSource source,
                std::function<Clock::time_point()> now = nullptr, LogFn log = nullptr);
    ~MetricsFile() override;
    MetricsFile(const MetricsFile&) = delete;
    MetricsFile& operator=(const MetricsFile&) = delete;

    void AddFds(std::vector<pollfd>* fds) override;
    int MsUntilWork() override;
    void Work(std::span<const pollfd> fds) override;

    // One rewrite now; true when the file was replaced.
    bool WriteNow();

  private:
    bool Write(std::string* problem);

    std::string path_;
    MetricsSource source_;
    std::function<Clock::time_point()> now_;
    LogFn log_;
    Clock::time_point due_;
    bool failing_ = false;
    bool wrote_ = false;
};

// What the endpoint allows one client; more than maxConnections wait in the
// listen backlog.
using EndpointLimits = AnswerLimits;

// GET /metrics over HTTP/1.x on a loopback address, one answer per
// connection (Connection: close). Requests are read and answers written
// without blocking, from the service's loop. Beyond maxConnections the
// listener is not polled: new connections wait in the kernel's listen backlog
// (16 deep; past it the kernel holds off the handshake and clients retry),
// so a burst of honest scrapers is served in turn once slots free up, and
// idle clients cost nothing but their slot until their deadline.
class MetricsEndpoint : public LoopTask {
  public:
    using Clock = std::chrono::steady_clock;

    // Listens on the address; nullptr with *error (one line) when it cannot.
    static std::unique_ptr<MetricsEndpoint> Open(const ListenAddress& address, MetricsSource source,
                                                 std::string* error, EndpointLimits limits = {});
    ~MetricsEndpoint() override;
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // The address as bound, "127.0.0.1:9464" or "[::1]:9464" (the port the
    // kernel chose for a port of 0).
    std::string Address() const { return server_.Address(); }
    size_t connections() const { return server_.connections(); }

    void AddFds(std::vector<pollfd>* fds) override;
    int MsUntilWork() override;
    void Work(std::span<const pollfd> fds) override;

  private:
    MetricsEndpoint(UniqueFd listener, MetricsSource source, EndpointLimits limits);

    AnswerServer server_;
};

}  // namespace corvane
