// sandrow-lab: runs the real sandrow against simulated lines, the simulated
// shaper service and local HTTP stand-ins in a private network namespace.

// Usage: sandrow-lab [SCENARIO] [--out DIR] [--sandrow PATH]
#include <filesystem>
#include <iostream>
#include <string>

#include "lab/lab.h"

namespace {

constexpr const char* kUsage =
    "usage: sandrow-lab [SCENARIO] [--out DIR] [--sandrow PATH]\n"
    "  SCENARIO   scenario file (default " SANDROW_LAB_DEFAULT_SCENARIO
    ")\n"
    "  --out DIR  run directory for the outputs (default: a new /tmp/sandrow-lab-XXXXXX)\n"
    "  --sandrow  the monitor to run (default " SANDROW_PATH
    ")\n"
    "Exit codes: 0 sandrow ran and exited with 0; 1 sandrow failed; 2 usage or scenario;\n"
    "3 the environment (namespace, bus, addresses).\n";

}  // namespace

int main(int argc, char** argv) {
    lab::LabOptions options;
    options.scenarioPath = SANDROW_LAB_DEFAULT_SCENARIO;
    options.sandrowPath = SANDROW_PATH;
    bool haveScenario = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--out" || arg == "--sandrow") && i + 1 < argc) {
            (arg == "--out" ? options.outputDirectory : options.sandrowPath) = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return lab::kExitOk;
        } else if (!arg.empty() && arg[0] != '-' && !haveScenario) {
            options.scenarioPath = arg;
            haveScenario = true;
        } else {
            std::cerr << "sandrow-lab: unexpected argument '" << arg << "'\n" << kUsage;
            return lab::kExitUsage;
        }
    }
    // sandrow starts in the run directory: a relative path would not resolve.
    std::error_code ec;
    std::filesystem::path sandrow = std::filesystem::absolute(options.sandrowPath, ec);
    if (!ec) options.sandrowPath = sandrow.string();
    return lab::RunLab(options);
}
