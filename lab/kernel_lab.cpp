// The kernel lab: the real corvane-service (--backend kernel) and the real
// sandrow on real TCP through real qdiscs, in namespaces of the lab's own.
// The scenario runs twice, without shaping and with sandrow (or one of them,
// as the scenario says), on one clock each; ten looks a second, a row and a
// status line every second.
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "lab/directory_hosts.h"
#include "lab/documents.h"
#include "lab/journal.h"
#include "lab/kernel_net.h"
#include "lab/kernel_results.h"
#include "lab/lab.h"
#include "lab/processes.h"
#include "lab/standins.h"
#include "lab/traffic.h"
#include "netlink/netns.h"
#include "platform/bus.h"
#include "platform/signals.h"

namespace lab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace netns = nl::netns;

constexpr int kSamplesPerSecond = 10;
constexpr uint16_t kDownloadPort = 5001;
constexpr uint16_t kEchoPort = 7;
constexpr auto kServiceReadyTimeout = 5s;
constexpr auto kServiceStopTimeout = 10s;
constexpr auto kBetweenRuns = 3s;  // the line's buffer drains, the meter settles
constexpr auto kMeterSettle = 1500ms;

double CapacityAt(const SimLine& line, double t) {
    double mbps = line.capacity.front().mbps;
    for (const RateStep& step : line.capacity) {
        if (step.atSeconds <= t) mbps = step.mbps;
    }
    return mbps;
}

bool GreedyAt(const SimLine& line, double t) {
    bool greedy = false;
    for (const DemandStep& step : line.demand) {
        if (step.atSeconds <= t) greedy = step.kind == DemandKind::Greedy;
    }
    return greedy;
}

// Milliseconds that `bytes` wait at `mbps`.
double QueueMs(double bytes, double mbps) {
    return mbps > 0 ? bytes * 8 / (mbps * 1e3) : 0;
}

// One line of the world: its part of the scenario, the receiving end of its
// downloads, their sender while the demand is greedy, and its meter.
struct LineWorld {
    LineWorld(const SimLine& l, const KernelLineSetup& s) : line(l), setup(s) {}
    const SimLine& line;
    const KernelLineSetup& setup;
    TcpSink sink;
    std::unique_ptr<TcpSource> source;
    EchoMeter meter;
    Clock::time_point meterStart;
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

// Where one pass of the scenario stands: its clock, the next event, and each
// line's tally.
struct Pass {
    Clock::time_point start;
    size_t nextEvent = 0;
    size_t firstProbe = 0;  // the stand-ins' first probe not yet in a row
    double lastRowAt = 0;
    int looks = 0;
    std::vector<LinePass> lines;

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

class KernelLab {
  public:
    KernelLab(const Scenario& scenario, const LabOptions& options, std::string directory)
        : s_(scenario), options_(options), dir_(std::move(directory)) {
        for (size_t i = 0; i < s_.sim.lines.size(); ++i) {
            lines_.push_back(std::make_unique<LineWorld>(s_.sim.lines[i], s_.kernel.lines[i]));
        }
    }
    int Execute();

  private:
    std::string File(const std::string& name) const { return dir_ + "/" + name; }
    double Now() const { return std::chrono::duration<double>(Clock::now() - t0_).count(); }
    bool Setup(std::string* error);
    bool StartService(KernelRunRecord& run, std::string* error);
    void StopService(KernelRunRecord& run);
    bool StartSandrow(KernelRunRecord& run, double t, std::string* error);
    void StopSandrow(KernelRunRecord& run);
    void SetDemand(size_t line, bool greedy, double t);
    void Apply(const Event& e, double t);
    // The directory's hosts serve again (in the internet's namespace).
    void StartDirectory(double t);
    // The directory's processes ending on their own (or badly) fail the run.
    void NoteDirectory();
    // Runs one pass of the scenario; false when interrupted.
    bool RunOnce(KernelRunRecord& run);
    // What the scenario wants at `t`: sandrow started, the lines' capacity,
    // the demand, and the events due.
    void FollowScenario(KernelRunRecord& run, Pass& pass, double t);
    // The rows and status line of the second that ends at `rowT`, from the
    // looks since the last row; the tally starts afresh.
    void RecordSecond(KernelRunRecord& run, Pass& pass, double rowT, double t);
    // Sleeps until the next look is due; false when a stop signal came.
    // sandrow ending by itself is noted and the pass goes on.
    bool AwaitNextLook(KernelRunRecord& run, const Pass& pass, double wake);
    // Stops the pass's processes and puts the stand-ins back, then takes the
    // meters' samples of the pass, sandrow's console and its probes' gateways.
    void EndPass(KernelRunRecord& run, const Pass& pass);
    void Finish();
    int ExitCode() const;

