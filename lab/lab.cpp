// The lab run: sets up the world, drives the scenario's timeline ten samples
// a second, stops sandrow with SIGINT and writes the outputs.
#include "lab/lab.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "lab/directory_hosts.h"
#include "lab/documents.h"
#include "lab/journal.h"
#include "lab/processes.h"
#include "lab/results.h"
#include "lab/scenario.h"
#include "lab/sim_backend.h"
#include "lab/standins.h"
#include "netlink/netns.h"
#include "platform/bus.h"
#include "platform/fd.h"
#include "platform/signals.h"
#include "service/bus_server.h"

namespace lab {
namespace {

constexpr auto kGnuplotTimeout = std::chrono::seconds(30);
// Five tries of each of a scenario's few targets, each of at most 1 s.
constexpr auto kCheckTimeout = std::chrono::seconds(45);

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSamplesPerSecond = 10;
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

const char* ModeText(DownMode mode) {
    switch (mode) {
        case DownMode::Refuse:
            return "refusing connections";
        case DownMode::Close:
            return "closing without an answer";
        case DownMode::Hang:
            return "never answering";
    }
    return "";
}

// Where the run's timeline stands: the next event, the next sample and
// whether the directory hosts listen yet.
struct Timeline {
    size_t nextEvent = 0;
    bool directoryUp = false;
    long sample = 0;  // the next sample is due at sample / 10 s
};

// Everything one run holds, torn down in reverse order.
class Run {
  public:
    Run(const Scenario& scenario, const LabOptions& options, std::string directory)
        : s_(scenario), options_(options), dir_(std::move(directory)) {}

    int Execute();

  private:
    double Now() const { return std::chrono::duration<double>(Clock::now() - t0_).count(); }
    std::string File(const std::string& name) const { return dir_ + "/" + name; }
    // The journal, the run's input copies and the private bus; false (said
    // on standard error) when any is missing.
    bool OpenOutputsAndBus();
    // The simulated lines, the stand-ins and the service on the bus, with
    // the clock of the run started; false (said on standard error) on failure.
    bool StartWorld();
    void ReserveRecords();
    // Ten samples a second, the events and sandrow's start, until the end,
    // a stop signal, or sandrow ending by itself.
    void DriveTimeline(int signalFd);
    // Everything due at `t`; false when the run is over (its end, or sandrow
    // could not start).
    bool Advance(double t, Timeline& timeline);
    // Sleeps until the next sample, event or start; false when a stop signal
    // came or sandrow ended by itself.
    bool AwaitNextMoment(const Timeline& timeline, int signalFd);
    bool StartSandrow(std::string* error);
    void Apply(const Event& e);
    void TakeSamples(bool row, double rowT);
    // One line of resources.csv per process at a whole second, for soaks.
    void RecordResources(double rowT);
    void StopSandrow();
    // The directory's processes ending on their own (or badly) fail the run.
    void NoteDirectory(double t);
    // sandrow-directory --check on the scenario's targets, into check.txt: what
    // a user choosing targets would see. Run once sandrow's probes are all
    // recorded, so that its requests are not taken for sandrow's.
    void CheckDirectory();
    void Finish();
    int ExitCode() const;

