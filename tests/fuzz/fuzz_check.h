// What a fuzz target asserts beyond "does not crash". A broken invariant
// names itself on standard error and aborts: libFuzzer keeps the input as a
// crash, and the replay test fails on it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

inline int LineCount(std::string_view text) {
    return 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A reader's error: "FILE: problem" or "FILE:LINE: problem", on one line,
// LINE one of the text's `lines`.
inline void CheckFileError(const std::string& error, const std::string& fileName, int lines) {
    FUZZ_CHECK(error.compare(0, fileName.size(), fileName) == 0);
    FUZZ_CHECK(error.size() > fileName.size() + 2 && error[fileName.size()] == ':');
    FUZZ_CHECK(error.find('\n') == std::string::npos);
    std::string_view rest = std::string_view(error).substr(fileName.size() + 1);
    if (rest[0] == ' ') return;  // the file as a whole
    size_t colon = rest.find(": ");
    FUZZ_CHECK(colon != std::string_view::npos && colon > 0);
    int line = 0;
    for (char c : rest.substr(0, colon)) {
        FUZZ_CHECK(c >= '0' && c <= '9');
        line = line * 10 + (c - '0');
        FUZZ_CHECK(line <= lines);
    }
}

}  // namespace fuzz
