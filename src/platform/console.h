// Standard output and the console's key-press test. Every console line of the
// monitor leaves the process through ConsoleWrite, unbuffered, so a pipe sees
// each line at once.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

// Writes the bytes to standard output in one go (retrying short writes and
// EINTR). A closed or broken standard output is not an error for the caller.
void ConsoleWrite(std::string_view utf8);

// Only async-signal-safe calls: for signal handlers.
void ConsoleWriteAsyncSafe(const char* text, unsigned long length);

// True when standard input has at least one byte waiting. The byte is never
// read, so once a key was pressed every later test is true. End of file,
// /dev/null or a closed standard input is never a key.
bool KbHit();

// While alive, a terminal on standard input is in non-canonical, no-echo mode
// so that one key counts; the previous mode comes back on destruction and also
// when the process dies through std::terminate.
class ConsoleInputMode {
  public:
    ConsoleInputMode();
    ~ConsoleInputMode();
    ConsoleInputMode(const ConsoleInputMode&) = delete;
    ConsoleInputMode& operator=(const ConsoleInputMode&) = delete;
};

// Test seams: capture console output, script the key-press test. An empty
// function restores the real behaviour.
void SetConsoleSinkForTest(std::function<void(std::string_view)> sink);
void SetKbHitForTest(std::function<bool()> kbhit);

}  // namespace platform
