// The stand-ins' handlers on the lab's HTTP server: the speed-test servers'
// latency answers, held back by the line's queue and the faults in force,
// and the collector's report form.
#include "lab/standins.h"

#include <algorithm>
#include <random>

namespace lab {
namespace {

constexpr size_t kMaxRecords = 1000000;  // about a day of probes at ten a second

}  // namespace

struct StandIns::State {
    StandInConfig config;
    QueueDelayFn queueDelay;
    NowFn clock;  // the caller's seconds, for the records
    HttpServer http;
    size_t collectorTag = 0;  // the listeners' tags: the servers' indexes, then the collector

    // The loop's own.
    std::mt19937 random;
    std::vector<std::optional<DownMode>> serverDown;
    size_t postIndex = 0;

    // Read by the caller's threads.
    mutable std::mutex mutex;
    std::vector<ProbeRecord> probes;
    std::vector<PostRecord> posts;

    State(StandInConfig c, QueueDelayFn delay, NowFn now)
        : config(std::move(c)),
          queueDelay(std::move(delay)),
          clock(std::move(now)),
          http([this](size_t tag, const HttpRequest& r) { return Handle(tag, r); }),
          random(config.seed),
          serverDown(config.servers.size()) {
        for (const StandInConfig::Server& server : config.servers) {
            http.AddListener(server.address, config.port);
        }
        collectorTag = config.servers.size();
        if (!config.collectorAddress.empty()) {
            http.AddListener(config.collectorAddress, config.port);
        }
    }

    HttpReply Handle(size_t tag, const HttpRequest& r) {
        if (tag < config.servers.size()) return ServeLatency(tag, r);
        if (r.target != "/action.php") return Plain(404, "no such form\n");
        if (r.method != "POST") return Plain(405, "POST only\n");
        return Collect(r);
    }

    static HttpReply Plain(int status, std::string body) {
        HttpReply reply;
        reply.status = status;
        reply.body = std::move(body);
        return reply;
    }

    HttpReply ServeLatency(size_t index, const HttpRequest& r) {
        if (r.method != "GET" || r.target != "/speedtest/latency.txt") {
            return Plain(r.method != "GET" ? 405 : 404, "latency.txt only\n");
        }
        const StandInConfig::Server& server = config.servers[index];
        std::optional<DownMode> down = serverDown[index];
        double heldMs = -1;  // not answered
        if (!down) {
            double queueMs = queueDelay(server.line) * 1000.0;
            double jitter = config.jitterMs > 0
                                ? std::uniform_real_distribution<double>(0, config.jitterMs)(random)
                                : 0;
            heldMs = server.delayMs + queueMs + jitter;
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (probes.size() < kMaxRecords) {
                probes.push_back(ProbeRecord{clock(), index, heldMs, r.peer});
            }
        }
        HttpReply reply = Plain(200, "test=test\n");
        if (down == DownMode::Close) reply.kind = HttpReply::Kind::Close;
        if (down == DownMode::Hang) reply.kind = HttpReply::Kind::Hang;
        if (!down) {
            reply.delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double, std::milli>(heldMs));
        }
        return reply;
    }

    HttpReply Collect(const HttpRequest& r) {
        const std::vector<int>& answers = config.collectorResponses;
        int status = answers.empty() ? 200 : answers[std::min(postIndex, answers.size() - 1)];
        ++postIndex;
        PostRecord record;
        record.at = clock();
        record.status = status;
        record.formRead = ParseReportForm(r.contentType, r.body, &record.form);
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (posts.size() < kMaxRecords) posts.push_back(record);
        }
        HttpReply reply = Plain(status, status == 200 ? "received\n" : "not taken\n");
        reply.type = "text/html";
        return reply;
    }
};

StandIns::StandIns(StandInConfig config, QueueDelayFn queueDelay, NowFn now)
    : state_(std::make_unique<State>(std::move(config), std::move(queueDelay), std::move(now))) {}

StandIns::~StandIns() {
    Stop();
}

bool StandIns::Start(std::string* error) {
    return state_->http.Start(error);
}

void StandIns::Stop() {
    state_->http.Stop();
}

void StandIns::SetServerDown(size_t server, DownMode mode) {
    State* s = state_.get();
    s->http.Post([s, server, mode] {
        s->serverDown.at(server) = mode;
        if (mode == DownMode::Refuse) s->http.Close(server);
    });
}

void StandIns::SetServerUp(size_t server) {
    State* s = state_.get();
    s->http.Post([s, server] {
        s->serverDown.at(server).reset();
        s->http.Open(server);
    });
}

uint16_t StandIns::PortOf(const std::string& address) const {
    return state_->http.PortOf(address);
}

std::vector<ProbeRecord> StandIns::Probes(size_t from) const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    if (from >= state_->probes.size()) return {};
    return std::vector<ProbeRecord>(state_->probes.begin() + static_cast<std::ptrdiff_t>(from),
                                    state_->probes.end());
}

std::vector<PostRecord> StandIns::Posts() const {
    std::lock_guard<std::mutex> hold(state_->mutex);
    return state_->posts;
}

StandInCounts StandIns::Counts() const {
    return state_->http.Counts();
}

std::vector<std::string> StandIns::TakeNotes() {
    return state_->http.TakeNotes();
}

}  // namespace lab
