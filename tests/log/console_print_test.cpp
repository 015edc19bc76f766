// The console routines' formats, including the wide form's string widths.
#include "log/console_print.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "support/test_support.h"

namespace {

TEST(ConsolePrint, FormatsLikeTheWindowsRuntime) {
    test::ConsoleCapture capture;
    struct Case {
        std::string expected;
        void (*print)();
    };
    const Case cases[] = {
        {"host=a.b [x]\n", [] { ConsolePrintf(L"host=%hs [%s]\n", "a.b", L"x"); }},
        {"0x80004005 -7 7 42", [] { ConsolePrintf(L"0x%08x %i %u %d", 0x80004005u, -7, 7u, 42); }},
        {"[G 1, 90.91 mbps]", [] { ConsolePrintf(L"[G %i, %0.2f mbps]", 1, 90.909090); }},
        {"1500000000 >= 18446744073709551615",
         [] { ConsolePrintf(L"%I64u >= %I64u", uint64_t{1500000000}, UINT64_MAX); }},
        {"0.012000 -5 100%", [] { ConsolePrintf(L"%lf %ld 100%%", 0.012, -5L); }},
        {"[   ab|cd   |xy]", [] { ConsolePrintf(L"[%5hs|%-5s|%.2hs]", "ab", L"cd", "xyz"); }},
        {"\u00E9\u4E2D \u00E9 (null)",
         [] { ConsolePrintf(L"\u00E9\u4E2D %s %hs", L"\u00E9", nullptr); }},
        {"narrow abc wide x 5", [] { ConsolePrintf("narrow %s wide %ls %d", "abc", L"x", 5); }},
        {"bad %y tail%", [] { ConsolePrintf(L"bad %y tail%"); }},
    };
    for (const Case& c : cases) {
        capture.clear();
        c.print();
        EXPECT_EQ(capture.text(), c.expected);
    }
}

TEST(ConsolePrint, WideStreamWritesUtf8InOnePiece) {
    test::ConsoleCapture capture;
    WideOut() << L"\nError " << 2 << L" opening hive "
              << reinterpret_cast<const void*>(uintptr_t{0x80000002}) << L", \u00E9\n";
    EXPECT_EQ(capture.text(), "\nError 2 opening hive 0x80000002, \xC3\xA9\n");
}

}  // namespace
