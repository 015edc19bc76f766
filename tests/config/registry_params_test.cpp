// The registry parameters: range edges, defaults, the SET/DEFAULT lines and
// their order, the reader's failures and the DebugLevel refresh.
#include "config/registry_params.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "log/logger.h"
#include "support/test_support.h"

namespace {

using Lines = std::vector<std::string>;

class RegistryParams : public ::testing::Test {
  protected:
    void SetUp() override { Restart(); }
    void TearDown() override {
        ResetLoggerForTest();
        ResetConfigForTest();
        ::unsetenv("SANDROW_REGISTRY");
    }
    // The defaults again and a fresh log.
    static void Restart() {
        ResetConfigForTest();
        InitLogger();
    }
    static Lines Log() { return test::LogMessages("aperture.log"); }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::ConsoleCapture console_;
};

// The log's eight lines of the start-up reading: each given SET text
// replaces the DEFAULT line of its value ("" keeps it).
Lines StartUpLines(const Lines& set) {
    const Lines defaults = {"InitProbeGlobals: DEFAULT gDeferralTimeSecs = 30",
                            "InitOtherRegistry: DEFAULT gDownloadFloorFactor = 0.7",
                            "InitOtherRegistry: DEFAULT gAllowUpperLimitGrowth = 1",
                            "InitOtherRegistry: DEFAULT gJumpToFloorThresholdPercentage = 0.9",
                            "InitOtherRegistry: DEFAULT gIdleTimeRecoveryThresholdSecs = 60",
                            "InitOtherRegistry: DEFAULT gProbeCountReportHours = 4294967295",
                            "InitOtherRegistry: DEFAULT gENABLE_JTFA = 0",
                            "InitOtherRegistry: DEFAULT gRegDebugLevel = 0"};
    Lines lines;
    for (size_t i = 0; i < defaults.size(); ++i) {
        const std::string& line = set[i].empty() ? defaults[i] : set[i];
        lines.push_back(std::string("<DEBUG>:") +
                        (line.rfind("Init", 0) == 0 ? "" : "InitOtherRegistry: ") + line);
    }
    return lines;
}

TEST_F(RegistryParams, RangeEdgesDefaultsAndLogLinesInOrder) {
    struct Case {
        Lines hive, set;
    };
    const Case cases[] = {
        {{"\"DeferalSecs\"=dword:00000000", "\"FloorPercentage\"=dword:00000000",
          "\"AllowGrowUp\"=dword:00000002", "\"JumpToFloorPercentage\"=dword:00000065",
          "\"IdleRecoverySecs\"=dword:00000009", "\"ProbeCountReportHours\"=dword:00000000",
          "\"JTFA\"=dword:00000002", "\"DebugLevel\"=dword:00000000"},
         {"InitProbeGlobals: SET gDeferralTimeSecs = 0 from registry.", "", "", "", "", "", "",
          "[INIT] gRegDebugLevel = 0"}},
        {{"\"DeferalSecs\"=dword:ffffffff", "\"FloorPercentage\"=dword:00000064",
          "\"AllowGrowUp\"=dword:00000000", "\"JumpToFloorPercentage\"=dword:00000001",
          "\"IdleRecoverySecs\"=dword:0000000a", "\"ProbeCountReportHours\"=dword:00000001",
          "\"JTFA\"=dword:00000000", "\"DebugLevel\"=dword:00000005"},
         {"InitProbeGlobals: SET gDeferralTimeSecs = 4294967295 from registry.",
          "SET gDownloadFloorFactor = 1 from registry [FloorPercentage = 100]",
          "SET gAllowUpperLimitGrowth = 0",
          "SET gJumpToFloorThresholdPercentage = 0.01 from registry [JumpToFloorPercentage = 1]",
          "SET gIdleTimeRecoveryThresholdSecs = 10", "SET gProbeCountReportHours = 1",
          "SET gENABLE_JTFA = 0 from registry [JTFA = 0]", "SET gRegDebugLevel = 5"}},
        // Other kinds of data are taken as raw bytes: "1" is 31 00 00 00.
        {{"\"FloorPercentage\"=\"1\"", "\"JumpToFloorPercentage\"=hex:65",
          "\"IdleRecoverySecs\"=hex(b):0a,00,00,00,00,00,00,00", "\"JTFA\"=dword:00000001",
          "\"floorpercentage\"=hex:01,00"},
         {"", "SET gDownloadFloorFactor = 0.01 from registry [FloorPercentage = 1]", "", "", "", "",
          "SET gENABLE_JTFA = 1 from registry [JTFA = 1]", ""}},
        {{"\"FloorPercentage\"=dword:00000065", "\"IdleRecoverySecs\"=\"1\""},
         {"", "", "", "", "SET gIdleTimeRecoveryThresholdSecs = 49", "", "", ""}},
    };
    for (const Case& c : cases) {
        Restart();
        test::ScopedHive hive(dir_, c.hive);
        ReadDeferralTimeSecs();
        InitOtherRegistry();
        EXPECT_EQ(Log(), StartUpLines(c.set));
    }
    // The last case's figures reached the variables, not only the log.
    EXPECT_EQ(gIdleTimeRecoveryThresholdSecs, 49u);
    EXPECT_DOUBLE_EQ(gDownloadFloorFactor, 0.7);
    EXPECT_EQ(gProbeCountReportHours, kNoProbeCountReport);
}

TEST_F(RegistryParams, ReaderFailsWithoutHiveValueOrRightType) {
    uint32_t value = 0;
    ::setenv("SANDROW_REGISTRY", dir_.file("missing.reg").c_str(), 1);
    EXPECT_FALSE(ReadRegistryDWORDParameter(L"JTFA", &value));
    test::ScopedHive hive(dir_, {"\"Wide\"=hex(b):01,00,00,00,00,00,00,00"});
    EXPECT_FALSE(ReadRegistryDWORDParameter(L"DebugLevel", &value));
    EXPECT_FALSE(ReadRegistryDWORDParameter(L"Wide", &value));
}

TEST_F(RegistryParams, DebugLevelLogsItsFirstValueThenOnlyChanges) {
    test::ScopedHive hive(dir_, {});
    // Whether it is the first call, what the hive says, the level after the
    // refresh, the line it logs. A first call without a value says DEFAULT
    // once; one that finds a new level says SET, not INIT.
    const std::tuple<bool, const char*, uint32_t, const char*> steps[] = {
        {false, "\"DebugLevel\"=dword:00000000", 0, "[INIT] gRegDebugLevel = 0"},
        {false, "\"DebugLevel\"=dword:00000000", 0, nullptr},
        {false, "\"DebugLevel\"=dword:00000005", 5, "SET gRegDebugLevel = 5"},
        {false, "\"DebugLevel\"=dword:00000005", 5, nullptr},
        {false, nullptr, 0, "CLEAR gRegDebugLevel = 0"},
        {false, nullptr, 0, nullptr},
        {false, "\"DebugLevel\"=dword:00000004", 4, "SET gRegDebugLevel = 4"},
        {true, nullptr, 0, "DEFAULT gRegDebugLevel = 0"},
        {false, nullptr, 0, nullptr},
        {true, "\"DebugLevel\"=dword:00000004", 4, "SET gRegDebugLevel = 4"},
    };
    Lines expected;
    for (const auto& [first, value, level, line] : steps) {
        if (first) {
            Restart();
            expected.clear();
        }
        hive.Write(value ? Lines{value} : Lines{});
        RefreshRegDebugLevel();
        EXPECT_EQ(gRegDebugLevel, level);
        if (line) expected.push_back(std::string("<DEBUG>:InitOtherRegistry: ") + line);
        EXPECT_EQ(Log(), expected);
    }
}

// The hive the package installs: each of its values is read, none falls
// back to its default, as a misspelt name or an out-of-range value would.
TEST_F(RegistryParams, TheInstalledHiveSetsEveryValueItNames) {
    ::setenv("SANDROW_REGISTRY", SANDROW_EXAMPLE_HIVE, 1);
    ReadDeferralTimeSecs();
    InitOtherRegistry();
    const Lines log = Log();
    EXPECT_EQ(log.size(), 8u);
    for (const std::string& line : log) EXPECT_EQ(line.find("DEFAULT"), std::string::npos) << line;
    EXPECT_EQ(console_.text(), "");
}

}  // namespace
