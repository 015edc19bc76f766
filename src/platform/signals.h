// Installing the process's signal handlers.
#pragma once

namespace platform {

using SignalHandlerFn = void (*)(int);

// Installs `handler` for `signo`. The disposition returns to the default after
// one delivery (as the runtime's signal() does on the system the monitor was
// first written for), so a second Ctrl-C during a stuck shutdown still ends
// the process. Returns false when the signal cannot be caught.
bool InstallSignalHandler(int signo, SignalHandlerFn handler);

// A console or socket peer that went away must not kill the daemon: writes
// report EPIPE instead of raising SIGPIPE.
void IgnoreBrokenPipe();

// For a program with a poll loop: SIGINT and SIGTERM blocked (for every
// thread started later, so call it before the first) and delivered through
// the descriptor returned instead, readable when one came; SIGPIPE ignored.
// -1 with errno set when that cannot be arranged.
int TakeStopSignals();
// The stop signal waiting on `fd` ("SIGTERM", "SIGINT"), taken off it;
// "a signal" when none can be read.
const char* ReadStopSignal(int fd);

}  // namespace platform
