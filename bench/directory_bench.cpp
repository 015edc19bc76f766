// Benchmarks of the directory path: a 10000-server list (about 2 MB) fetched
// from loopback, parsed and ranked; and the processor time the monitor spends
// waiting on a server that never answers.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"

namespace {

constexpr int kServers = 10000;

std::string ServerListDocument() {
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n<servers>\n";
    char tag[512];
    for (int i = 0; i < kServers; ++i) {
        double lat = -60.0 + (i * 7919 % 12000) / 100.0;
        double lon = -180.0 + (i * 104729 % 36000) / 100.0;
        std::snprintf(tag, sizeof(tag),
                      "<server url=\"http://speedtest.s%05d.example.net:8080/speedtest/"
                      "upload.php\" lat=\"%.4f\" lon=\"%.4f\" name=\"Town %05d\" "
                      "country=\"Land\" cc=\"LD\" sponsor=\"Net &amp; Co\" "
                      "id=\"%d\" host=\"speedtest.s%05d.example.net:8080\" />\n",
                      i, lat, lon, i, i + 1000, i);
        document += tag;
    }
    return document + "</servers>\n</settings>\n";
}

double ProcessCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

void BM_FetchParseRankServerList(benchmark::State& state) {
    const std::string reply = test::HttpReply(ServerListDocument());
    test::LoopbackServer server(test::AnswerWith(reply));
    ExchangeSettings settings;
    settings.port = server.port();
    SetExchangeSettingsForTest(settings);
    platform::gPerfFrequency = platform::kPerfFrequency;
    const std::string request = BuildServerListRequest("127.0.0.1");
    ServerList list;
    for (auto _ : state) {
        state.PauseTiming();
        ResetDirectoryForTest();
        gClientAttrs = {{"lat", "\"52.52\""}, {"lon", "\"13.40\""}};
        state.ResumeTiming();
        if (GetClosestServersFrom("127.0.0.1", request, list) != 0 || list.size() != kServers ||
            gServersByDistance.empty()) {
            state.SkipWithError("the list did not come through whole");
            break;
        }
    }
    state.counters["reply_bytes"] = static_cast<double>(reply.size());
    state.counters["servers"] = static_cast<double>(list.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
    ResetExchangeSettingsForTest();
    ResetDirectoryForTest();
}
BENCHMARK(BM_FetchParseRankServerList)->Unit(benchmark::kMillisecond)->UseRealTime();

// The transfer alone, for comparison: the same reply received and dropped.
void BM_FetchOnly(benchmark::State& state) {
    const std::string reply = test::HttpReply(ServerListDocument());
    test::LoopbackServer server(test::AnswerWith(reply));
    ExchangeSettings settings;
    settings.port = server.port();
    SetExchangeSettingsForTest(settings);
    const ExchangeProfile profile{nullptr, false, false};
    const std::string request = BuildServerListRequest("127.0.0.1");
    for (auto _ : state) {
        ExchangeResult result =
            HttpExchange(profile, "127.0.0.1", request, [](const char*, size_t) { return true; });
        if (result.bytesReceived != reply.size()) {
            state.SkipWithError("short reply");
            break;
        }
    }
    ResetExchangeSettingsForTest();
}
BENCHMARK(BM_FetchOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// One wait for the full (shortened to 10 s) idle time on a server that
// accepts the request and never answers.
void BM_SilentServerWait(benchmark::State& state) {
    test::LoopbackServer server([](test::Connection& c) {
        c.ReadRequest();
        c.HoldSilently();
    });
    ExchangeSettings settings;
    settings.port = server.port();
    settings.idleTimeoutMs = static_cast<uint32_t>(state.range(0));
    SetExchangeSettingsForTest(settings);
    platform::SetConsoleSinkForTest([](std::string_view) {});
    double cpuMs = 0;
    for (auto _ : state) {
        double before = ProcessCpuMs();
        double seconds = 0;
        benchmark::DoNotOptimize(
            SendMeasureLatencyResponse("127.0.0.1", BuildLatencyRequest("127.0.0.1"), &seconds));
        cpuMs = ProcessCpuMs() - before;
    }
    state.counters["process_cpu_ms"] = cpuMs;
    platform::SetConsoleSinkForTest(nullptr);
    ResetExchangeSettingsForTest();
}
BENCHMARK(BM_SilentServerWait)
    ->Arg(10000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