    const Scenario& s_;
    const LabOptions& options_;
    std::string dir_;
    std::vector<std::unique_ptr<LineWorld>> lines_;
    Journal journal_;
    Clock::time_point t0_;
    KernelNet net_;
    BusDaemon bus_;
    std::unique_ptr<StandIns> standIns_;
    DirectoryHosts directory_;
    EchoServer echo_;
    ChildProcess service_;
    ChildProcess sandrow_;
    int signalFd_ = -1;
    std::vector<KernelRunRecord> runs_;
    bool interrupted_ = false;
    bool failed_ = false;
};

bool KernelLab::Setup(std::string* error) {
    KernelNetConfig net;
    for (const auto& w : lines_) {
        KernelLineNet line;
        line.capacityMbps = w->line.capacity.front().mbps;
        line.bufferBytes = static_cast<uint32_t>(w->line.bufferBytes);
        line.rttMs = w->setup.rttMs;
        line.rttKey = "rtt_ms = " + Num(line.rttMs) + " in [gateway " + w->line.name + "]";
        net.lines.push_back(line);
    }
    net.internetAddresses = {s_.directory.primary, s_.directory.secondary, s_.collector.address,
                             s_.kernel.echoAddress};
    for (const ServerSetup& server : s_.servers) net.internetAddresses.push_back(server.address);
    if (!net_.Build(net, error)) return false;
    for (const auto& w : lines_) {
        if (w->setup.leaf != "auto" && !net_.RouterHas(w->setup.leaf)) {
            *error = "leaf = " + w->setup.leaf + " in [gateway " + w->line.name +
                     "]: this kernel has no " + w->setup.leaf + " qdisc";
            return false;
        }
    }
    if (!bus_.Start(dir_, error)) return false;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
    // The real network adds the queueing delay itself: the stand-ins wait
    // only for their servers' own delay.
    standIns_ = std::make_unique<StandIns>(
        StandInsFor(s_), [](size_t) { return 0.0; }, [this] { return Now(); });
    {
        netns::Inside inside(net_.internet());
        if (!standIns_->Start(error) ||
            !directory_.Configure(s_, options_.directoryPath, dir_, error) ||
            !directory_.Start(error) ||
            !echo_.Start(Ipv4(s_.kernel.echoAddress.c_str()), kEchoPort, error)) {
            return false;
        }
    }
    netns::Inside inside(net_.client());
    for (size_t i = 0; i < lines_.size(); ++i) {
        LineWorld& w = *lines_[i];
        const uint32_t client = Ipv4(KernelNet::ClientAddress(i).c_str());
        if (!w.sink.Start(client, kDownloadPort, error)) return false;
        w.meterStart = Clock::now();
        if (!w.meter.Start(Ipv4(s_.kernel.echoAddress.c_str()), kEchoPort,
                           std::chrono::milliseconds(s_.kernel.meterIntervalMs), error, client)) {
            return false;
        }
    }
    return true;
}

bool KernelLab::StartService(KernelRunRecord& run, std::string* error) {
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
    o.argv = {options_.servicePath, "--config", config, "--backend", "kernel"};
    o.environment = EnvironmentWith({{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()}});
    o.workingDirectory = dir_;
    o.outputPath = File("service-" + run.name + ".log");
    o.ownProcessGroup = true;
    {
        netns::Inside inside(net_.router());  // the child is born in the router
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
    journal_.Note(Now(),
                  run.name + ": corvane-service shapes " + wans + " (pid " +
                      std::to_string(service_.pid()) + ")",
                  true);
    return true;
}

void KernelLab::StopService(KernelRunRecord& run) {
    if (!service_.running()) return;
    bool killed = false;
    run.serviceExit = service_.Stop(SIGTERM, kServiceStopTimeout, &killed);
    if (killed) {
        journal_.Note(Now(), "corvane-service did not stop within 10 s of SIGTERM; killed", true);
        failed_ = true;
    }
    run.treeRemoved = true;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (net_.Read(i).limitMbps >= 0) run.treeRemoved = false;
    }
    journal_.Note(Now(),
                  run.name + ": corvane-service ended: " + ExitText(run.serviceExit) +
                      (run.treeRemoved ? "" : "; its tree is still there"),
                  true);
}

bool KernelLab::StartSandrow(KernelRunRecord& run, double t, std::string* error) {
    std::string tz;
    ChildProcess::Options o = SandrowLaunch(s_, dir_, options_.sandrowPath, bus_.address(), &tz);
    run.sandrowStartS = t;
    {
        netns::Inside inside(net_.router());  // the child is born in the router
        if (!sandrow_.Start(o, error)) return false;
    }
    run.sandrow.started = true;
    journal_.Note(Now(),
                  "sandrow started (pid " + std::to_string(sandrow_.pid()) + ")" +
                      (tz.empty() ? "" : ", TZ=" + tz),
                  true);
    return true;
}

void KernelLab::StopSandrow(KernelRunRecord& run) {
    if (!sandrow_.running()) return;
    bool killed = false;
    run.sandrow.exitCode = sandrow_.Stop(
        SIGINT, std::chrono::milliseconds(std::llround(s_.sandrow.stopTimeout * 1000)), &killed);
    if (killed) {
        journal_.Note(Now(), "sandrow did not stop after SIGINT; killed", true);
        failed_ = true;
    }
    run.sandrow.stoppedByLab = true;
    journal_.Note(Now(), "sandrow ended: " + ExitText(run.sandrow.exitCode), true);
}

void KernelLab::SetDemand(size_t line, bool greedy, double t) {
    LineWorld& w = *lines_[line];
    if (greedy == (w.source != nullptr)) return;
    const std::string on = lines_.size() > 1 ? " on " + w.line.name : "";
    if (!greedy) {
        w.source.reset();  // closes the connections
        journal_.Note(t, "downloads stopped" + on, false);
        return;
    }
    w.source = std::make_unique<TcpSource>();
    std::string error;
    netns::Inside inside(net_.far());
    if (!w.source->Start(Ipv4(KernelNet::ClientAddress(line).c_str()), kDownloadPort,
                         s_.kernel.flows, &error, s_.kernel.congestion)) {
        journal_.Note(t, "downloads" + on + " could not start: " + error, true);
        w.source.reset();
        failed_ = true;
        return;
    }
    journal_.Note(t, std::to_string(s_.kernel.flows) + " downloads started" + on, false);
}

void KernelLab::StartDirectory(double t) {
    std::string error;
    netns::Inside inside(net_.internet());
    if (!directory_.Start(&error)) {
        journal_.Note(t, "the directory could not start: " + error, true);
        failed_ = true;
    }
}

void KernelLab::NoteDirectory() {
    for (const std::string& note : directory_.TakeNotes()) {
        journal_.Note(Now(), note, true);
        failed_ = true;
    }
}

void KernelLab::Apply(const Event& e, double t) {
    switch (e.kind) {
        case EventKind::ServerDown:
            for (size_t server : e.servers) standIns_->SetServerDown(server, e.mode);
            break;
        case EventKind::ServerUp:
            for (size_t server : e.servers) standIns_->SetServerUp(server);
            break;
        case EventKind::DirectoryDown:
            directory_.Stop();
            break;
        case EventKind::DirectoryUp:
            StartDirectory(t);
            break;
        default:
            return;  // refused by the scenario reader
    }
    journal_.Note(t, "event " + e.text, true);
}

void KernelLab::FollowScenario(KernelRunRecord& run, Pass& pass, double t) {
    std::string error;
    if (run.shaped && !run.sandrow.started && t >= s_.sandrow.startAt) {
        if (!StartSandrow(run, t, &error)) {
            journal_.Note(Now(), error, true);
            failed_ = true;
        }
    }
    for (size_t i = 0; i < lines_.size(); ++i) {
        const SimLine& line = lines_[i]->line;
        double wanted = CapacityAt(line, t);
        if (wanted != pass.lines[i].capacity) {
            if (!net_.SetCapacity(i, wanted, &error)) journal_.Note(Now(), error, true);
            journal_.Note(Now(), run.name + ": " + line.name + " capacity " + Num(wanted) + " mbps",
                          true);
            pass.lines[i].capacity = wanted;
        }
        SetDemand(i, GreedyAt(line, t), Now());
    }
    while (pass.nextEvent < s_.events.size() && s_.events[pass.nextEvent].at <= t) {
        Apply(s_.events[pass.nextEvent++], Now());
    }
}

void KernelLab::RecordSecond(KernelRunRecord& run, Pass& pass, double rowT, double t) {
    std::vector<ProbeRecord> probes = standIns_->Probes(pass.firstProbe);
    pass.firstProbe += probes.size();
    // The stand-ins keep the lab's clock; the run's records keep the run's.
    const double runStart = std::chrono::duration<double>(pass.start - t0_).count();
    for (const ProbeRecord& p : probes) run.probes.push_back({p.at - runStart, p.from, -1});
    const double seconds = std::max(t - pass.lastRowAt, 1e-3);
    for (size_t i = 0; i < lines_.size(); ++i) {
        LineWorld& w = *lines_[i];
        LinePass& lp = pass.lines[i];
        KernelSecond row;
        row.t = rowT;
        row.capacityMbps = lp.capacity;
        row.limitMbps = lp.limit;
        row.loaded = w.source != nullptr;
        uint64_t bytes = w.sink.Bytes();
        row.goodputMbps = (bytes - lp.lastBytes) * 8 / 1e6 / seconds;
        lp.lastBytes = bytes;
        const double looks = std::max(pass.looks, 1);
        row.ispQueueMs = QueueMs(lp.ispBacklog / looks, lp.capacity);
        row.routerQueueMs = lp.limit > 0 ? QueueMs(lp.routerBacklog / looks, lp.limit) : 0;
        lp.ispBacklog = lp.routerBacklog = 0;
        const uint32_t wan = Ipv4(KernelNet::WanAddress(i).c_str());
        row.probes = static_cast<int>(std::count_if(
            probes.begin(), probes.end(), [wan](const ProbeRecord& p) { return p.from == wan; }));
        // For the status line: the second before the last, whose answers
        // have all come (the meter's clock started before this run's).
        double median =
            MedianRtt(w.meter.Samples(), row.t - 2 + lp.meterOffset, row.t - 1 + lp.meterOffset);
        if (row.t <= s_.phases.front().end && median > 0) {
            lp.baseline = lp.baseline < 0 ? median : std::min(lp.baseline, median);
        }
        row.addedMs = median > 0 && lp.baseline >= 0 ? median - lp.baseline : -1;
        run.lines[i].seconds.push_back(row);
    }
    pass.lastRowAt = t;
    pass.looks = 0;
    std::cout << KernelStatusLine(s_, run, run.lines.front().seconds.size() - 1) << std::endl;
}

bool KernelLab::AwaitNextLook(KernelRunRecord& run, const Pass& pass, double wake) {
    int ms = static_cast<int>(std::ceil(std::max(0.0, wake - pass.Seconds()) * 1000));
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {sandrow_.pidfd(), POLLIN, 0}};
    int n = ::poll(fds, sandrow_.running() ? 2 : 1, ms);
    if (n > 0 && fds[0].revents != 0) {
        journal_.Note(Now(), "interrupted: ending the run early", true);
        interrupted_ = true;
        return false;
    }
    if (n > 0 && sandrow_.running() && fds[1].revents != 0) {
        run.sandrow.exitCode = sandrow_.Wait(0ms).value_or(-1);
        run.sandrow.exitedAt = pass.Seconds();
        journal_.Note(Now(), "sandrow ended by itself: " + ExitText(run.sandrow.exitCode), true);
        failed_ = true;
    }
    return true;
}

void KernelLab::EndPass(KernelRunRecord& run, const Pass& pass) {
    for (size_t i = 0; i < lines_.size(); ++i) SetDemand(i, false, Now());
    StopSandrow(run);
    StopService(run);
    for (size_t server = 0; server < s_.servers.size(); ++server) standIns_->SetServerUp(server);
    StartDirectory(Now());
    // The meters' samples of this run, on the run's clock, once all are known.
    std::this_thread::sleep_for(kMeterSettle);
    for (size_t i = 0; i < lines_.size(); ++i) {
        KernelLineRecord& record = run.lines[i];
        for (const EchoMeter::Sample& m : lines_[i]->meter.Samples()) {
            double at = m.sentAt - pass.lines[i].meterOffset;
            if (at >= 0 && at < s_.duration) record.meter.push_back({at, m.rttMs});
        }
        record.idleRttMs = MedianRtt(record.meter, 1, s_.phases.front().end);
        for (KernelSecond& row : record.seconds) {
            double median = MedianRtt(record.meter, row.t - 1, row.t);
            row.addedMs = median > 0 ? std::max(0.0, median - record.idleRttMs) : -1;
        }
    }
    if (!run.shaped) {
        WriteWhole(File("console-unshaped.txt"), "sandrow is not started without shaping\n");
        return;
    }
    run.sandrow.console = ReadWhole(File("console.txt"));
    std::vector<int32_t> ids;
    for (const auto& w : lines_) ids.push_back(w->line.gateway.id);
    // sandrow cuts its log over to ~aperture.log every 2 MB (an hour of
    // debug lines): the older part first.
    AttributeProbes(ReadWhole(File("~aperture.log")) + ReadWhole(File("aperture.log")), ids, &run);
}

bool KernelLab::RunOnce(KernelRunRecord& run) {
    std::string error;
    run.lines.resize(lines_.size());
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (!net_.SetCapacity(i, lines_[i]->line.capacity.front().mbps, &error)) break;
    }
    if (!error.empty() || !StartService(run, &error)) {
        journal_.Note(Now(), run.name + ": " + error, true);
        failed_ = true;
        return true;
    }
    Pass pass;
    pass.start = Clock::now();
    pass.firstProbe = standIns_->Probes().size();
    for (const auto& w : lines_) {
        LinePass lp;
        lp.meterOffset = std::chrono::duration<double>(pass.start - w->meterStart).count();
        lp.capacity = w->line.capacity.front().mbps;
        lp.lastBytes = w->sink.Bytes();
        pass.lines.push_back(lp);
    }
    long sample = 0;
    for (;;) {
        double t = pass.Seconds();
        if (t >= s_.duration) break;
        FollowScenario(run, pass, t);
        for (size_t i = 0; i < lines_.size(); ++i) {
            LineReading reading = net_.Read(i);
            if (!reading.leafKind.empty()) run.lines[i].leafKind = reading.leafKind;
            pass.lines[i].ispBacklog += reading.ispBacklogBytes;
            pass.lines[i].routerBacklog += reading.routerBacklogBytes;
            pass.lines[i].limit = reading.limitMbps;
        }
        ++pass.looks;
        if (sample > 0 && sample % kSamplesPerSecond == 0) {
            RecordSecond(run, pass, static_cast<double>(sample / kSamplesPerSecond), t);
        }
        journal_.Flush(Now());
        for (const std::string& note : standIns_->TakeNotes()) journal_.Note(Now(), note, true);
        NoteDirectory();
        ++sample;
        if (!AwaitNextLook(run, pass, static_cast<double>(sample) / kSamplesPerSecond)) break;
    }
    EndPass(run, pass);
    return !interrupted_;
}

