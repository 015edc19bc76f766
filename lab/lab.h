// One lab run: the simulated world in a private network namespace, sandrow
// in it, the scenario's events on its timeline, the outputs in one directory.
#pragma once

#include <string>

#include "lab/processes.h"
#include "lab/scenario.h"
#include "lab/standins.h"

namespace lab {

// Exit codes of sandrow-lab.
inline constexpr int kExitOk = 0;           // the run finished and sandrow exited with 0
inline constexpr int kExitSandrow = 1;      // sandrow failed, crashed or would not stop
inline constexpr int kExitUsage = 2;        // a wrong command line or scenario
inline constexpr int kExitEnvironment = 3;  // no namespace, bus, address or directory

struct LabOptions {
    std::string scenarioPath;
    std::string outputDirectory;  // empty: a fresh directory under /tmp
    std::string sandrowPath;
    std::string servicePath;    // corvane-service, for the kernel lab
    std::string directoryPath;  // sandrow-directory, which serves the scenario's directory
};

// Runs the scenario and returns the exit code. Must be called before the
// process starts any thread (it enters a new network namespace).
int RunLab(const LabOptions& options);
// The kernel lab (a scenario with [kernel]): real TCP in namespaces of its
// own, run twice, without and with sandrow. Needs root.
int RunKernelLab(const LabOptions& options);

// Shared by both labs.
int DaysInMonthNow();
std::string ReadWhole(const std::string& path);
bool WriteWhole(const std::string& path, const std::string& text);
// `wanted`, or a fresh /tmp/sandrow-lab-XXXXXX when empty; *path absolute.
bool MakeRunDirectory(const std::string& wanted, std::string* path, std::string* error);
StandInConfig StandInsFor(const Scenario& s);
// How both labs start sandrow: its registry hive and console in the run
// directory, the stand-ins' hosts, the lab's bus, the scenario's clock (the
// TZ it sets, if any, in *tz), its own process group.
ChildProcess::Options SandrowLaunch(const Scenario& s, const std::string& directory,
                                    const std::string& sandrowPath, const std::string& bus,
                                    std::string* tz);
// Runs gnuplot on plot.gp in the directory: "" when plot.png was made, else why not.
std::string DrawPlot(const std::string& directory);

}  // namespace lab
