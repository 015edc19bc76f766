// The simulated lab: the real sandrow and sandrow-directory against
// simulated lines served by the lab's own thread (the `sim` backend on the
// bus), in a private network namespace.
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "lab/documents.h"
#include "lab/orchestrator.h"
#include "lab/sim_backend.h"
#include "netlink/netns.h"
#include "platform/bus.h"
#include "service/bus_server.h"

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Five tries of each of a scenario's few targets, each of at most 1 s.
constexpr auto kCheckTimeout = std::chrono::seconds(45);
constexpr auto kServiceReadyTimeout = 5s;
constexpr auto kServiceReadyPoll = 10ms;

// The service's objects on the bus, served from a thread of the lab so that
// the latency stand-in reads the simulated lines directly.
class ServiceRunner {
  public:
    ServiceRunner(corvane::Backend& backend, Journal& journal)
        : backend_(backend), journal_(journal) {}
    ~ServiceRunner() { Stop(); }

    bool Start(std::string* error) {
        if (thread_.joinable() && serving_) return true;
        Stop();  // a thread whose ServeOnBus gave up is joined first
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0) {
            *error = std::string("eventfd: ") + std::strerror(errno);
            return false;
        }
        try {
            serving_ = true;
            thread_ = std::thread([this] {
                std::string problem;
                if (!corvane::ServeOnBus(backend_, stopFd_, &problem)) {
                    journal_.Queue("the service stopped: " + problem);
                }
                serving_ = false;
            });
        } catch (const std::system_error& e) {
            *error = std::string("cannot start the service thread: ") + e.what();
            return false;
        }
        return true;
    }

    void Stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        ::close(stopFd_);
        stopFd_ = -1;
    }

  private:
    corvane::Backend& backend_;
    Journal& journal_;
    std::thread thread_;
    std::atomic<bool> serving_{false};  // the thread is still in ServeOnBus
    int stopFd_ = -1;
};

class SimWorld : public World {
  public:
    using World::World;

    bool Prepare(std::string* error) override;
    bool Start(std::string* error) override;
    std::string Description() const override;
    std::vector<PassRecord> Passes() const override { return {PassRecord{}}; }
    bool BeginPass(PassRecord& pass) override {
        pass.start = lab_.t0;  // the simulated lines' clock
        return true;
    }
    std::string ApplyWorldEvent(const Event& e) override;
    void Look(long look, double t) override;
    void EndPass(PassRecord& pass) override;
    void EndRuns() override;
    void Finish() override;
    bool Succeeded() const override;

  private:
    void ReserveRecords();
    void TakeSamples(bool row, double rowT);
    // One line of resources.csv per process at a whole second, for soaks.
    void RecordResources(double rowT);
    // sandrow-directory --check on the scenario's targets, into check.txt: what
    // a user choosing targets would see. Run once sandrow's probes are all
    // recorded, so that its requests are not taken for sandrow's.
    void CheckDirectory();

    std::unique_ptr<SimBackend> sim_;
    std::unique_ptr<ServiceRunner> service_;
    RunRecord record_;
    std::vector<LineSnapshot> lastRow_;  // per line, at the last whole second
    std::ofstream resources_;
};

bool SimWorld::Prepare(std::string* error) {
    resources_.open(lab_.File("resources.csv"), std::ios::trunc);
    resources_ << "t_s,process,pid,rss_kb,fds,output_bytes\n";
    if (!resources_) {
        *error = "cannot write " + lab_.File("resources.csv");
        return false;
    }
    if (!lab_.bus.Start(lab_.dir, error)) return false;
    // Before any thread: the service thread and sandrow find the bus by it.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", lab_.bus.address().c_str(), 1);
    return true;
}

bool SimWorld::Start(std::string* error) {
    const Clock::time_point start = lab_.t0;
    sim_ = std::make_unique<SimBackend>(
        lab_.s.sim, [start] { return Clock::now() - start; },
        [this](const std::string& text) { lab_.journal.Queue(text); });
    lab_.standIns = std::make_unique<StandIns>(
        StandInsFor(lab_.s), [this](size_t line) { return sim_->QueueDelaySeconds(line); },
        [this] { return lab_.Now(); });
    if (!lab_.standIns->Start(error) ||
        !lab_.directory.Configure(lab_.s, lab_.options.directoryPath, lab_.dir, error) ||
        (lab_.s.directory.startAt <= 0 && !lab_.directory.Start(error))) {
        return false;
    }
    service_ = std::make_unique<ServiceRunner>(*sim_, lab_.journal);
    if (!service_->Start(error)) return false;
    auto deadline = Clock::now() + kServiceReadyTimeout;
    while (!platform::bus::NameHasOwner() && Clock::now() < deadline) {
        std::this_thread::sleep_for(kServiceReadyPoll);
    }
    lastRow_.resize(sim_->LineCount());
    for (size_t l = 0; l < sim_->LineCount(); ++l) lastRow_[l] = sim_->Snapshot(l);
    ReserveRecords();
    return true;
}

