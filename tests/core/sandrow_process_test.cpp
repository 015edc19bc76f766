// The real sandrow executable driven from outside: standard input, signals,
// the hive file, its exit code and the files it leaves.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/sandrow_process.h"

namespace {

using sandrowtest::Outcome;
using sandrowtest::SandrowProcess;

TEST(SandrowProcess, KeyWaitingBeforeStartAbortsWithoutALog) {
    test::TempDir dir;
    SandrowProcess sandrow(dir, "x");
    Outcome o = sandrow.Wait();
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "Immediate Abort\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("aperture.log")));
}

TEST(SandrowProcess, RunsWithEveryValueSetAndStopsCleanlyOnSignals) {
    for (int signo : {SIGINT, SIGTERM}) {
        test::TempDir dir;
        test::ScopedHive hive(dir, sandrowtest::kEveryValueSet);
        SandrowProcess sandrow(dir, nullptr);
        // Signalled once the monitor has said it waits for the configuration.
        ASSERT_TRUE(sandrow.WaitForLog("Failed to retrieve Speedtest server configuration"));
        sandrow.Signal(signo);
        Outcome o = sandrow.Wait();
        ASSERT_TRUE(o.exited) << "signal " << o.signal;
        EXPECT_EQ(o.code, 0);
        // No directory host is set: the monitor waits for the configuration.
        const std::string stop =
            signo == SIGINT ? "SignalHandler: [SIGINT]\n" : "SignalHandler: [SIGTERM]\n";
        EXPECT_EQ(o.out.rfind("GetConfig: my_gethostbyname() failure, error = ", 0), 0u) << o.out;
        EXPECT_NE(o.out.find("\nDoApertureMonitor(): Failed to retrieve Speedtest server "
                             "configuration, waiting...\n" +
                             stop),
                  std::string::npos)
            << o.out;

        std::string raw = test::ReadFile(dir.file("aperture.log"));
        EXPECT_EQ(raw.substr(0, 8), "0000000<");
        auto log = test::LogMessages(dir.file("aperture.log"));
        // The computer name and the date depend on the machine; the budget's
        // first computation sees all 16 slots still zero.
        ASSERT_EQ(log.size(), 33u);
        EXPECT_EQ(log[2].rfind("<DEBUG>:COMPUTERNAME: ", 0), 0u);
        EXPECT_EQ(log[3].rfind("<DEBUG>:InitOrUpdateProbeBudgetTiming:[", 0), 0u);
        EXPECT_NE(log[3].find("26338/month, "), std::string::npos) << log[3];
        for (int i = 4; i < 20; ++i) {
            EXPECT_EQ(log[i].rfind("<DEBUG>:[G 0] ResetISPHourlyCounters: SET: ", 0), 0u);
        }
        log.erase(log.begin() + 2, log.begin() + 20);
        const std::vector<std::string> expected = {
            "<DEBUG>:Sandrow.exe v1.1.0.511",
            "<DEBUG>:Registry path: [HKLM] SOFTWARE\\Pellworth\\Mervix",
            "<DEBUG>:InitProbeGlobals: SET gDeferralTimeSecs = 45 from registry.",
            "<DEBUG>:InitOtherRegistry: SET gDownloadFloorFactor = 0.8 from registry "
            "[FloorPercentage = 80]",
            "<DEBUG>:InitOtherRegistry: SET gAllowUpperLimitGrowth = 0",
            "<DEBUG>:InitOtherRegistry: SET gJumpToFloorThresholdPercentage = 0.9 from registry "
            "[JumpToFloorPercentage = 90]",
            "<DEBUG>:InitOtherRegistry: SET gIdleTimeRecoveryThresholdSecs = 30",
            "<DEBUG>:InitOtherRegistry: SET gProbeCountReportHours = 3",
            "<DEBUG>:InitOtherRegistry: SET gENABLE_JTFA = 1 from registry [JTFA = 1]",
            "<DEBUG>:InitOtherRegistry: SET gRegDebugLevel = 4",
            "<DEBUG>:Registry path: JUMP-TO-TARGET Active.",
            "<DEBUG>:Registry path: JUMP-TO-FLOOR-ALWAYS Active. [overrides JUMP-TO-TARGET & "
            "JUMP-TO-FLOOR]",
            "<ERROR>:DoApertureMonitor(): Failed to retrieve Speedtest server configuration, "
            "waiting...",
            "<DEBUG>:Reporting Probe counts before EXITING.",
            "<DEBUG>:Exiting...",
        };
        EXPECT_EQ(log, expected);
    }
}

TEST(SandrowProcess, EndsWhenTheLogCannotBeCreated) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file("aperture.log"));
    SandrowProcess sandrow(dir, nullptr);
    Outcome o = sandrow.Wait();
    EXPECT_FALSE(o.exited && o.code == 0);
    EXPECT_EQ(o.signal, SIGABRT);
    EXPECT_NE(o.err.find("LOGGER: Unable to open an output stream"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "SignalHandler: [SIGABRT]\n");
}

}  // namespace
