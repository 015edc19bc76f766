// Signal installation with sigaction(2).
#include "platform/signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>

#include "platform/eintr.h"

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

int TakeStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) return -1;
    IgnoreBrokenPipe();
    return ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
}

const char* ReadStopSignal(int fd) {
    signalfd_siginfo info{};
    if (RetryOnEintr([&] { return ::read(fd, &info, sizeof info); }) !=
        static_cast<ssize_t>(sizeof info)) {
        return "a signal";
    }
    return info.ssi_signo == SIGTERM ? "SIGTERM" : info.ssi_signo == SIGINT ? "SIGINT" : "a signal";
}

}  // namespace platform
