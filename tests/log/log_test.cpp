// The log file's line format, its cut-over and the start-up shift of earlier
// generations; the console routines' formats.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "log/console_print.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "support/test_support.h"

namespace {

class FixedClock : public platform::ClockSource {
  public:
    int64_t PerformanceCounter() override { return 0; }
    uint64_t TickCount64() override { return 0; }
    platform::LocalTime Local() override { return {}; }
    std::string Ctime() override { return "Fri Dec  4 05:42:18 2026"; }
    uint64_t ProcessClockMs() override { return 4711; }
    void Sleep(uint32_t) override {}
};

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetLoggerForTest();
        platform::SetClockSourceForTest(&clock_);
    }
    void TearDown() override {
        ResetLoggerForTest();
        platform::SetClockSourceForTest(nullptr);
    }

    FixedClock clock_;
    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
};

constexpr const char* kHeader = "<Fri Dec  4 05:42:18 2026-0004711>~";

TEST_F(LoggerTest, WritesNumberedLinesWithPiecesInTheirFormats) {
    InitLogger();
    LogDebug("Monitoring internet traffic...");
    LogError("wide ", L"G\u03A9z", ", double ", 90.9090909090909, " ", 0.7, " ", 1e-7, ", bool ",
             true, false, ", u8 ", uint8_t{5}, ", i64 ", int64_t{-3}, ", u64 ", UINT64_MAX,
             ", astral ", L"\U0001F600");
    {
        LogLine line(LogLevel::Debug);
        line << "pieces " << 1 << ' ' << 2.5;
    }
    std::string expected = std::string("0000000") + kHeader +
                           "<DEBUG>:Monitoring internet traffic...\r\n\n" + "0000001" + kHeader +
                           "<ERROR>:wide G\xA9z, double 90.9091 0.7 1e-07, bool 10, u8 5, i64 -3, "
                           "u64 18446744073709551615, astral =" +
                           std::string(1, '\0') +  // U+1F600 is D83D DE00: low bytes 3D, 00
                           "\r\n\n" + "0000002" + kHeader + "<DEBUG>:pieces 1 2.5\r\n\n";
    EXPECT_EQ(test::ReadFile("aperture.log"), expected);
}

TEST_F(LoggerTest, CutsOverOnlyWhenMoreThanTwoMillionBytesWereWritten) {
    InitLogger();
    // Every line is 52 bytes of header, tag and CR LF plus its message.
    auto line = [](size_t bytes) { LogDebug(std::string(bytes - 52, 'x')); };
    for (int i = 0; i < 1999; ++i) line(1000);
    line(1000);  // exactly 2000000: not yet over
    EXPECT_FALSE(std::filesystem::exists("~aperture.log"));
    EXPECT_EQ(std::filesystem::file_size("aperture.log"), 2000000u + 2000u);  // plus the extra LFs

    line(60);  // over the mark: this line still goes to the old file, then the cut-over
    ASSERT_TRUE(std::filesystem::exists("~aperture.log"));
    EXPECT_EQ(std::filesystem::file_size("~aperture.log"), 2000060u + 2001u);
    EXPECT_EQ(std::filesystem::file_size("aperture.log"), 0u);

    LogDebug("after");
    auto messages = test::LogMessages("aperture.log");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "<DEBUG>:after");
    EXPECT_EQ(test::ReadFile("aperture.log").substr(0, 7), "0002001");  // numbering goes on
}

TEST_F(LoggerTest, ShiftsGenerationsAtStartUp) {
    test::WriteFile("aperture.log", "current\n");
    test::WriteFile("~aperture.log", "overflow\n");
    test::WriteFile("aperture1.log", "one\n");
    test::WriteFile("aperture2.log", "two\n");
    InitLogger();
    EXPECT_EQ(test::ReadFile("aperture3.log"), "two\n");
    EXPECT_EQ(test::ReadFile("aperture2.log"), "one\n");
    EXPECT_EQ(test::ReadFile("aperture1.log"), "overflow\ncurrent\n");
    EXPECT_EQ(test::ReadFile("~aperture.log"), "overflow\n");  // never deleted
    EXPECT_EQ(test::ReadFile("aperture.log"), "");
}

TEST_F(LoggerTest, LinesWrittenInPiecesFromTwoThreadsNeverMix) {
    InitLogger();
    constexpr int kLines = 400;
    auto writer = [](char tag) {
        for (int i = 0; i < kLines; ++i) {
            LogLine line(LogLevel::Debug);
            for (int piece = 0; piece < 8; ++piece) line << tag;
        }
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    auto messages = test::LogMessages("aperture.log");
    ASSERT_EQ(messages.size(), 2u * kLines);
    for (const std::string& m : messages) {
        EXPECT_TRUE(m == "<DEBUG>:aaaaaaaa" || m == "<DEBUG>:bbbbbbbb") << m;
    }
}

TEST(ConsolePrint, FormatsLikeTheWindowsRuntime) {
    test::ConsoleCapture capture;
    struct Case {
        std::string expected;
        void (*print)();
    };
    const Case cases[] = {
        {"host=a.b [x]\n", [] { ConsolePrintf(L"host=%hs [%s]\n", "a.b", L"x"); }},
        {"0x80004005 -7 7 42", [] { ConsolePrintf(L"0x%08x %i %u %d", 0x80004005u, -7, 7u, 42); }},
        {"1500000000 >= 18446744073709551615",
         [] { ConsolePrintf(L"%I64u >= %I64u", uint64_t{1500000000}, UINT64_MAX); }},
        {"[   ab|cd   |xy]", [] { ConsolePrintf(L"[%5hs|%-5s|%.2hs]", "ab", L"cd", "xyz"); }},
        {"\u00E9\u4E2D \u00E9 (null)",
         [] { ConsolePrintf(L"\u00E9\u4E2D %s %hs", L"\u00E9", nullptr); }},
        {"bad %y tail%", [] { ConsolePrintf(L"bad %y tail%"); }},
    };
    for (const Case& c : cases) {
        capture.clear();
        c.print();
        EXPECT_EQ(capture.text(), c.expected);
    }
}

}  // namespace
