// Process-wide state, the abort test and the signal handler.
#include "process/process.h"

#include <csignal>

#include "platform/console.h"
#include "platform/identity.h"

std::atomic<bool> gAbortRequested{false};
std::string gComputerName;
std::string gRunGuid;
bool gWinsockStarted = false;
bool gGlobalsInitialised = false;

namespace {

void WriteLiteral(const char* text) {
    unsigned long length = 0;
    while (text[length] != '\0') ++length;
    platform::ConsoleWriteAsyncSafe(text, length);
}

}  // namespace

bool AbortRequested() {
    return platform::KbHit() || gAbortRequested.load(std::memory_order_relaxed);
}

void SignalHandler(int signo) {
    switch (signo) {
        case SIGABRT:
            WriteLiteral("SignalHandler: [SIGABRT]\n");
            break;
        case SIGINT:
            WriteLiteral("SignalHandler: [SIGINT]\n");
            break;
        case SIGTERM:
            WriteLiteral("SignalHandler: [SIGTERM]\n");
            break;
        default: {
            // "SignalHandler: Unhandled: %i\n" without printf, which is not
            // safe in a handler.
            char text[48] = "SignalHandler: Unhandled: ";
            unsigned long length = 26;
            char digits[12];
            int n = 0;
            long value = signo < 0 ? -static_cast<long>(signo) : signo;
            do {
                digits[n++] = static_cast<char>('0' + value % 10);
                value /= 10;
            } while (value > 0);
            if (signo < 0) text[length++] = '-';
            while (n > 0) text[length++] = digits[--n];
            text[length++] = '\n';
            platform::ConsoleWriteAsyncSafe(text, length);
            return;
        }
    }
    gAbortRequested.store(true, std::memory_order_relaxed);
}

std::string CreateGUIDStr() {
    platform::Guid guid{};
    if (!platform::CoCreateGuid(&guid)) return std::string();
    return platform::UuidToStringA(guid);
}

void ResetProcessForTest() {
    gAbortRequested = false;
    gComputerName.clear();
    gRunGuid.clear();
    gWinsockStarted = false;
    gGlobalsInitialised = false;
}
