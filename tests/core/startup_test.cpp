// Start-up and shutdown in process: each abort test in turn, with a scripted
// key press, and what reaches the console and the log on each path.
#include "core/startup.h"

#include <gtest/gtest.h>

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

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
};

TEST_F(Startup, EachAbortTestStopsWhereItShould) {
    test::ScopedHive hive(dir_, {});
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
    EXPECT_EQ(test::LogMessages("aperture.log").back(), "<DEBUG>:Exiting...");
    EXPECT_EQ(gRunGuid.size(), 36u);  // set before the monitor would start
}

}  // namespace
