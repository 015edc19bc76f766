// corvane-service's whole program: the command line, the backend it names,
// the metrics, and the bus until a stop signal.
#include "service/service_main.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/signals.h"
#include "service/bus_server.h"
#include "service/kernel/kernel_backend.h"
#include "service/metrics.h"
#include "service/static_backend.h"

namespace {

// Exit codes: 0 stopped by SIGTERM or SIGINT; 1 the bus failed (or, for
// --cleanup, something could not be removed); 2 a wrong command line or
// configuration, or a system the backend cannot work on.
constexpr int kExitBus = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: corvane-service --config FILE [--backend static|kernel]\n"
    "       corvane-service --cleanup --config FILE\n"
    "  --backend static  a fixed picture from the configuration (the default)\n"
    "  --backend kernel  shapes the configured WAN interfaces with the kernel's traffic\n"
    "                    control (needs CAP_NET_ADMIN; see examples/kernel.ini)\n"
    "  --cleanup         removes the kernel backend's devices and qdiscs, as after a crash\n"
    "Metrics (Prometheus text format), from the [metrics] section of any backend's file:\n"
    "  file = PATH       rewritten once a second for node-exporter's textfile collector\n"
    "                    (default /var/lib/prometheus/node-exporter/corvane.prom; empty: off)\n"
    "  listen = ADDRESS  GET /metrics over HTTP on 127.0.0.1:PORT or [::1]:PORT, loopback\n"
    "                    only (default empty: off)\n"
    "Exit codes: 0 stopped by SIGTERM/SIGINT; 1 the bus failed; 2 usage, configuration or\n"
    "a system the backend cannot shape.";

// Each backend's file also carries the [metrics] section, into *metrics.
using BackendFactory = std::unique_ptr<corvane::Backend> (*)(const std::string& configPath,
                                                             corvane::MetricsConfig* metrics,
                                                             std::string* error);

std::unique_ptr<corvane::Backend> MakeStaticBackend(const std::string& configPath,
                                                    corvane::MetricsConfig* metrics,
                                                    std::string* error) {
    corvane::StaticConfig config;
    if (!corvane::LoadStaticConfig(configPath, &config, error)) return nullptr;
    *metrics = config.metrics;
    corvane::ServiceLog("static backend: " + std::to_string(config.gateways.size()) +
                        " gateways, " + std::to_string(config.interfaces.size()) + " interfaces, " +
                        std::to_string(config.processes.size()) + " processes, " +
                        std::to_string(config.domains.size()) + " domains");
    return std::make_unique<corvane::StaticBackend>(std::move(config));
}

// The WAN interfaces of the configuration, shaped from the start; a system
// it cannot shape is refused here, with nothing left behind.
std::unique_ptr<corvane::Backend> MakeKernelBackend(const std::string& configPath,
                                                    corvane::MetricsConfig* metrics,
                                                    std::string* error) {
    corvane::KernelConfig config;
    if (!corvane::LoadKernelConfig(configPath, &config, error)) return nullptr;
    *metrics = config.metrics;
    std::unique_ptr<corvane::KernelBackend> backend =
        corvane::KernelBackend::Open(std::move(config), error);
    if (!backend || !backend->Start(error)) return nullptr;
    return backend;
}

// --cleanup: what the kernel backend made, removed without a bus.
int Cleanup(const std::string& configPath) {
    corvane::KernelConfig config;
    std::string error;
    if (!corvane::LoadKernelConfig(configPath, &config, &error)) {
        corvane::ServiceLog(error);
        return kExitUsage;
    }
    std::unique_ptr<corvane::KernelBackend> backend =
        corvane::KernelBackend::Open(std::move(config), &error);
    if (!backend) {
        corvane::ServiceLog(error);
        return kExitBus;
    }
    std::vector<std::string> problems;
    std::vector<std::string> orphans;
    backend->RemoveOrphans(&orphans);
    if (backend->RemoveAll(&problems) && orphans.empty()) {
        corvane::ServiceLog("cleanup: nothing of corvane-service is left");
        return 0;
    }
    problems.insert(problems.end(), orphans.begin(), orphans.end());
    for (const std::string& p : problems) corvane::ServiceLog("cleanup: " + p);
    return kExitBus;
}

// Every backend the service knows, by its --backend name.
struct BackendEntry {
    const char* name;
    BackendFactory make;
};
constexpr BackendEntry kBackends[] = {
    {"static", &MakeStaticBackend},
    {"kernel", &MakeKernelBackend},
};

}  // namespace

namespace corvane {

int ServiceMain(int argc, char** argv, FaultSource* faults) {
    std::string configPath;
    std::string backendName = "static";
    bool cleanup = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--config" || arg == "--backend") && i + 1 < argc) {
            (arg == "--config" ? configPath : backendName) = argv[++i];
        } else if (arg == "--cleanup") {
            cleanup = true;
        } else if (arg == "--help" || arg == "-h") {
            std::printf("%s\n", kUsage);
            return 0;
        } else {
            corvane::ServiceLog("unexpected argument '" + arg + "'; " + kUsage);
            return kExitUsage;
        }
    }
    if (configPath.empty()) {
        corvane::ServiceLog(std::string("no --config given; ") + kUsage);
        return kExitUsage;
    }
    if (cleanup) return Cleanup(configPath);
    BackendFactory make = nullptr;
    for (const BackendEntry& entry : kBackends) {
        if (backendName == entry.name) make = entry.make;
    }
    if (make == nullptr) {
        corvane::ServiceLog("unknown backend '" + backendName + "' (known: static, kernel)");
        return kExitUsage;
    }

    // SIGTERM and SIGINT arrive through a descriptor that the poll loop
    // watches, so no work happens in a signal handler. They are blocked before
    // anything could start a thread that would inherit them unblocked; a
    // client that goes away must not kill the service with SIGPIPE.
    platform::UniqueFd stopFd(platform::TakeStopSignals());
    if (!stopFd) {
        corvane::ServiceLog(std::string("cannot take the stop signals: ") + std::strerror(errno));
        return kExitBus;
    }

    std::string error;
    corvane::MetricsConfig metrics;
    std::unique_ptr<corvane::Backend> backend = make(configPath, &metrics, &error);
    if (!backend) {
        corvane::ServiceLog(error);
        return kExitUsage;
    }
    // The metrics run in the bus's loop, beside the backend.
    const corvane::MetricsSource source = corvane::BackendMetricsSource(*backend);
    std::unique_ptr<corvane::MetricsEndpoint> endpoint;
    std::unique_ptr<corvane::MetricsFile> file;
    std::vector<corvane::LoopTask*> tasks;
    if (!metrics.listen.empty()) {
        endpoint = corvane::MetricsEndpoint::Open(metrics.listenAddress, source, &error);
        if (!endpoint) {
            corvane::ServiceLog(error);
            backend->Shutdown();
            return kExitUsage;
        }
        std::string line = "metrics at http://";
        line.append(endpoint->Address()).append("/metrics");
        corvane::ServiceLog(line);
        tasks.push_back(endpoint.get());
    }
    if (!metrics.file.empty()) {
        file = std::make_unique<corvane::MetricsFile>(metrics.file, source);
        tasks.push_back(file.get());
    }
    if (!corvane::ServeOnBus(*backend, stopFd.get(), &error, tasks, faults)) {
        corvane::ServiceLog(error);
        backend->Shutdown();
        return kExitBus;
    }
    corvane::ServiceLog(std::string("stopped by ") + platform::ReadStopSignal(stopFd.get()));
    backend->Shutdown();
    return 0;
}

}  // namespace corvane
