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
#include "lab/kernel_world.h"
#include "lab/lab.h"
#include "lab/orchestrator.h"
#include "lab/processes.h"
#include "lab/results.h"
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

constexpr uint16_t kDownloadPort = 5001;
constexpr uint16_t kEchoPort = 7;
constexpr auto kBetweenRuns = 3s;  // the line's buffer drains, the meter settles
constexpr auto kMeterSettle = 1500ms;

// Milliseconds that `bytes` wait at `mbps`.
double QueueMs(double bytes, double mbps) {
    return mbps > 0 ? bytes * 8 / (mbps * 1e3) : 0;
}

}  // namespace

bool KernelWorld::Start(std::string* error) {
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
    if (!lab_.bus.Start(lab_.dir, error)) return false;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", lab_.bus.address().c_str(), 1);
    // The real network adds the queueing delay itself: the stand-ins wait
    // only for their servers' own delay.
    lab_.standIns = std::make_unique<StandIns>(
        StandInsFor(s_), [](size_t) { return 0.0; }, [this] { return Now(); });
    {
        netns::Inside inside(net_.internet());
        if (!lab_.standIns->Start(error) ||
            !lab_.directory.Configure(s_, lab_.options.directoryPath, lab_.dir, error) ||
            (s_.directory.startAt <= 0 && !lab_.directory.Start(error)) ||
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

bool KernelWorld::StartSandrow(const ChildProcess::Options& o, std::string* error) {
    netns::Inside inside(net_.router());  // the child is born in the router
    return lab_.sandrow.Start(o, error);
}

void KernelWorld::SetDemand(size_t line, bool greedy, double t) {
    LineWorld& w = *lines_[line];
    if (greedy == (w.source != nullptr)) return;
    const std::string on = lines_.size() > 1 ? " on " + w.line.name : "";
    if (!greedy) {
        w.source.reset();  // closes the connections
        lab_.journal.Note(t, "downloads stopped" + on, false);
        return;
    }
    w.source = std::make_unique<TcpSource>();
    std::string error;
    netns::Inside inside(net_.far());
    if (!w.source->Start(Ipv4(KernelNet::ClientAddress(line).c_str()), kDownloadPort,
                         s_.kernel.flows, &error, s_.kernel.congestion)) {
        lab_.journal.Note(t, "downloads" + on + " could not start: " + error, true);
        w.source.reset();
        lab_.failed = true;
        return;
    }
    lab_.journal.Note(t, std::to_string(s_.kernel.flows) + " downloads started" + on, false);
}

bool KernelWorld::StartDirectory(std::string* error) {
    netns::Inside inside(net_.internet());
    return lab_.directory.Start(error);
}

void KernelWorld::Follow(double t) {
    std::string error;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const SimLine& line = lines_[i]->line;
        double wanted = CapacityAt(line.capacity, t);
        if (wanted != tally_.lines[i].capacity) {
            if (!net_.SetCapacity(i, wanted, &error)) lab_.journal.Note(Now(), error, true);
            lab_.journal.Note(
                Now(), run_.name + ": " + line.name + " capacity " + Num(wanted) + " mbps", true);
            tally_.lines[i].capacity = wanted;
        }
        SetDemand(i, DemandAt(line.demand, t).kind == DemandKind::Greedy, Now());
    }
}

void KernelWorld::RecordSecond(double rowT, double t) {
    std::vector<ProbeRecord> probes = lab_.standIns->Probes(tally_.firstProbe);
    tally_.firstProbe += probes.size();
    // The stand-ins keep the lab's clock; the run's records keep the run's.
    const double runStart = std::chrono::duration<double>(tally_.start - lab_.t0).count();
    for (const ProbeRecord& p : probes) run_.probes.push_back({p.at - runStart, p.from, -1});
    const double seconds = std::max(t - tally_.lastRowAt, 1e-3);
    for (size_t i = 0; i < lines_.size(); ++i) {
        LineWorld& w = *lines_[i];
        LinePass& lp = tally_.lines[i];
        KernelSecond row;
        row.t = rowT;
        row.capacityMbps = lp.capacity;
        row.limitMbps = lp.limit;
        row.loaded = w.source != nullptr;
        uint64_t bytes = w.sink.Bytes();
        row.goodputMbps = (bytes - lp.lastBytes) * 8 / 1e6 / seconds;
        lp.lastBytes = bytes;
        const double looks = std::max(tally_.looks, 1);
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
        run_.lines[i].seconds.push_back(row);
    }
    tally_.lastRowAt = t;
    tally_.looks = 0;
    std::cout << KernelStatusLine(s_, run_, run_.lines.front().seconds.size() - 1) << std::endl;
}

void KernelWorld::EndPass(PassRecord& pass) {
    KernelRunRecord& run = run_;
    run.sandrow = pass.sandrow;
    run.sandrowStartS = pass.sandrowStartS;
    for (size_t i = 0; i < lines_.size(); ++i) SetDemand(i, false, Now());
    StopService(run);
    for (size_t server = 0; server < s_.servers.size(); ++server) {
        lab_.standIns->SetServerUp(server);
    }
    std::string error;
    if (!StartDirectory(&error)) {
        lab_.journal.Note(Now(), "the directory could not start: " + error, true);
        lab_.failed = true;
    }
    // The meters' samples of this run, on the run's clock, once all are known.
    std::this_thread::sleep_for(kMeterSettle);
    for (size_t i = 0; i < lines_.size(); ++i) {
        KernelLineRecord& record = run.lines[i];
        for (const EchoMeter::Sample& m : lines_[i]->meter.Samples()) {
            double at = m.sentAt - tally_.lines[i].meterOffset;
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
        runs_.push_back(std::move(run_));
        return;
    }
    run.sandrow.console = ReadWhole(File("console.txt"));
    std::vector<int32_t> ids;
    for (const auto& w : lines_) ids.push_back(w->line.gateway.id);
    // sandrow cuts its log over to ~aperture.log every 2 MB (an hour of
    // debug lines): the older part first.
    AttributeProbes(ReadWhole(File("~aperture.log")) + ReadWhole(File("aperture.log")), ids, &run);
    runs_.push_back(std::move(run_));
}

std::vector<PassRecord> KernelWorld::Passes() const {
    std::vector<PassRecord> passes;
    for (bool shaped : {false, true}) {
        if (!(shaped ? s_.kernel.runSandrow : s_.kernel.runUnshaped)) continue;
        PassRecord pass;
        pass.name = shaped ? "sandrow" : "unshaped";
        pass.withSandrow = shaped;
        passes.push_back(pass);
    }
    return passes;
}

bool KernelWorld::BeginPass(PassRecord& pass) {
    const size_t count = Passes().size();
    if (!runs_.empty()) std::this_thread::sleep_for(kBetweenRuns);
    lab_.journal.Note(
        Now(),
        "run " + std::to_string(runs_.size() + 1) + " of " + std::to_string(count) +
            (pass.withSandrow ? ": with sandrow"
                              : ": without shaping (sandrow not started, limit lifted)"),
        true);
    run_ = KernelRunRecord{};
    run_.name = pass.name;
    run_.shaped = pass.withSandrow;
    run_.lines.resize(lines_.size());
    std::string error;
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (!net_.SetCapacity(i, lines_[i]->line.capacity.front().mbps, &error)) break;
    }
    if (!error.empty() || !StartService(run_, &error)) {
        lab_.journal.Note(Now(), run_.name + ": " + error, true);
        runs_.push_back(std::move(run_));
        return false;
    }
    pass.start = Clock::now();
    tally_ = PassTally{};
    tally_.start = pass.start;
    tally_.firstProbe = lab_.standIns->Probes().size();
    for (const auto& w : lines_) {
        LinePass lp;
        lp.meterOffset = std::chrono::duration<double>(pass.start - w->meterStart).count();
        lp.capacity = w->line.capacity.front().mbps;
        lp.lastBytes = w->sink.Bytes();
        tally_.lines.push_back(lp);
    }
    return true;
}

void KernelWorld::Look(long look, double t) {
    // The last second's row is the one that ends before the scenario does.
    if (static_cast<double>(look) / kLooksPerSecond >= s_.duration) return;
    for (size_t i = 0; i < lines_.size(); ++i) {
        LineReading reading = net_.Read(i);
        if (!reading.leafKind.empty()) run_.lines[i].leafKind = reading.leafKind;
        tally_.lines[i].ispBacklog += reading.ispBacklogBytes;
        tally_.lines[i].routerBacklog += reading.routerBacklogBytes;
        tally_.lines[i].limit = reading.limitMbps;
    }
    ++tally_.looks;
    if (look > 0 && look % kLooksPerSecond == 0) {
        RecordSecond(static_cast<double>(look / kLooksPerSecond), t);
    }
}

void KernelWorld::Finish() {
    KernelWorldFacts facts;
    utsname host{};
    if (::uname(&host) == 0) facts.kernelRelease = host.release;
    for (size_t i = 0; i < lines_.size(); ++i) {
        facts.wanAddresses.push_back(Ipv4(KernelNet::WanAddress(i).c_str()));
    }
    lab_.Publish(KernelSummaryText(s_, runs_),
                 {{"summary.json", KernelSummaryJson(s_, runs_, facts)},
                  {"state.csv", KernelStateCsv(s_, runs_)},
                  {"plot.gp", KernelGnuplotScript(s_)}},
                 "console.txt, aperture.log, service-*.log, state.csv, summary.txt, summary.json, "
                 "plot.png, lab.log, directory.ini, directory.log");
}

bool KernelWorld::Succeeded() const {
    if (runs_.size() != Passes().size()) return false;
    for (const KernelRunRecord& r : runs_) {
        if (r.serviceExit != 0 || !r.treeRemoved) return false;
        if (r.shaped && (!r.sandrow.stoppedByLab || r.sandrow.exitCode != 0)) return false;
    }
    return true;
}

std::string KernelWorld::Description() const {
    std::string world;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const SimLine& line = lines_[i]->line;
        world += (i ? "; " : "") + line.name + " on " + KernelNet::Wan(i) + ", " +
                 Num(line.capacity.front().mbps) + " mbps with a " +
                 std::to_string(line.bufferBytes) + "-byte buffer";
    }
    return "internet, router and client namespaces; " + world + "; bus " + lab_.bus.address();
}

void KernelWorld::EndRuns() {
    for (const auto& w : lines_) {
        w->meter.Stop();
        w->sink.Stop();
    }
    echo_.Stop();
}

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
    LabShared lab(scenario, options, directory);
    KernelWorld world(lab);
    return RunWorld(lab, world);
}

}  // namespace lab
