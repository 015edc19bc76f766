// Round trips to the real corvane-service on a private bus: one call, and the
// service calls of one monitor tick with 16 gateways.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "service/service_harness.h"
#include "shaper/bus_binding.h"

namespace {

constexpr int kGateways = 16;
constexpr int kProcessesPerGateway = 8;
constexpr int kDomainsPerGateway = 4;

struct Bound {
    ComPtr<INetworkManager> network;
    ComPtr<IRulesManager> rules;
    ComPtr<IConfigurationManager> configuration;
};
Bound gBound;

// 16 gateways, one interface each, and a few growing processes and domains
// behind each: the lists a busy machine would show.
std::string BenchConfig() {
    std::string text;
    char line[256];
    for (int g = 0; g < kGateways; ++g) {
        std::snprintf(line, sizeof line,
                      "[gateway wan%d]\nmac = 02-00-00-00-01-%02x\nid = %d\n"
                      "upload_bps = 20000000\ndownload_bps = 100000000\n"
                      "[interface eth%d]\nmac = 02-00-00-00-02-%02x\ndevice_id = %d\n"
                      "gateway_id = %d\n",
                      g, g, g, g, g, 100 + g, g);
        text += line;
        for (int p = 0; p < kProcessesPerGateway; ++p) {
            std::snprintf(line, sizeof line,
                          "[process app%d-%d]\ndevice_id = %d\nprocess_id = %d\n"
                          "download_rate_bps = 1000000\n",
                          g, p, 100 + g, 1000 + g * 100 + p);
            text += line;
        }
        for (int d = 0; d < kDomainsPerGateway; ++d) {
            std::snprintf(line, sizeof line,
                          "[domain site%d-%d.example.com]\ndevice_id = %d\n"
                          "download_rate_bps = 500000\n",
                          g, d, 100 + g);
            text += line;
        }
    }
    return text;
}

void BM_OneCall_PrepareLimitChange(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(gBound.configuration->PrepareLimitChange(-1));
}
BENCHMARK(BM_OneCall_PrepareLimitChange)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

void BM_OneCall_GetNetworkInfoList(benchmark::State& state) {
    NetworkInfoArrays info;
    for (auto _ : state) benchmark::DoNotOptimize(gBound.network->GetNetworkInfoList(&info));
}
BENCHMARK(BM_OneCall_GetNetworkInfoList)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

// One tick: the gateway check, then both traffic lists for every gateway.
void BM_TickWith16Gateways(benchmark::State& state) {
    NetworkInfoArrays info;
    TrafficListArrays lists;
    for (auto _ : state) {
        gBound.network->GetNetworkInfoList(&info);
        for (int g = 0; g < kGateways; ++g) {
            gBound.rules->GetProcessList(-1, &lists);
            gBound.rules->GetDomainList(-1, &lists);
        }
    }
}
BENCHMARK(BM_TickWith16Gateways)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    test::TempDir dir;
    servicetest::PrivateBus bus(dir);
    if (!bus.ok()) {
        std::fprintf(stderr, "service_bench: dbus-daemon could not start a private bus\n");
        return 1;
    }
    bus.Use();
    std::string config = dir.file("bench.ini");
    test::WriteFile(config, BenchConfig());
    servicetest::ServiceProcess service({"--config", config}, dir.file("service.err"));
    if (!servicetest::WaitUntilServing()) {
        std::fprintf(stderr, "service_bench: corvane-service did not start:\n%s",
                     test::ReadFile(dir.file("service.err")).c_str());
        return 1;
    }
    try {
        ComPtr<IBandwidthControlManager> root;
        ComPtr<IFactoryManager> factory;
        ThrowIfFailed(BusServiceBinding().CreateInstance(&root));
        ThrowIfFailed(root->Initialize(0, 1, 0, L"", L""));
        ThrowIfFailed(root->GetFactoryManager(&factory));
        ThrowIfFailed(factory->GetNetworkManager(&gBound.network));
        ThrowIfFailed(factory->GetRulesManager(&gBound.rules));
        ThrowIfFailed(factory->GetConfigurationManager(&gBound.configuration));
        benchmark::RunSpecifiedBenchmarks();
    } catch (const ComError& e) {
        std::fprintf(stderr, "service_bench: service call failed: 0x%08x\n",
                     static_cast<unsigned>(e.Error()));
        return 1;
    }
    benchmark::Shutdown();
    gBound = Bound{};
    return 0;
}