    const Scenario& s_;
    const LabOptions& options_;
    std::string dir_;
    Journal journal_;
    Clock::time_point t0_;
    BusDaemon bus_;
    std::unique_ptr<SimBackend> sim_;
    std::unique_ptr<StandIns> standIns_;
    DirectoryHosts directory_;
    std::unique_ptr<ServiceRunner> service_;
    ChildProcess sandrow_;
    RunRecord record_;
    std::vector<LineSnapshot> lastRow_;  // per line, at the last whole second
    std::ofstream resources_;
    bool interrupted_ = false;
    bool failed_ = false;
};

bool Run::StartSandrow(std::string* error) {
    std::string tz;
    if (!sandrow_.Start(SandrowLaunch(s_, dir_, options_.sandrowPath, bus_.address(), &tz),
                        error)) {
        return false;
    }
    record_.sandrow.started = true;
    journal_.Note(Now(),
                  "sandrow started (pid " + std::to_string(sandrow_.pid()) + ")" +
                      (tz.empty() ? "" : ", TZ=" + tz),
                  true);
    return true;
}

void Run::Apply(const Event& e) {
    std::string what;
    switch (e.kind) {
        case EventKind::ServiceStop:
            service_->Stop();
            what = "the service left the bus";
            break;
        case EventKind::ServiceStart: {
            std::string error;
            what = service_->Start(&error) ? "the service is back on the bus"
                                           : "the service could not start: " + error;
            break;
        }
        case EventKind::SetBandwidth:
            sim_->ChangeDownloadBandwidth(e.line, e.mbps < 0 ? -1 : std::llround(e.mbps * 1e6));
            what = "download bandwidth of " + s_.sim.lines[e.line].name + " set to " +
                   (e.mbps < 0 ? std::string("none") : Num(e.mbps) + " mbps") +
                   " behind the monitor's back";
            break;
        case EventKind::ServerDown:
        case EventKind::ServerUp:
            for (size_t server : e.servers) {
                if (e.kind == EventKind::ServerDown) {
                    standIns_->SetServerDown(server, e.mode);
                } else {
                    standIns_->SetServerUp(server);
                }
            }
            if (e.servers.size() == s_.servers.size()) {
                what = "all speed-test servers";
            } else {
                what = "server";
                for (size_t server : e.servers) what += " " + s_.servers[server].name;
            }
            what += (e.kind == EventKind::ServerDown ? std::string(" down, ") + ModeText(e.mode)
                                                     : std::string(" answering again"));
            break;
        case EventKind::DirectoryDown:
            directory_.Stop();
            what = "the directory hosts stopped listening";
            break;
        case EventKind::DirectoryUp: {
            std::string error;
            what = directory_.Start(&error) ? "the directory hosts listen"
                                            : "the directory could not start: " + error;
            break;
        }
    }
    journal_.Note(Now(), "event " + e.text + ": " + what, true);
}

void Run::TakeSamples(bool row, double rowT) {
    const size_t firstNew = record_.probes.size();
    if (row) {
        std::vector<ProbeRecord> fresh = standIns_->Probes(firstNew);
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
            if (s_.servers[p.server].line != l) continue;
            ++r.probes;
            r.probeMs = std::max(r.probeMs, p.servedMs);
        }
        lastRow_[l] = snap;
        rows.push_back(r);
    }
    if (!row) return;
    RecordResources(rowT);
    std::cout << StatusLine(s_, rowT, rows,
                            record_.probes.empty() ? nullptr : &record_.probes.back())
              << std::endl;
    record_.rows.insert(record_.rows.end(), rows.begin(), rows.end());
}

// sandrow, and the lab itself: its thread serves the service's objects on the
// bus, so the service's memory and descriptors are the lab's. output_bytes is
// how much sandrow has written to console.txt, which dates its console lines
// to the second.
void Run::RecordResources(double rowT) {
    auto line = [&](const char* name, pid_t pid, const std::string& output) {
        std::optional<ProcessResources> r = ReadProcessResources(pid);
        if (!r) return;
        resources_ << Num(rowT, 0) << "," << name << "," << pid << "," << r->rssKb << "," << r->fds
                   << "," << output << "\n";
    };
    if (sandrow_.running()) {
        std::error_code ec;
        uintmax_t bytes = std::filesystem::file_size(File("console.txt"), ec);
        line("sandrow", sandrow_.pid(), ec ? std::string() : std::to_string(bytes));
    }
    line("sandrow-lab", ::getpid(), "");
    resources_.flush();
}

void Run::StopSandrow() {
    if (!sandrow_.running()) return;
    journal_.Note(Now(), "stopping sandrow with SIGINT", true);
    bool killed = false;
    record_.sandrow.exitCode = sandrow_.Stop(
        SIGINT, std::chrono::milliseconds(std::llround(s_.sandrow.stopTimeout * 1000)), &killed);
    if (killed) {
        journal_.Note(
            Now(),
            "sandrow did not stop within " + Num(s_.sandrow.stopTimeout) + " s of SIGINT; killed",
            true);
        failed_ = true;
    }
    record_.sandrow.stoppedByLab = true;
    journal_.Note(Now(), "sandrow ended: " + ExitText(record_.sandrow.exitCode), true);
}

void Run::NoteDirectory(double t) {
    for (const std::string& note : directory_.TakeNotes()) {
        journal_.Note(t, note, true);
        failed_ = true;
    }
}

void Run::CheckDirectory() {
    ChildProcess check;
    ChildProcess::Options o;
    // The stand-ins answer within a second unless a fault holds them.
    o.argv = {options_.directoryPath, "--check",   "--config",
              File("directory.ini"),  "--timeout", "1000"};
    o.environment = EnvironmentWith({});
    o.workingDirectory = dir_;
    o.outputPath = File("check.txt");
    std::string error;
    if (!check.Start(o, &error)) {
        journal_.Note(Now(), "sandrow-directory --check: " + error, true);
        return;
    }
    bool killed = false;
    std::optional<int> code = check.Wait(kCheckTimeout);
    if (!code) code = check.Stop(SIGKILL, kCheckTimeout, &killed);
    journal_.Note(Now(), "sandrow-directory --check: " + ExitText(*code) + " (check.txt)", false);
}

int Run::ExitCode() const {
    const SandrowFacts& f = record_.sandrow;
    if (failed_ || !f.started || !f.stoppedByLab || f.exitCode != 0) return kExitSandrow;
    return kExitOk;
}

void Run::Finish() {
    record_.endedAt = std::min(Now(), s_.duration);
    record_.posts = standIns_->Posts();
    record_.sandrow.console = ReadWhole(File("console.txt"));
    record_.daysInMonth = DaysInMonthNow();
    for (const PostRecord& p : record_.posts) {
        journal_.Note(p.at,
                      "collector answered " + std::to_string(p.status) + " to a report of " +
                          (p.form.probes ? std::to_string(*p.form.probes) : std::string("?")) +
                          " probes (gateway " + p.form.gatewayMac + ")",
                      false);
    }
    StandInCounts counts = standIns_->Counts();
    journal_.Note(Now(),
                  "stand-ins: " + std::to_string(record_.probes.size()) + " latency requests; " +
                      std::to_string(counts.badRequests) + " bad requests",
                  false);

    std::ostringstream reports;
    reports << "at_s,status,probes,gateway_mac,mac_address,machine_name\n";
    for (const PostRecord& p : record_.posts) {
        reports << Num(p.at, 2) << "," << p.status << ","
                << (p.form.probes ? std::to_string(*p.form.probes) : std::string()) << ","
                << p.form.gatewayMac << "," << p.form.macAddress << "," << p.form.machineName
                << "\n";
    }
    WriteWhole(File("reports.csv"), reports.str());

    std::string summary = SummaryText(s_, record_);
    WriteWhole(File("state.csv"), StateCsv(s_, record_.rows));
    WriteWhole(File("summary.txt"), summary);
    WriteWhole(File("plot.gp"), GnuplotScript(s_));
    std::string problem = DrawPlot(dir_);
    if (!problem.empty()) journal_.Note(Now(), "plot.png not made: " + problem, true);
    std::cout << "\n"
              << summary << "\nsandrow-lab: run directory " << dir_
              << " (console.txt, aperture.log, state.csv, reports.csv, resources.csv, "
                 "summary.txt, plot.png, lab.log, directory.ini, directory.log, check.txt)"
              << std::endl;
}

bool Run::OpenOutputsAndBus() {
    if (!journal_.Open(File("lab.log"))) {
        std::cerr << "sandrow-lab: cannot write " << File("lab.log") << "\n";
        return false;
    }
    if (!WriteWhole(File("registry.reg"), HiveText(s_.registry)) ||
        !WriteWhole(File("scenario.ini"), ReadWhole(s_.path))) {
        std::cerr << "sandrow-lab: cannot write into " << dir_ << "\n";
        return false;
    }
    resources_.open(File("resources.csv"), std::ios::trunc);
    resources_ << "t_s,process,pid,rss_kb,fds,output_bytes\n";
    if (!resources_) {
        std::cerr << "sandrow-lab: cannot write " << File("resources.csv") << "\n";
        return false;
    }
    std::string error;
    if (!bus_.Start(dir_, &error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return false;
    }
    // Before any thread: the service thread and sandrow find the bus by it.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
    return true;
}

bool Run::StartWorld() {
    std::string error;
    t0_ = Clock::now();
    Clock::time_point start = t0_;
    sim_ = std::make_unique<SimBackend>(
        s_.sim, [start] { return Clock::now() - start; },
        [this](const std::string& text) { journal_.Queue(text); });
    standIns_ = std::make_unique<StandIns>(
        StandInsFor(s_), [this](size_t line) { return sim_->QueueDelaySeconds(line); },
        [this] { return Now(); });
    if (!standIns_->Start(&error) ||
        !directory_.Configure(s_, options_.directoryPath, dir_, &error) ||
        (s_.directory.startAt <= 0 && !directory_.Start(&error))) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return false;
    }
    service_ = std::make_unique<ServiceRunner>(*sim_, journal_);
    if (!service_->Start(&error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return false;
    }
    auto deadline = Clock::now() + kServiceReadyTimeout;
    while (!platform::bus::NameHasOwner() && Clock::now() < deadline) {
        std::this_thread::sleep_for(kServiceReadyPoll);
    }
    journal_.Flush(Now());
    journal_.Note(Now(),
                  "world up: bus " + bus_.address() + ", " + std::to_string(s_.sim.lines.size()) +
                      " line(s), " + std::to_string(s_.servers.size()) + " speed-test servers",
                  true);
    lastRow_.resize(sim_->LineCount());
    for (size_t l = 0; l < sim_->LineCount(); ++l) lastRow_[l] = sim_->Snapshot(l);
    ReserveRecords();
    return true;
}

// The per-sample and per-second records are sized for the whole run and
// their pages touched now: the lab's resident memory then stays flat, and
// what grows in resources.csv is the service's (served from this process)
// or the stand-ins', not the lab's bookkeeping.
void Run::ReserveRecords() {
    const size_t seconds = static_cast<size_t>(std::ceil(s_.duration)) + 2;
    const size_t lines = sim_->LineCount();
    record_.samples.resize(seconds * kSamplesPerSecond * lines);
    record_.samples.clear();
    record_.rows.resize(seconds * lines);
    record_.rows.clear();
}

bool Run::Advance(double t, Timeline& timeline) {
    if (!record_.sandrow.started && t >= s_.sandrow.startAt) {
        std::string error;
        if (!StartSandrow(&error)) {
            journal_.Note(t, error, true);
            failed_ = true;
            return false;
        }
    }
    if (!timeline.directoryUp && t >= s_.directory.startAt) {
        std::string error;
        timeline.directoryUp = true;
        journal_.Note(t,
                      directory_.Start(&error) ? "the directory hosts listen (late start)"
                                               : "the directory could not start: " + error,
                      true);
    }
    while (timeline.nextEvent < s_.events.size() && s_.events[timeline.nextEvent].at <= t) {
        Apply(s_.events[timeline.nextEvent++]);
    }
    while (static_cast<double>(timeline.sample) / kSamplesPerSecond <= t) {
        bool row = timeline.sample > 0 && timeline.sample % kSamplesPerSecond == 0;
        TakeSamples(row, static_cast<double>(timeline.sample / kSamplesPerSecond));
        ++timeline.sample;
    }
    journal_.Flush(t);
    for (const std::string& note : standIns_->TakeNotes()) journal_.Note(t, note, true);
    NoteDirectory(t);
    return t < s_.duration;
}

bool Run::AwaitNextMoment(const Timeline& timeline, int signalFd) {
    double wake = static_cast<double>(timeline.sample) / kSamplesPerSecond;
    if (timeline.nextEvent < s_.events.size()) {
        wake = std::min(wake, s_.events[timeline.nextEvent].at);
    }
    if (!record_.sandrow.started) wake = std::min(wake, s_.sandrow.startAt);
    if (!timeline.directoryUp) wake = std::min(wake, s_.directory.startAt);
    wake = std::min(wake, s_.duration);
    int ms = static_cast<int>(std::ceil(std::max(0.0, wake - Now()) * 1000));
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {sandrow_.pidfd(), POLLIN, 0}};
    int n = ::poll(fds, sandrow_.running() ? 2 : 1, ms);
    if (n <= 0) return true;
    if (fds[0].revents != 0) {
        platform::ReadStopSignal(signalFd);
        journal_.Note(Now(), "interrupted: ending the run early", true);
        interrupted_ = true;
        return false;
    }
    if (sandrow_.running() && fds[1].revents != 0) {
        std::optional<int> code = sandrow_.Wait(0ms);
        record_.sandrow.exitCode = code.value_or(-1);
        record_.sandrow.exitedAt = Now();
        journal_.Note(
            Now(),
            "sandrow ended by itself: " + ExitText(record_.sandrow.exitCode) + " (see console.txt)",
            true);
        return false;
    }
    return true;
}

void Run::DriveTimeline(int signalFd) {
    Timeline timeline;
    timeline.directoryUp = s_.directory.startAt <= 0;
    for (;;) {
        if (!Advance(Now(), timeline)) return;
        if (!AwaitNextMoment(timeline, signalFd)) return;
    }
}

int Run::Execute() {
    if (!OpenOutputsAndBus()) return kExitEnvironment;
    // Ctrl-C and SIGTERM end the run early (sandrow is stopped, outputs are
    // written), through a descriptor; blocked before any thread starts.
    platform::UniqueFd signalFd(platform::TakeStopSignals());
    if (!StartWorld()) return kExitEnvironment;
    DriveTimeline(signalFd.get());

    StopSandrow();
    std::vector<ProbeRecord> late = standIns_->Probes(record_.probes.size());
    record_.probes.insert(record_.probes.end(), late.begin(), late.end());
    CheckDirectory();
    service_->Stop();
    standIns_->Stop();
    directory_.Stop();
    NoteDirectory(Now());
    journal_.Flush(Now());
    bus_.Stop();
    Finish();
    return ExitCode();
}

}  // namespace

