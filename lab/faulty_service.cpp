// corvane-faulty-service: corvane-service with faults in chosen answers, for
// tests of its clients and for the lab.
// Usage: corvane-faulty-service --faults FILE ARGUMENTS OF corvane-service
#include <string>
#include <vector>

#include "lab/faults.h"
#include "service/backend.h"
#include "service/service_main.h"

int main(int argc, char** argv) {
    // --faults FILE is taken out; every other argument is the service's.
    std::vector<char*> rest{argv[0]};
    std::string faultsPath;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--faults" && i + 1 < argc) {
            faultsPath = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    lab::FaultRules rules;
    std::string error;
    if (!faultsPath.empty() && !lab::LoadFaults(faultsPath, &rules, &error)) {
        corvane::ServiceLog(error);
        return 2;  // the service's exit code for a configuration it cannot use
    }
    corvane::ServiceLog(std::to_string(rules.size()) + " faults");
    lab::FaultPlan plan(std::move(rules));
    rest.push_back(nullptr);
    return corvane::ServiceMain(static_cast<int>(rest.size()) - 1, rest.data(), &plan);
}
