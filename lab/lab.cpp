// What both labs share: the run directory, the files in it, sandrow's launch
// and the plot.
#include "lab/lab.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "lab/documents.h"
#include "lab/processes.h"
#include "lab/scenario.h"
#include "lab/standins.h"

namespace lab {
namespace {

constexpr auto kGnuplotTimeout = std::chrono::seconds(30);

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

}  // namespace lab
