// Linux console: write(2) on standard output, FIONREAD on standard input,
// termios for single-key input.
#include "platform/console.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "platform/eintr.h"

namespace platform {
namespace {

std::function<void(std::string_view)> gConsoleSink;
std::function<bool()> gKbHitOverride;

struct termios gSavedTermios;
bool gTermiosSaved = false;
std::terminate_handler gPreviousTerminate = nullptr;

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = RetryOnEintr([&] { return ::write(fd, data, length); });
        if (n < 0) return;  // nobody reads our console any more; carry on without it
        data += n;
        length -= static_cast<size_t>(n);
    }
}

void RestoreTerminal() {
    if (gTermiosSaved) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTermios);
        gTermiosSaved = false;
    }
}

[[noreturn]] void RestoreTerminalThenTerminate() {
    RestoreTerminal();
    if (gPreviousTerminate != nullptr) gPreviousTerminate();
    std::abort();
}

}  // namespace

void ConsoleWrite(std::string_view utf8) {
    if (gConsoleSink) {
        gConsoleSink(utf8);
        return;
    }
    WriteAll(STDOUT_FILENO, utf8.data(), utf8.size());
}

void ConsoleWriteAsyncSafe(const char* text, unsigned long length) {
    WriteAll(STDOUT_FILENO, text, length);
}

bool KbHit() {
    if (gKbHitOverride) return gKbHitOverride();
    int waiting = 0;
    if (::ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) return false;
    return waiting > 0;
}

ConsoleInputMode::ConsoleInputMode() {
    if (gTermiosSaved || !::isatty(STDIN_FILENO)) return;
    if (::tcgetattr(STDIN_FILENO, &gSavedTermios) != 0) return;
    struct termios raw = gSavedTermios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl-C still signals
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
    gTermiosSaved = true;
    gPreviousTerminate = std::set_terminate(RestoreTerminalThenTerminate);
}

ConsoleInputMode::~ConsoleInputMode() {
    RestoreTerminal();
}

void SetConsoleSinkForTest(std::function<void(std::string_view)> sink) {
    gConsoleSink = std::move(sink);
}

void SetKbHitForTest(std::function<bool()> kbhit) {
    gKbHitOverride = std::move(kbhit);
}

}  // namespace platform