void KernelLab::Finish() {
    std::string summary = KernelSummaryText(s_, runs_);
    WriteWhole(File("summary.txt"), summary);
    KernelWorldFacts facts;
    utsname host{};
    if (::uname(&host) == 0) facts.kernelRelease = host.release;
    for (size_t i = 0; i < lines_.size(); ++i) {
        facts.wanAddresses.push_back(Ipv4(KernelNet::WanAddress(i).c_str()));
    }
    WriteWhole(File("summary.json"), KernelSummaryJson(s_, runs_, facts));
    WriteWhole(File("state.csv"), KernelStateCsv(s_, runs_));
    WriteWhole(File("plot.gp"), KernelGnuplotScript(s_));
    std::string problem = DrawPlot(dir_);
    if (!problem.empty()) journal_.Note(Now(), "plot.png not made: " + problem, true);
    std::cout << "\n"
              << summary << "\nsandrow-lab: run directory " << dir_
              << " (console.txt, aperture.log, service-*.log, state.csv, summary.txt, "
                 "summary.json, plot.png, lab.log, directory.ini, directory.log)"
              << std::endl;
}

int KernelLab::ExitCode() const {
    const size_t planned = (s_.kernel.runUnshaped ? 1 : 0) + (s_.kernel.runSandrow ? 1 : 0);
    if (failed_ || runs_.size() != planned) return kExitSandrow;
    for (const KernelRunRecord& r : runs_) {
        if (r.serviceExit != 0 || !r.treeRemoved) return kExitSandrow;
        if (r.shaped && (!r.sandrow.stoppedByLab || r.sandrow.exitCode != 0)) return kExitSandrow;
    }
    return kExitOk;
}

