// One lab run: the simulated world in a private network namespace, sandrow
// in it, the scenario's events on its timeline, the outputs in one directory.
#pragma once

#include <string>

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
};

// Runs the scenario and returns the exit code. Must be called before the
// process starts any thread (it enters a new network namespace).
int RunLab(const LabOptions& options);

}  // namespace lab