std::string SimWorld::Description() const {
    return "bus " + lab_.bus.address() + ", " + std::to_string(lab_.s.sim.lines.size()) +
           " line(s), " + std::to_string(lab_.s.servers.size()) + " speed-test servers";
}

// The per-sample and per-second records are sized for the whole run and
// their pages touched now: the lab's resident memory then stays flat, and
// what grows in resources.csv is the service's (served from this process)
// or the stand-ins', not the lab's bookkeeping.
void SimWorld::ReserveRecords() {
    const size_t seconds = static_cast<size_t>(std::ceil(lab_.s.duration)) + 2;
    const size_t lines = sim_->LineCount();
    record_.samples.resize(seconds * kLooksPerSecond * lines);
    record_.samples.clear();
    record_.rows.resize(seconds * lines);
    record_.rows.clear();
}

std::string SimWorld::ApplyWorldEvent(const Event& e) {
    switch (e.kind) {
        case EventKind::ServiceStop:
            service_->Stop();
            return "the service left the bus";
        case EventKind::ServiceStart: {
            std::string error;
            return service_->Start(&error) ? "the service is back on the bus"
                                           : "the service could not start: " + error;
        }
        case EventKind::SetBandwidth:
            sim_->ChangeDownloadBandwidth(e.line, e.mbps < 0 ? -1 : std::llround(e.mbps * 1e6));
            return "download bandwidth of " + lab_.s.sim.lines[e.line].name + " set to " +
                   (e.mbps < 0 ? std::string("none") : Num(e.mbps) + " mbps") +
                   " behind the monitor's back";
        default:
            return "";
    }
}

void SimWorld::Look(long look, double t) {
    (void)t;  // the lines' own clock dates the samples
    TakeSamples(look > 0 && look % kLooksPerSecond == 0,
                static_cast<double>(look / kLooksPerSecond));
}

void SimWorld::TakeSamples(bool row, double rowT) {
    const size_t firstNew = record_.probes.size();
    if (row) {
        std::vector<ProbeRecord> fresh = lab_.standIns->Probes(firstNew);
        record_.probes.insert(record_.probes.end(), fresh.begin(), fresh.end());
    }
    std::vector<SecondRow> rows;
    for (size_t l = 0; l < sim_->LineCount(); ++l) {
        LineSnapshot snap = sim_->Snapshot(l);
        Sample sample;
        sample.t = snap.elapsedSeconds;
        sample.line = l;
        sample.queueMs = snap.queueDelaySeconds * 1000;
        sample.loaded = snap.demand.kind != DemandKind::Idle;
        sample.deliveredBits = snap.deliveredBits;
        sample.capacityBits = snap.capacityBits;
        record_.samples.push_back(sample);
        if (!row) continue;
        SecondRow r;
        r.t = rowT;
        r.line = l;
        r.capacityMbps = snap.capacityMbps;
        r.limitMbps = snap.limitMbps;
        r.demand = DemandText(snap.demand);
        r.offeredMbps = snap.offeredMbps;
        const LineSnapshot& before = lastRow_[l];
        double span = snap.elapsedSeconds - before.elapsedSeconds;
        r.deliveredMbps = span > 0 ? (snap.deliveredBits - before.deliveredBits) / span / 1e6 : 0;
        r.queueMs = sample.queueMs;
        r.bufferBytes = snap.bufferBytes;
        r.limitChanges = snap.limitChanges;
        for (size_t i = firstNew; i < record_.probes.size(); ++i) {
            const ProbeRecord& p = record_.probes[i];
            if (lab_.s.servers[p.server].line != l) continue;
            ++r.probes;
            r.probeMs = std::max(r.probeMs, p.servedMs);
        }
        lastRow_[l] = snap;
        rows.push_back(r);
    }
    if (!row) return;
    RecordResources(rowT);
    std::cout << StatusLine(lab_.s, rowT, rows,
                            record_.probes.empty() ? nullptr : &record_.probes.back())
              << std::endl;
    record_.rows.insert(record_.rows.end(), rows.begin(), rows.end());
}

// sandrow, and the lab itself: its thread serves the service's objects on the
// bus, so the service's memory and descriptors are the lab's. output_bytes is
// how much sandrow has written to console.txt, which dates its console lines
// to the second.
void SimWorld::RecordResources(double rowT) {
    auto line = [&](const char* name, pid_t pid, const std::string& output) {
        std::optional<ProcessResources> r = ReadProcessResources(pid);
        if (!r) return;
        resources_ << Num(rowT, 0) << "," << name << "," << pid << "," << r->rssKb << "," << r->fds
                   << "," << output << "\n";
    };
    if (lab_.sandrow.running()) {
        std::error_code ec;
        uintmax_t bytes = std::filesystem::file_size(lab_.File("console.txt"), ec);
        line("sandrow", lab_.sandrow.pid(), ec ? std::string() : std::to_string(bytes));
    }
    line("sandrow-lab", ::getpid(), "");
    resources_.flush();
}

