// The kernel lab's corvane-service: one run of the real service per pass,
// configured for the pass, born in the router's namespace, and stopped with
// a look that it left no tree behind.
#include <signal.h>

#include "lab/kernel_world.h"
#include "netlink/netns.h"
#include "platform/bus.h"

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kServiceReadyTimeout = 5s;
constexpr auto kServiceStopTimeout = 10s;

}  // namespace

bool KernelWorld::StartService(KernelRunRecord& run, std::string* error) {
    // Without shaping the limit is lifted; with sandrow the service starts
    // at the configured bandwidth, as on a router.
    std::string text;
    std::string wans;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const LineWorld& w = *lines_[i];
        const corvane::Gateway& g = w.line.gateway;
        text += "[gateway " + w.line.name + "]\ninterface = " + KernelNet::Wan(i) +
                "\nmac = " + g.mac + "\nid = " + std::to_string(g.id) +
                "\ndownload_bps = " + std::to_string(run.shaped ? g.downloadBps : -1) +
                "\nupload_bps = " + std::to_string(run.shaped ? g.uploadBps : -1) +
                "\nleaf = " + w.setup.leaf + "\n";
        wans += (i ? " and " : "") + KernelNet::Wan(i);
    }
    // The lab's service publishes nothing into the host's node-exporter
    // directory.
    text += "[metrics]\nfile =\n";
    std::string config = File("service-" + run.name + ".ini");
    WriteWhole(config, text);
    ChildProcess::Options o;
    o.argv = {lab_.options.servicePath, "--config", config, "--backend", "kernel"};
    o.environment = EnvironmentWith({{"DBUS_SYSTEM_BUS_ADDRESS", lab_.bus.address()}});
    o.workingDirectory = lab_.dir;
    o.outputPath = File("service-" + run.name + ".log");
    o.ownProcessGroup = true;
    {
        nl::netns::Inside inside(net_.router());  // the child is born in the router
        if (!service_.Start(o, error)) return false;
    }
    platform::bus::ResetForTest();  // a fresh look at the bus for this run
    auto deadline = Clock::now() + kServiceReadyTimeout;
    while (!platform::bus::NameHasOwner()) {
        if (!service_.running() || Clock::now() > deadline ||
            service_.Wait(std::chrono::milliseconds(10)).has_value()) {
            *error = "corvane-service did not come up (see service-" + run.name + ".log)";
            return false;
        }
    }
    lab_.journal.Note(Now(),
                      run.name + ": corvane-service shapes " + wans + " (pid " +
                          std::to_string(service_.pid()) + ")",
                      true);
    return true;
}

void KernelWorld::StopService(KernelRunRecord& run) {
    if (!service_.running()) return;
    bool killed = false;
    run.serviceExit = service_.Stop(SIGTERM, kServiceStopTimeout, &killed);
    if (killed) {
        lab_.journal.Note(Now(), "corvane-service did not stop within 10 s of SIGTERM; killed",
                          true);
        lab_.failed = true;
    }
    run.treeRemoved = true;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (net_.Read(i).limitMbps >= 0) run.treeRemoved = false;
    }
    lab_.journal.Note(Now(),
                      run.name + ": corvane-service ended: " + ExitText(run.serviceExit) +
                          (run.treeRemoved ? "" : "; its tree is still there"),
                      true);
}

}  // namespace lab