int KernelLab::Execute() {
    if (!journal_.Open(File("lab.log")) ||
        !WriteWhole(File("registry.reg"), HiveText(s_.registry)) ||
        !WriteWhole(File("scenario.ini"), ReadWhole(s_.path))) {
        std::cerr << "sandrow-lab: cannot write into " << dir_ << "\n";
        return kExitEnvironment;
    }
    // Ctrl-C and SIGTERM end the lab early, through a descriptor; blocked
    // before any thread starts, so that every thread inherits the mask.
    signalFd_ = platform::TakeStopSignals();
    t0_ = Clock::now();
    std::string error;
    if (!Setup(&error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return kExitEnvironment;
    }
    std::string world;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const SimLine& line = lines_[i]->line;
        world += (i ? "; " : "") + line.name + " on " + KernelNet::Wan(i) + ", " +
                 Num(line.capacity.front().mbps) + " mbps with a " +
                 std::to_string(line.bufferBytes) + "-byte buffer";
    }
    journal_.Note(
        Now(),
        "world up: internet, router and client namespaces; " + world + "; bus " + bus_.address(),
        true);
    std::vector<bool> order;
    if (s_.kernel.runUnshaped) order.push_back(false);
    if (s_.kernel.runSandrow) order.push_back(true);
    for (size_t i = 0; i < order.size(); ++i) {
        const bool shaped = order[i];
        KernelRunRecord run;
        run.name = shaped ? "sandrow" : "unshaped";
        run.shaped = shaped;
        journal_.Note(Now(),
                      "run " + std::to_string(i + 1) + " of " + std::to_string(order.size()) +
                          (shaped ? ": with sandrow"
                                  : ": without shaping (sandrow not started, limit lifted)"),
                      true);
        bool more = RunOnce(run);
        runs_.push_back(std::move(run));
        if (!more) break;
        if (i + 1 < order.size()) std::this_thread::sleep_for(kBetweenRuns);
    }
    for (const auto& w : lines_) {
        w->meter.Stop();
        w->sink.Stop();
    }
    echo_.Stop();
    standIns_->Stop();
    directory_.Stop();
    NoteDirectory();
    journal_.Flush(Now());
    bus_.Stop();
    Finish();
    ::close(signalFd_);
    return ExitCode();
}

}  // namespace

