// The lab's timeline: the world up, then each pass ten looks a second with
// sandrow's start, the scenario's events and the directory's late start at
// their moments, until the end, a stop signal, or sandrow ending by itself.
#include "lab/orchestrator.h"

#include <poll.h>
#include <signal.h>

#include <cmath>
#include <iostream>

#include "lab/documents.h"
#include "platform/fd.h"
#include "platform/signals.h"

namespace lab {
namespace {

using namespace std::chrono_literals;

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

class Orchestrator {
  public:
    Orchestrator(LabShared& lab, World& world) : lab_(lab), s_(lab.s), world_(world) {}
    int Execute();

  private:
    bool OpenOutputs();
    // One pass until its end, a stop signal or sandrow's end; false when
    // the run is over (a stop signal).
    bool RunPass(PassRecord& pass);
    // Everything due at `t` of the pass; false when the pass is over.
    bool Advance(PassRecord& pass, double t);
    // Sleeps until the next look, event or start; false when a stop signal
    // came or sandrow ended by itself.
    bool AwaitNextMoment(PassRecord& pass);
    bool StartSandrow(PassRecord& pass, double t);
    void StopSandrow(PassRecord& pass);
    void Apply(const Event& e);
    // The directory's processes ending on their own (or badly) fail the run.
    void NoteDirectory();

