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

}  // namespace platform