void SimWorld::EndPass(PassRecord& pass) {
    std::vector<ProbeRecord> late = lab_.standIns->Probes(record_.probes.size());
    record_.probes.insert(record_.probes.end(), late.begin(), late.end());
    record_.sandrow = pass.sandrow;
}

void SimWorld::EndRuns() {
    CheckDirectory();
    service_->Stop();
}

void SimWorld::CheckDirectory() {
    ChildProcess check;
    ChildProcess::Options o;
    // The stand-ins answer within a second unless a fault holds them.
    o.argv = {lab_.options.directoryPath, "--check",   "--config",
              lab_.File("directory.ini"), "--timeout", "1000"};
    o.environment = EnvironmentWith({});
    o.workingDirectory = lab_.dir;
    o.outputPath = lab_.File("check.txt");
    std::string error;
    if (!check.Start(o, &error)) {
        lab_.journal.Note(lab_.Now(), "sandrow-directory --check: " + error, true);
        return;
    }
    bool killed = false;
    std::optional<int> code = check.Wait(kCheckTimeout);
    if (!code) code = check.Stop(SIGKILL, kCheckTimeout, &killed);
    lab_.journal.Note(lab_.Now(), "sandrow-directory --check: " + ExitText(*code) + " (check.txt)",
                      false);
}

bool SimWorld::Succeeded() const {
    const SandrowFacts& f = record_.sandrow;
    return f.started && f.stoppedByLab && f.exitCode == 0;
}

void SimWorld::Finish() {
    record_.endedAt = std::min(lab_.Now(), lab_.s.duration);
    record_.posts = lab_.standIns->Posts();
    record_.sandrow.console = ReadWhole(lab_.File("console.txt"));
    record_.daysInMonth = DaysInMonthNow();
    for (const PostRecord& p : record_.posts) {
        lab_.journal.Note(p.at,
                          "collector answered " + std::to_string(p.status) + " to a report of " +
                              (p.form.probes ? std::to_string(*p.form.probes) : std::string("?")) +
                              " probes (gateway " + p.form.gatewayMac + ")",
                          false);
    }
    StandInCounts counts = lab_.standIns->Counts();
    lab_.journal.Note(lab_.Now(),
                      "stand-ins: " + std::to_string(record_.probes.size()) +
                          " latency requests; " + std::to_string(counts.badRequests) +
                          " bad requests",
                      false);

    std::ostringstream reports;
    reports << "at_s,status,probes,gateway_mac,mac_address,machine_name\n";
    for (const PostRecord& p : record_.posts) {
        reports << Num(p.at, 2) << "," << p.status << ","
                << (p.form.probes ? std::to_string(*p.form.probes) : std::string()) << ","
                << p.form.gatewayMac << "," << p.form.macAddress << "," << p.form.machineName
                << "\n";
    }
    WriteWhole(lab_.File("reports.csv"), reports.str());

    lab_.Publish(
        SummaryText(lab_.s, record_),
        {{"state.csv", StateCsv(lab_.s, record_.rows)}, {"plot.gp", GnuplotScript(lab_.s)}},
        "console.txt, aperture.log, state.csv, reports.csv, resources.csv, summary.txt, "
        "plot.png, lab.log, directory.ini, directory.log, check.txt");
}

}  // namespace

int RunLab(const LabOptions& options) {
    Scenario scenario;
    std::string error;
    if (!LoadScenario(options.scenarioPath, &scenario, &error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return kExitUsage;
    }
    if (::access(options.sandrowPath.c_str(), X_OK) != 0) {
        std::cerr << "sandrow-lab: " << options.sandrowPath
                  << " is not an executable sandrow (build it, or name it with --sandrow)\n";
        return kExitUsage;
    }
    if (::access(options.directoryPath.c_str(), X_OK) != 0) {
        std::cerr << "sandrow-lab: " << options.directoryPath
                  << " is not an executable sandrow-directory (build it, or name it with "
                     "--sandrow-directory)\n";
        return kExitUsage;
    }
    if (!nl::netns::EnterPrivateNetwork(&error)) {
        std::cerr << "sandrow-lab: " << error
                  << ". Run sandrow-lab as root (scripts/lab.sh uses sudo), or allow unprivileged "
                     "user namespaces (sysctl kernel.unprivileged_userns_clone=1).\n";
        return kExitEnvironment;
    }
    std::string directory;
    if (!MakeRunDirectory(options.outputDirectory, &directory, &error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return kExitEnvironment;
    }
    std::cout << "sandrow-lab: scenario " << scenario.path << ", " << Num(scenario.duration, 0)
              << " s; run directory " << directory << std::endl;
    LabShared lab(scenario, options, directory);
    SimWorld world(lab);
    return RunWorld(lab, world);
}

}  // namespace lab
