// The kernel lab's world: the real corvane-service (--backend kernel) and
// real TCP through real qdiscs, in namespaces of the lab's own (the
// internet, the router, the client), each line a veth pair with its
// capacity, buffer and round trip.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lab/kernel_net.h"
#include "lab/orchestrator.h"
#include "lab/processes.h"
#include "lab/results.h"
#include "lab/traffic.h"

namespace lab {

// One line of the world: its part of the scenario, the receiving end of its
// downloads, their sender while the demand is greedy, and its meter.
struct LineWorld {
    LineWorld(const SimLine& l, const KernelLineSetup& s) : line(l), setup(s) {}
    const SimLine& line;
    const KernelLineSetup& setup;
    TcpSink sink;
    std::unique_ptr<TcpSource> source;
    EchoMeter meter;
    std::chrono::steady_clock::time_point meterStart;
};

// Where one line stands in a pass: the capacity as last set, and what the
// looks since the last row add up to.
struct LinePass {
    double meterOffset = 0;  // seconds the line's meter had run at the pass's start
    double capacity = 0;     // mbps, as last set on the line
    uint64_t lastBytes = 0;  // the sink's count at the last row
    double ispBacklog = 0, routerBacklog = 0;  // summed over the second's looks
    double limit = -1;
    double baseline = -1;  // the idle round trip so far, for the status line
};

// What one pass of the scenario adds up: the looks since the last row, and
// each line's tally.
struct PassTally {
    std::chrono::steady_clock::time_point start;
    size_t firstProbe = 0;  // the stand-ins' first probe not yet in a row
    double lastRowAt = 0;
    int looks = 0;
    std::vector<LinePass> lines;
};

class KernelWorld : public World {
  public:
    explicit KernelWorld(LabShared& lab) : World(lab) {
        for (size_t i = 0; i < s_.sim.lines.size(); ++i) {
            lines_.push_back(std::make_unique<LineWorld>(s_.sim.lines[i], s_.kernel.lines[i]));
        }
    }

    bool Start(std::string* error) override;
    std::string Description() const override;
    std::vector<PassRecord> Passes() const override;
    bool BeginPass(PassRecord& pass) override;
    void Follow(double t) override;
    void Look(long look, double t) override;
    // In the router's namespace, as on a router.
    bool StartSandrow(const ChildProcess::Options& o, std::string* error) override;
    // In the internet's namespace.
    bool StartDirectory(std::string* error) override;
    // Stops the pass's downloads and service, puts the stand-ins back, then
    // takes the meters' samples of the pass, sandrow's console and its
    // probes' gateways.
    void EndPass(PassRecord& pass) override;
    void EndRuns() override;
    void Finish() override;
    bool Succeeded() const override;

  private:
    std::string File(const std::string& name) const { return lab_.File(name); }
    double Now() const { return lab_.Now(); }
    bool StartService(KernelRunRecord& run, std::string* error);
    void StopService(KernelRunRecord& run);
    void SetDemand(size_t line, bool greedy, double t);
    // The rows and status line of the second that ends at `rowT`, from the
    // looks since the last row; the tally starts afresh.
    void RecordSecond(double rowT, double t);

    const Scenario& s_{lab_.s};
    std::vector<std::unique_ptr<LineWorld>> lines_;
    KernelNet net_;
    EchoServer echo_;
    ChildProcess service_;
    std::vector<KernelRunRecord> runs_;
    KernelRunRecord run_;  // the pass under way
    PassTally tally_;
};

}  // namespace lab
