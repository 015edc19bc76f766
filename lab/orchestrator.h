// One lab run, whatever its world: the run directory and its journal, the
// bus, the stand-ins and the directory's hosts, sandrow, and the scenario's
// timeline ten looks a second, pass by pass. What differs between simulated
// lines and real TCP through the kernel is behind World.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lab/directory_hosts.h"
#include "lab/journal.h"
#include "lab/lab.h"
#include "lab/processes.h"
#include "lab/results.h"
#include "lab/scenario.h"
#include "lab/standins.h"

namespace lab {

// The timeline's pace: the world is looked at ten times a second, and each
// tenth look ends a second (a row of the outputs).
inline constexpr int kLooksPerSecond = 10;

// What the orchestrator and its world share.
struct LabShared {
    using Clock = std::chrono::steady_clock;

    LabShared(const Scenario& scenario, const LabOptions& labOptions, std::string runDirectory)
        : s(scenario), options(labOptions), dir(std::move(runDirectory)) {}

    std::string File(const std::string& name) const { return dir + "/" + name; }
    // Seconds on the lab's clock, which starts as the world comes up.
    double Now() const { return std::chrono::duration<double>(Clock::now() - t0).count(); }
    // Writes a world's summary.txt and its other outputs (by name, plot.gp
    // among them), draws plot.png, then prints the summary and what the run
    // directory holds (`listing`).
    void Publish(const std::string& summary,
                 const std::vector<std::pair<std::string, std::string>>& outputs,
                 const std::string& listing);

    const Scenario& s;
    const LabOptions& options;
    const std::string dir;
    Journal journal;
    BusDaemon bus;
    std::unique_ptr<StandIns> standIns;  // made by the world, which knows their delays
    DirectoryHosts directory;
    ChildProcess sandrow;
    Clock::time_point t0;
    bool failed = false;  // the run fails, whatever sandrow did
};

// One pass of the scenario: the world runs it once or more (the kernel lab
// without and with sandrow), each on a clock of its own.
struct PassRecord {
    std::string name;
    bool withSandrow = true;
    LabShared::Clock::time_point start;
    SandrowFacts sandrow;
    double sandrowStartS = -1;  // on the pass's clock
    bool interrupted = false;

    double Seconds() const {
        return std::chrono::duration<double>(LabShared::Clock::now() - start).count();
    }
};

class World {
  public:
    explicit World(LabShared& lab) : lab_(lab) {}
    virtual ~World() = default;
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Before the stop signals are blocked (what it starts must not inherit
    // the mask); false with *error.
    virtual bool Prepare(std::string* error) {
        (void)error;
        return true;
    }
    // The lines, the bus and the service's side, the stand-ins and the
    // directory's hosts (started unless the scenario starts them late); false
    // with *error.
    virtual bool Start(std::string* error) = 0;
    // What came up, for the journal's "world up: " line.
    virtual std::string Description() const = 0;
    // The passes, in order, with their names and whether sandrow runs.
    virtual std::vector<PassRecord> Passes() const = 0;
    // Sets the pass's start and makes ready; false (noted, the run failed)
    // when the pass cannot run.
    virtual bool BeginPass(PassRecord& pass) = 0;
    // What the scenario wants at `t` of the pass besides its events: the
    // lines' capacity and demand.
    virtual void Follow(double t) { (void)t; }
    // An event of the service or of the lines, which only some worlds stage:
    // what happened, for the journal.
    virtual std::string ApplyWorldEvent(const Event& e) {
        (void)e;
        return "";
    }
    // Look number `look` (due at look / kLooksPerSecond s), taken at `t` of
    // the pass.
    virtual void Look(long look, double t) = 0;
    // Sandrow and the directory's hosts, started where the world wants them
    // (by default in the lab's own network).
    virtual bool StartSandrow(const ChildProcess::Options& o, std::string* error) {
        return lab_.sandrow.Start(o, error);
    }
    virtual bool StartDirectory(std::string* error) { return lab_.directory.Start(error); }
    // After sandrow stopped: the pass's figures.
    virtual void EndPass(PassRecord& pass) = 0;
    // After the last pass, before the stand-ins, the directory and the bus stop.
    virtual void EndRuns() {}
    // The outputs, and whether the run succeeded.
    virtual void Finish() = 0;
    virtual bool Succeeded() const = 0;

  protected:
    LabShared& lab_;
};

// Runs the world's passes and writes its outputs; the exit code of
// sandrow-lab. Must be called before the process starts any thread.
int RunWorld(LabShared& lab, World& world);

}  // namespace lab
