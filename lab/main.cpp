// sandrow-lab: runs the real sandrow against simulated lines, the simulated
// shaper service and local HTTP stand-ins in a private network namespace.

// Usage: sandrow-lab [--kernel] [SCENARIO] [--out DIR] [--sandrow PATH] [--service PATH]
//        [--sandrow-directory PATH]
#include <filesystem>
#include <iostream>
#include <string>

#include "lab/lab.h"

namespace {

constexpr const char* kUsage =
    "usage: sandrow-lab [--kernel] [SCENARIO] [--out DIR] [--sandrow PATH] [--service PATH]\n"
    "                   [--sandrow-directory PATH]\n"
    "  --kernel   real TCP through the kernel's qdiscs, shaped by corvane-service --backend\n"
    "             kernel, run twice: without shaping and with sandrow (needs root)\n"
    "  SCENARIO   scenario file (default " SANDROW_LAB_DEFAULT_SCENARIO
    ",\n"
    "             with --kernel " SANDROW_LAB_KERNEL_SCENARIO
    ")\n"
    "  --out DIR  run directory for the outputs (default: a new /tmp/sandrow-lab-XXXXXX)\n"
    "  --sandrow  the monitor to run (default " SANDROW_PATH
    ")\n"
    "  --service  corvane-service for --kernel (default " CORVANE_SERVICE_PATH
    ")\n"
    "  --sandrow-directory  the directory server (default " SANDROW_DIRECTORY_PATH
    ")\n"
    "Exit codes: 0 sandrow ran and exited with 0; 1 sandrow failed; 2 usage or scenario;\n"
    "3 the environment (namespace, bus, addresses).\n";

}  // namespace

int main(int argc, char** argv) {
    lab::LabOptions options;
    options.scenarioPath = SANDROW_LAB_DEFAULT_SCENARIO;
    options.sandrowPath = SANDROW_PATH;
    options.servicePath = CORVANE_SERVICE_PATH;
    options.directoryPath = SANDROW_DIRECTORY_PATH;
    bool haveScenario = false;
    bool kernel = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--out" || arg == "--sandrow" || arg == "--service" ||
             arg == "--sandrow-directory") &&
            i + 1 < argc) {
            (arg == "--out"       ? options.outputDirectory
             : arg == "--sandrow" ? options.sandrowPath
             : arg == "--service" ? options.servicePath
                                  : options.directoryPath) = argv[++i];
        } else if (arg == "--kernel") {
            kernel = true;
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
    if (kernel && !haveScenario) options.scenarioPath = SANDROW_LAB_KERNEL_SCENARIO;
    // The programs start in the run directory: a relative path would not
    // resolve.
    for (std::string* path : {&options.sandrowPath, &options.servicePath, &options.directoryPath}) {
        std::error_code ec;
        std::filesystem::path absolute = std::filesystem::absolute(*path, ec);
        if (!ec) *path = absolute.string();
    }
    return kernel ? lab::RunKernelLab(options) : lab::RunLab(options);
}