int DaysInMonthNow() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = t.tm_year + 1900;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return t.tm_mon == 1 && leap ? 29 : kDays[t.tm_mon];
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteWhole(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool MakeRunDirectory(const std::string& wanted, std::string* path, std::string* error) {
    if (wanted.empty()) {
        char pattern[] = "/tmp/sandrow-lab-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            *error = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        *path = pattern;
        return true;
    }
    std::error_code ec;
    std::filesystem::create_directories(wanted, ec);
    if (ec || !std::filesystem::is_directory(wanted)) {
        *error = "cannot make the directory " + wanted + ": " + ec.message();
        return false;
    }
    *path = std::filesystem::absolute(wanted).lexically_normal().string();
    while (path->size() > 1 && path->back() == '/') path->pop_back();
    return true;
}

StandInConfig StandInsFor(const Scenario& s) {
    StandInConfig c;
    for (const ServerSetup& server : s.servers) {
        c.servers.push_back(
            StandInConfig::Server{server.name, server.address, server.delayMs, server.line});
    }
    c.collectorAddress = s.collector.address;
    c.collectorResponses = s.collector.responses;
    c.jitterMs = s.jitterMs;
    c.seed = s.seed;
    return c;
}

ChildProcess::Options SandrowLaunch(const Scenario& s, const std::string& directory,
                                    const std::string& sandrowPath, const std::string& bus,
                                    std::string* tz) {
    std::vector<std::pair<std::string, std::string>> env = {
        {"SANDROW_REGISTRY", directory + "/registry.reg"},
        {"SANDROW_DIRECTORY_HOST", s.directory.primary},
        {"SANDROW_DIRECTORY_HOST2", s.directory.secondary},
        {"SANDROW_COLLECTOR_HOST", s.collector.address},
        {"DBUS_SYSTEM_BUS_ADDRESS", bus},
    };
    *tz = ClockTimeZone(s.sandrow.clock, std::time(nullptr));
    if (!tz->empty()) env.emplace_back("TZ", *tz);
    ChildProcess::Options o;
    o.argv = {sandrowPath};
    o.environment = EnvironmentWith(env);
    o.workingDirectory = directory;
    o.outputPath = directory + "/console.txt";
    o.ownProcessGroup = true;
    return o;
}

std::string DrawPlot(const std::string& directory) {
    ChildProcess gnuplot;
    ChildProcess::Options o;
    o.argv = {"gnuplot", "plot.gp"};
    o.searchPath = true;
    o.environment = EnvironmentWith({});
    o.workingDirectory = directory;
    o.outputPath = directory + "/gnuplot.log";
    std::string error;
    std::optional<int> plotted;
    if (gnuplot.Start(o, &error)) plotted = gnuplot.Wait(kGnuplotTimeout);
    if (plotted && *plotted == 0 && std::filesystem::exists(directory + "/plot.png")) return "";
    return error.empty() ? "gnuplot failed, see gnuplot.log"
                         : error + " (scripts/deps.sh installs gnuplot-nox)";
}

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
    Run run(scenario, options, directory);
    return run.Execute();
}

}  // namespace lab
