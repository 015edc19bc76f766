// The two printf-style console routines and the wide output stream. Formats
// follow the Windows runtime: in a wide format %s is a wide string and %hs a
// narrow one; %I64u is a 64-bit unsigned. Output goes to standard output as
// UTF-8, with nothing added: no time stamp, no level, no line end.
#pragma once

#include <cstdarg>
#include <sstream>
#include <string>

void ConsolePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ConsolePrintf(const wchar_t* format, ...);

// The formatting behind the two routines, for reuse and tests.
std::string FormatConsoleText(const char* format, va_list args);
std::string FormatConsoleText(const wchar_t* format, va_list args);

// The wide standard output stream: build the text with <<, it is written to
// standard output in one piece when the object goes away.
class WideOut {
  public:
    WideOut() = default;
    ~WideOut();
    WideOut(const WideOut&) = delete;
    WideOut& operator=(const WideOut&) = delete;

    template <typename T>
    WideOut& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }

  private:
    std::wostringstream stream_;
};
