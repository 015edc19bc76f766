// Signal installation with sigaction(2).
#include "platform/signals.h"

#include <csignal>

namespace platform {

bool InstallSignalHandler(int signo, SignalHandlerFn handler) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    return ::sigaction(signo, &action, nullptr) == 0;
}

void IgnoreBrokenPipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace platform
