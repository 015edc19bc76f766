// Start-up and shutdown of the monitor.
#pragma once

// The program: start-up, the monitor loop, shutdown. Returns the exit code:
// 1 when it stopped before monitoring could begin, else 0.
int SandrowMain();

// Brings up the process-wide services and reads the registry parameters.
// False stops the program (after its own console line).
bool InitProbeGlobals();

// Starts the socket library; false after printing why.
bool NetworkInitialize();