    LabShared& lab_;
    const Scenario& s_;
    World& world_;
    platform::UniqueFd signalFd_;
    size_t nextEvent_ = 0;
    long look_ = 0;  // the next look is due at look_ / 10 s
    bool directoryUp_ = false;
};

bool Orchestrator::OpenOutputs() {
    if (!lab_.journal.Open(lab_.File("lab.log"))) {
        std::cerr << "sandrow-lab: cannot write " << lab_.File("lab.log") << "\n";
        return false;
    }
    if (!WriteWhole(lab_.File("registry.reg"), HiveText(s_.registry)) ||
        !WriteWhole(lab_.File("scenario.ini"), ReadWhole(s_.path))) {
        std::cerr << "sandrow-lab: cannot write into " << lab_.dir << "\n";
        return false;
    }
    return true;
}

bool Orchestrator::StartSandrow(PassRecord& pass, double t) {
    std::string tz;
    std::string error;
    pass.sandrowStartS = t;
    if (!world_.StartSandrow(
            SandrowLaunch(s_, lab_.dir, lab_.options.sandrowPath, lab_.bus.address(), &tz),
            &error)) {
        lab_.journal.Note(lab_.Now(), error, true);
        lab_.failed = true;
        return false;
    }
    pass.sandrow.started = true;
    lab_.journal.Note(lab_.Now(),
                      "sandrow started (pid " + std::to_string(lab_.sandrow.pid()) + ")" +
                          (tz.empty() ? "" : ", TZ=" + tz),
                      true);
    return true;
}

void Orchestrator::StopSandrow(PassRecord& pass) {
    if (!lab_.sandrow.running()) return;
    lab_.journal.Note(lab_.Now(), "stopping sandrow with SIGINT", true);
    bool killed = false;
    pass.sandrow.exitCode = lab_.sandrow.Stop(
        SIGINT, std::chrono::milliseconds(std::llround(s_.sandrow.stopTimeout * 1000)), &killed);
    if (killed) {
        lab_.journal.Note(
            lab_.Now(),
            "sandrow did not stop within " + Num(s_.sandrow.stopTimeout) + " s of SIGINT; killed",
            true);
        lab_.failed = true;
    }
    pass.sandrow.stoppedByLab = true;
    lab_.journal.Note(lab_.Now(), "sandrow ended: " + ExitText(pass.sandrow.exitCode), true);
}

void Orchestrator::NoteDirectory() {
    for (const std::string& note : lab_.directory.TakeNotes()) {
        lab_.journal.Note(lab_.Now(), note, true);
        lab_.failed = true;
    }
}

void Orchestrator::Apply(const Event& e) {
    std::string what;
    switch (e.kind) {
        case EventKind::ServerDown:
        case EventKind::ServerUp:
            for (size_t server : e.servers) {
                if (e.kind == EventKind::ServerDown) {
                    lab_.standIns->SetServerDown(server, e.mode);
                } else {
                    lab_.standIns->SetServerUp(server);
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
            lab_.directory.Stop();
            what = "the directory hosts stopped listening";
            break;
        case EventKind::DirectoryUp: {
            std::string error;
            what = world_.StartDirectory(&error) ? "the directory hosts listen"
                                                 : "the directory could not start: " + error;
            break;
        }
        default:
            what = world_.ApplyWorldEvent(e);
            break;
    }
    lab_.journal.Note(lab_.Now(), "event " + e.text + ": " + what, true);
}

bool Orchestrator::Advance(PassRecord& pass, double t) {
    if (pass.withSandrow && !pass.sandrow.started && t >= s_.sandrow.startAt &&
        !StartSandrow(pass, t)) {
        return false;
    }
    if (!directoryUp_ && t >= s_.directory.startAt) {
        directoryUp_ = true;
        std::string error;
        if (world_.StartDirectory(&error)) {
            lab_.journal.Note(lab_.Now(), "the directory hosts listen (late start)", true);
        } else {
            lab_.journal.Note(lab_.Now(), "the directory could not start: " + error, true);
            lab_.failed = true;
        }
    }
    world_.Follow(t);
    while (nextEvent_ < s_.events.size() && s_.events[nextEvent_].at <= t) {
        Apply(s_.events[nextEvent_++]);
    }
    while (static_cast<double>(look_) / kLooksPerSecond <= t) world_.Look(look_++, t);
    lab_.journal.Flush(lab_.Now());
    for (const std::string& note : lab_.standIns->TakeNotes()) {
        lab_.journal.Note(lab_.Now(), note, true);
    }
    NoteDirectory();
    return t < s_.duration;
}

bool Orchestrator::AwaitNextMoment(PassRecord& pass) {
    double wake = static_cast<double>(look_) / kLooksPerSecond;
    if (nextEvent_ < s_.events.size()) wake = std::min(wake, s_.events[nextEvent_].at);
    if (pass.withSandrow && !pass.sandrow.started) wake = std::min(wake, s_.sandrow.startAt);
    if (!directoryUp_) wake = std::min(wake, s_.directory.startAt);
    wake = std::min(wake, s_.duration);
    const int ms = static_cast<int>(std::ceil(std::max(0.0, wake - pass.Seconds()) * 1000));
    ChildProcess& sandrow = lab_.sandrow;
    pollfd fds[2] = {{signalFd_.get(), POLLIN, 0}, {sandrow.pidfd(), POLLIN, 0}};
    const int n = ::poll(fds, sandrow.running() ? 2 : 1, ms);
    if (n <= 0) return true;
    if (fds[0].revents != 0) {
        platform::ReadStopSignal(signalFd_.get());
        lab_.journal.Note(lab_.Now(), "interrupted: ending the run early", true);
        pass.interrupted = true;
        return false;
    }
    if (sandrow.running() && fds[1].revents != 0) {
        pass.sandrow.exitCode = sandrow.Wait(0ms).value_or(-1);
        pass.sandrow.exitedAt = pass.Seconds();
        lab_.journal.Note(
            lab_.Now(),
            "sandrow ended by itself: " + ExitText(pass.sandrow.exitCode) + " (see console.txt)",
            true);
        return false;
    }
    return true;
}

bool Orchestrator::RunPass(PassRecord& pass) {
    if (!world_.BeginPass(pass)) {
        lab_.failed = true;
        return true;
    }
    nextEvent_ = 0;
    look_ = 0;
    while (Advance(pass, pass.Seconds()) && AwaitNextMoment(pass)) {
    }
    StopSandrow(pass);
    world_.EndPass(pass);
    return !pass.interrupted;
}

int Orchestrator::Execute() {
    std::string error;
    if (!OpenOutputs() || !world_.Prepare(&error)) {
        if (!error.empty()) std::cerr << "sandrow-lab: " << error << "\n";
        return kExitEnvironment;
    }
    // Ctrl-C and SIGTERM end the run early (sandrow is stopped, outputs are
    // written), through a descriptor; blocked before any thread starts, so
    // that every thread inherits the mask.
    signalFd_ = platform::UniqueFd(platform::TakeStopSignals());
    lab_.t0 = LabShared::Clock::now();
    if (!world_.Start(&error)) {
        std::cerr << "sandrow-lab: " << error << "\n";
        return kExitEnvironment;
    }
    directoryUp_ = s_.directory.startAt <= 0;
    lab_.journal.Flush(lab_.Now());
    lab_.journal.Note(lab_.Now(), "world up: " + world_.Description(), true);
    for (PassRecord& pass : world_.Passes()) {
        if (!RunPass(pass)) break;
    }
    world_.EndRuns();
    lab_.standIns->Stop();
    lab_.directory.Stop();
    NoteDirectory();
    lab_.journal.Flush(lab_.Now());
    lab_.bus.Stop();
    world_.Finish();
    return !lab_.failed && world_.Succeeded() ? kExitOk : kExitSandrow;
}

}  // namespace

void LabShared::Publish(const std::string& summary,
                        const std::vector<std::pair<std::string, std::string>>& outputs,
                        const std::string& listing) {
    WriteWhole(File("summary.txt"), summary);
    for (const auto& [name, text] : outputs) WriteWhole(File(name), text);
    std::string problem = DrawPlot(dir);
    if (!problem.empty()) journal.Note(Now(), "plot.png not made: " + problem, true);
    std::cout << "\n"
              << summary << "\nsandrow-lab: run directory " << dir << " (" << listing << ")"
              << std::endl;
}

int RunWorld(LabShared& lab, World& world) {
    return Orchestrator(lab, world).Execute();
}

}  // namespace lab
