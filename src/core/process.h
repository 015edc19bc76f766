// Process-wide state shared by every module: the abort test, the two critical
// sections, the machine's identity and the last error of an HTTP exchange.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/sync.h"

inline constexpr const char* kProgramName = "Sandrow.exe";
inline constexpr const char* kProgramVersion = "1.1.0.511";

// Set by SignalHandler on SIGINT, SIGABRT or SIGTERM; never cleared.
extern std::atomic<bool> gAbortRequested;
extern std::string gComputerName;           // at most 15 characters; empty when unknown
extern std::string gRunGuid;                // this run's identifier, 36 characters
extern int64_t gPerfFrequency;              // counter ticks per second
extern platform::CriticalSection gDLLock;   // guards gLastErrorText and gLastErrorSet
extern platform::CriticalSection gPCRLock;  // guards the probe-count report's failure flag
extern std::string gLastErrorText;          // e.g. "Fatal Error: hostname lookup failure!"
extern bool gLastErrorSet;                  // gLastErrorText holds an error not yet cleared
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
void ResetCoreForTest();
