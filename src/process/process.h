// Process-wide state of the monitor: the abort test and the signal handler,
// the machine's identity and this run's, and what start-up has done.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr const char* kProgramName = "Sandrow.exe";
inline constexpr const char* kProgramVersion = "1.1.0.511";

// Set by SignalHandler on SIGINT, SIGABRT or SIGTERM; never cleared.
extern std::atomic<bool> gAbortRequested;
extern std::string gComputerName;  // at most 15 characters; empty when unknown
extern std::string gRunGuid;       // this run's identifier, 36 characters
extern bool gWinsockStarted;
extern bool gGlobalsInitialised;

// True when a key press waits on the console or an abort signal came.
bool AbortRequested();

// Prints which signal came and sets gAbortRequested (SIGINT, SIGABRT and
// SIGTERM); async-signal-safe.
void SignalHandler(int signo);

// A fresh run identifier; empty when none could be made.
std::string CreateGUIDStr();

// Tests: all of the above back to the state at program start.
void ResetProcessForTest();
