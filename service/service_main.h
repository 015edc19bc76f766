// corvane-service's program, callable from a main() of another build: the
// tests' and the lab's service passes a source of faults, the shipped one none.
#pragma once

#include "service/bus_server.h"

namespace corvane {

// The command line as main() receives it; returns the exit code.
int ServiceMain(int argc, char** argv, FaultSource* faults = nullptr);

}  // namespace corvane
