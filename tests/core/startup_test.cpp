// Start-up and shutdown in process: each abort test in turn, with a scripted
// key press, and what reaches the console and the log on each path.
#include "core/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/registry_params.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "process/process.h"
#include "speedtest/http_exchange.h"
#include "support/test_support.h"

namespace {

class Startup : public ::testing::Test {
  protected:
    void TearDown() override {
        platform::SetKbHitForTest(nullptr);
        Reset();
    }
    static void Reset() {
        ResetLoggerForTest();
        ResetConfigForTest();
        ResetProcessForTest();
        platform::ResetClockForTest();
        ClearLastErrorText();
    }

    // Runs the program with a key press seen from the n-th abort test on.
    int RunWithKeyAtTest(int n) {
        Reset();
        int tests = 0;
        platform::SetKbHitForTest([&tests, n] { return ++tests >= n; });
        return SandrowMain();
    }

    bool Logged(const std::string& message) {
        auto log = test::LogMessages("aperture.log");
        return std::find(log.begin(), log.end(), "<DEBUG>:" + message) != log.end();
    }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
};

TEST_F(Startup, EachAbortTestStopsWhereItShould) {
    test::ScopedHive hive(dir_, {"\"JTFA\"=dword:00000001", "\"DebugLevel\"=dword:00000000"});
    test::ConsoleCapture console;

    EXPECT_EQ(RunWithKeyAtTest(1), 1);
    EXPECT_EQ(console.text(), "Immediate Abort\n");
    EXPECT_FALSE(std::filesystem::exists("aperture.log"));

    console.clear();
    EXPECT_EQ(RunWithKeyAtTest(2), 1);
    EXPECT_EQ(console.text(), "Early Abort\n");
    EXPECT_EQ(
        test::LogMessages("aperture.log"),
        (std::vector<std::string>{"<DEBUG>:Sandrow.exe v1.1.0.511",
                                  "<DEBUG>:Registry path: [HKLM] SOFTWARE\\Pellworth\\Mervix"}));

    console.clear();
    EXPECT_EQ(RunWithKeyAtTest(3), 0);
    EXPECT_NE(console.text().find("Pre-Monitor Abort\n"), std::string::npos);
    EXPECT_FALSE(Logged("Registry path: JUMP-TO-TARGET Active."));
    EXPECT_FALSE(Logged("Reporting Probe counts before EXITING."));
    EXPECT_EQ(test::LogMessages("aperture.log").back(), "<DEBUG>:Exiting...");
    EXPECT_FALSE(gRunGuid.empty());

    // Past the last start-up test the monitor runs (no directory host: it
    // waits for the configuration) and returns on the next test; the lines
    // of that path are the executable's test.
    console.clear();
    hive.Write({"\"JTFA\"=dword:00000001", "\"ProbeCountReportHours\"=dword:00000002"});
    EXPECT_EQ(RunWithKeyAtTest(4), 0);
    EXPECT_EQ(console.text().find("Abort"), std::string::npos);
    EXPECT_TRUE(Logged("Registry path: JUMP-TO-TARGET Active."));
    EXPECT_TRUE(Logged("Reporting Probe counts before EXITING."));
    EXPECT_EQ(gRunGuid.size(), 36u);
}

}  // namespace