int RunKernelLab(const LabOptions& options) {
    Scenario scenario;
    std::string error;
    if (!LoadScenario(options.scenarioPath, &scenario, &error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return kExitUsage;
    }
    if (!scenario.kernel.enabled) {
        std::cerr << "sandrow-lab: " << scenario.path
                  << " is not a kernel scenario (it has no [kernel] section)\n";
        return kExitUsage;
    }
    for (const std::string& program :
         {options.sandrowPath, options.servicePath, options.directoryPath}) {
        if (::access(program.c_str(), X_OK) != 0) {
            std::cerr << "sandrow-lab: " << program
                      << " is not executable (build it, or name it with --sandrow, --service or "
                         "--sandrow-directory)\n";
            return kExitUsage;
        }
    }
    if (::geteuid() != 0) {
        std::cerr << "sandrow-lab: the kernel lab needs root (namespaces, veth pairs and qdiscs "
                     "of its own); scripts/lab.sh --kernel uses sudo\n";
        return kExitEnvironment;
    }
    std::string directory;
    if (!MakeRunDirectory(options.outputDirectory, &directory, &error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return kExitEnvironment;
    }
    const bool both = scenario.kernel.runUnshaped && scenario.kernel.runSandrow;
    std::cout << "sandrow-lab --kernel: scenario " << scenario.path << ", "
              << (both ? "twice " : "once ") << Num(scenario.duration, 0) << " s; run directory "
              << directory << std::endl;
    KernelLab lab(scenario, options, directory);
    return lab.Execute();
}

}  // namespace lab
