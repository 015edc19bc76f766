// directory.ini from the scenario, and the sandrow-directory processes.
#include "lab/directory_hosts.h"

#include <arpa/inet.h>
#include <signal.h>

#include <chrono>

#include "directory/config.h"
#include "directory/documents.h"
#include "directory/server.h"
#include "lab/lab.h"

namespace lab {
namespace {

constexpr auto kStopTimeout = std::chrono::milliseconds(2000);

}  // namespace

std::string DirectoryIni(const Scenario& s) {
    std::string text =
        "; Written by sandrow-lab from the scenario's [directory] and [server] sections.\n"
        "[location]\nlat = " +
        directory::Coordinate(s.directory.lat) +
        "\nlon = " + directory::Coordinate(s.directory.lon) + "\nisp = " + s.directory.isp + "\n";
    for (const ServerSetup& server : s.servers) {
        text += "\n[target " + server.name + "]\nhost = " + server.address +
                "\nlat = " + directory::Coordinate(server.lat) +
                "\nlon = " + directory::Coordinate(server.lon) + "\nsponsor = " + server.sponsor +
                "\ncountry = " + server.country + "\n";
    }
    return text;
}

bool DirectoryHosts::Configure(const Scenario& s, const std::string& program,
                               const std::string& runDirectory, std::string* error, uint16_t port) {
    Stop();
    program_ = program;
    runDirectory_ = runDirectory;
    configPath_ = runDirectory + "/directory.ini";
    port_ = port;
    const std::string text = DirectoryIni(s);
    directory::DirectoryConfig parsed;
    if (!directory::ParseDirectoryConfig(text, configPath_, &parsed, error)) {
        *error = "sandrow-directory would not serve this scenario: " + *error;
        return false;
    }
    if (!WriteWhole(configPath_, text)) {
        *error = "cannot write " + configPath_;
        return false;
    }
    hosts_.clear();
    for (const std::string& address : {s.directory.primary, s.directory.secondary}) {
        hosts_.push_back(std::make_unique<Host>());
        hosts_.back()->address = address;
    }
    return true;
}

bool DirectoryHosts::Start(std::string* error) {
    for (auto& host : hosts_) {
        if (host->process.running()) continue;
        directory::ListenAddress at;
        if (!directory::ParseListenAddress(host->address + ":" + std::to_string(port_), &at,
                                           error)) {
            return false;
        }
        platform::UniqueFd listener = directory::OpenListener(at, error);
        if (!listener) return false;
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length);
        ChildProcess::Options o;
        o.argv = {program_, "--config", configPath_};
        o.environment = EnvironmentWith({});
        o.workingDirectory = runDirectory_;
        o.outputPath = runDirectory_ + "/directory.log";
        o.extraFd = listener.get();
        o.socketActivation = true;
        o.ownProcessGroup = true;
        if (!host->process.Start(o, error)) return false;
        // Only the child holds the socket now: when it ends, the host refuses.
        host->port = ntohs(bound.sin_port);
    }
    return true;
}

void DirectoryHosts::Reap(Host& host, int code, bool stopped) {
    // sandrow-directory ends with 0 when a signal stops it, or dies of the
    // signal when it comes before the program has taken it over.
    if (!stopped || (code != 0 && code != -SIGTERM)) {
        notes_.push_back("sandrow-directory on " + host.address + " ended" +
                         (stopped ? "" : " by itself") + ": " + ExitText(code) +
                         " (see directory.log)");
    }
    host.port = 0;
}

void DirectoryHosts::Stop() {
    for (auto& host : hosts_) {
        if (!host->process.running()) continue;
        bool killed = false;
        Reap(*host, host->process.Stop(SIGTERM, kStopTimeout, &killed), true);
    }
}

bool DirectoryHosts::up() const {
    for (const auto& host : hosts_) {
        if (!host->process.running()) return false;
    }
    return !hosts_.empty();
}

uint16_t DirectoryHosts::PortOf(size_t i) const {
    return i < hosts_.size() && hosts_[i]->process.running() ? hosts_[i]->port : 0;
}

std::vector<std::string> DirectoryHosts::TakeNotes() {
    for (auto& host : hosts_) {
        if (!host->process.running()) continue;
        if (std::optional<int> code = host->process.Wait(std::chrono::milliseconds(0))) {
            Reap(*host, *code, false);
        }
    }
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
}

}  // namespace lab
