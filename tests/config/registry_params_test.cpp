// The registry parameters: range edges, defaults, the SET/DEFAULT lines and
// their order, the reader's console lines and the DebugLevel refresh.
#include "config/registry_params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/logger.h"
#include "support/test_support.h"

namespace {

class RegistryParams : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetConfigForTest();
        InitLogger();
    }
    void TearDown() override {
        ResetLoggerForTest();
        ResetConfigForTest();
    }
    std::vector<std::string> Log() { return test::LogMessages("aperture.log"); }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
};

std::string D(const std::string& text) {
    return "<DEBUG>:" + text;
}

TEST_F(RegistryParams, RangeEdgesDefaultsAndLogLinesInOrder) {
    struct Case {
        std::vector<std::string> hive;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {{"\"DeferalSecs\"=dword:00000000", "\"FloorPercentage\"=dword:00000000",
          "\"AllowGrowUp\"=dword:00000002", "\"JumpToFloorPercentage\"=dword:00000065",
          "\"IdleRecoverySecs\"=dword:00000009", "\"ProbeCountReportHours\"=dword:00000000",
          "\"JTFA\"=dword:00000002", "\"DebugLevel\"=dword:00000000"},
         {D("InitProbeGlobals: SET gDeferralTimeSecs = 0 from registry."),
          D("InitOtherRegistry: DEFAULT gDownloadFloorFactor = 0.7"),
          D("InitOtherRegistry: DEFAULT gAllowUpperLimitGrowth = 1"),
          D("InitOtherRegistry: DEFAULT gJumpToFloorThresholdPercentage = 0.9"),
          D("InitOtherRegistry: DEFAULT gIdleTimeRecoveryThresholdSecs = 60"),
          D("InitOtherRegistry: DEFAULT gProbeCountReportHours = 4294967295"),
          D("InitOtherRegistry: DEFAULT gENABLE_JTFA = 0"),
          D("InitOtherRegistry: [INIT] gRegDebugLevel = 0")}},
        {{"\"DeferalSecs\"=dword:ffffffff", "\"FloorPercentage\"=dword:00000064",
          "\"AllowGrowUp\"=dword:00000000", "\"JumpToFloorPercentage\"=dword:00000001",
          "\"IdleRecoverySecs\"=dword:0000000a", "\"ProbeCountReportHours\"=dword:00000001",
          "\"JTFA\"=dword:00000000", "\"DebugLevel\"=dword:00000005"},
         {D("InitProbeGlobals: SET gDeferralTimeSecs = 4294967295 from registry."),
          D("InitOtherRegistry: SET gDownloadFloorFactor = 1 from registry [FloorPercentage = "
            "100]"),
          D("InitOtherRegistry: SET gAllowUpperLimitGrowth = 0"),
          D("InitOtherRegistry: SET gJumpToFloorThresholdPercentage = 0.01 from registry "
            "[JumpToFloorPercentage = 1]"),
          D("InitOtherRegistry: SET gIdleTimeRecoveryThresholdSecs = 10"),
          D("InitOtherRegistry: SET gProbeCountReportHours = 1"),
          D("InitOtherRegistry: SET gENABLE_JTFA = 0 from registry [JTFA = 0]"),
          D("InitOtherRegistry: SET gRegDebugLevel = 5")}},
        // Other kinds of data are taken as raw bytes: "1" is 31 00 00 00.
        {{"\"FloorPercentage\"=\"1\"", "\"JumpToFloorPercentage\"=hex:65",
          "\"IdleRecoverySecs\"=hex(b):0a,00,00,00,00,00,00,00", "\"JTFA\"=dword:00000001",
          "\"floorpercentage\"=hex:01,00"},
         {D("InitProbeGlobals: DEFAULT gDeferralTimeSecs = 30"),
          D("InitOtherRegistry: SET gDownloadFloorFactor = 0.01 from registry [FloorPercentage = "
            "1]"),
          D("InitOtherRegistry: DEFAULT gAllowUpperLimitGrowth = 1"),
          D("InitOtherRegistry: DEFAULT gJumpToFloorThresholdPercentage = 0.9"),
          D("InitOtherRegistry: DEFAULT gIdleTimeRecoveryThresholdSecs = 60"),
          D("InitOtherRegistry: DEFAULT gProbeCountReportHours = 4294967295"),
          D("InitOtherRegistry: SET gENABLE_JTFA = 1 from registry [JTFA = 1]"),
          D("InitOtherRegistry: DEFAULT gRegDebugLevel = 0")}},
        {{"\"FloorPercentage\"=dword:00000065", "\"IdleRecoverySecs\"=\"1\""},
         {D("InitProbeGlobals: DEFAULT gDeferralTimeSecs = 30"),
          D("InitOtherRegistry: DEFAULT gDownloadFloorFactor = 0.7"),
          D("InitOtherRegistry: DEFAULT gAllowUpperLimitGrowth = 1"),
          D("InitOtherRegistry: DEFAULT gJumpToFloorThresholdPercentage = 0.9"),
          D("InitOtherRegistry: SET gIdleTimeRecoveryThresholdSecs = 49"),
          D("InitOtherRegistry: DEFAULT gProbeCountReportHours = 4294967295"),
          D("InitOtherRegistry: DEFAULT gENABLE_JTFA = 0"),
          D("InitOtherRegistry: DEFAULT gRegDebugLevel = 0")}},
    };
    for (const Case& c : cases) {
        ResetConfigForTest();
        InitLogger();
        test::ConsoleCapture console;
        test::ScopedHive hive(dir_, c.hive);
        ReadDeferralTimeSecs();
        InitOtherRegistry();
        EXPECT_EQ(Log(), c.log);
    }
    // The last case's figures reached the variables, not only the log.
    EXPECT_EQ(gIdleTimeRecoveryThresholdSecs, 49u);
    EXPECT_DOUBLE_EQ(gDownloadFloorFactor, 0.7);
    EXPECT_EQ(gProbeCountReportHours, kNoProbeCountReport);
}

TEST_F(RegistryParams, ReaderPrintsWhyAValueCouldNotBeRead) {
    test::ConsoleCapture console;
    uint32_t value = 0;
    ::setenv("SANDROW_REGISTRY", dir_.file("missing.reg").c_str(), 1);
    EXPECT_FALSE(ReadRegistryDWORDParameter(L"JTFA", &value));
    EXPECT_EQ(console.text(),
              "\nReadRegistryDWORDParameter: Error 2 opening hive 0x80000002, subkey: "
              "SOFTWARE\\Pellworth\\Mervix\n");

    test::ScopedHive hive(dir_,
                          {"\"Wide\"=hex(b):01,00,00,00,00,00,00,00", "\"Out\"=dword:00000000"});
    console.clear();
    EXPECT_FALSE(ReadRegistryDWORDParameter(L"DebugLevel", &value));
    EXPECT_FALSE(ReadRegistryDWORDParameter(L"Wide", &value));
    EXPECT_EQ(
        console.text(),
        "\nReadRegistryDWORDParameter() - RegQueryValueEx: Error 2 reading value: DebugLevel\n"
        "\nReadRegistryDWORDParameter() - RegQueryValueEx: Error 234 reading value: Wide\n");

    // An out-of-range value is dropped without a word on the console.
    console.clear();
    value = 0;
    ::setenv("SANDROW_REGISTRY", dir_.file("registry.reg").c_str(), 1);
    hive.Write({"\"FloorPercentage\"=dword:00000000", "\"DebugLevel\"=dword:00000001",
                "\"DeferalSecs\"=dword:00000001", "\"AllowGrowUp\"=dword:00000001",
                "\"JumpToFloorPercentage\"=dword:00000001", "\"IdleRecoverySecs\"=dword:00000001",
                "\"ProbeCountReportHours\"=dword:00000001", "\"JTFA\"=dword:00000001"});
    ReadDeferralTimeSecs();
    InitOtherRegistry();
    EXPECT_EQ(console.text(), "");
}

TEST_F(RegistryParams, DebugLevelLogsItsFirstValueThenOnlyChanges) {
    test::ConsoleCapture console;
    test::ScopedHive hive(dir_, {"\"DebugLevel\"=dword:00000000"});
    struct Step {
        std::vector<std::string> hive;
        uint32_t level;
        std::vector<std::string> newLines;
    };
    const Step steps[] = {
        {{"\"DebugLevel\"=dword:00000000"}, 0, {D("InitOtherRegistry: [INIT] gRegDebugLevel = 0")}},
        {{"\"DebugLevel\"=dword:00000000"}, 0, {}},
        {{"\"DebugLevel\"=dword:00000005"}, 5, {D("InitOtherRegistry: SET gRegDebugLevel = 5")}},
        {{"\"DebugLevel\"=dword:00000005"}, 5, {}},
        {{}, 0, {D("InitOtherRegistry: CLEAR gRegDebugLevel = 0")}},
        {{}, 0, {}},
        {{"\"DebugLevel\"=dword:00000004"}, 4, {D("InitOtherRegistry: SET gRegDebugLevel = 4")}},
    };
    std::vector<std::string> expected;
    for (const Step& step : steps) {
        hive.Write(step.hive);
        RefreshRegDebugLevel();
        EXPECT_EQ(gRegDebugLevel, step.level);
        expected.insert(expected.end(), step.newLines.begin(), step.newLines.end());
        EXPECT_EQ(Log(), expected);
    }

    // A first call that finds no value says DEFAULT once; a first call that
    // finds a new level says SET, not INIT.
    ResetConfigForTest();
    InitLogger();
    hive.Write({});
    RefreshRegDebugLevel();
    RefreshRegDebugLevel();
    EXPECT_EQ(Log(), std::vector<std::string>{D("InitOtherRegistry: DEFAULT gRegDebugLevel = 0")});
    ResetConfigForTest();
    InitLogger();
    hive.Write({"\"DebugLevel\"=dword:00000004"});
    RefreshRegDebugLevel();
    EXPECT_EQ(Log(), std::vector<std::string>{D("InitOtherRegistry: SET gRegDebugLevel = 4")});
}

}  // namespace

// The hive the package installs: each of its values is read, none falls
// back to its default, as a misspelt name or an out-of-range value would.
TEST_F(RegistryParams, TheInstalledHiveSetsEveryValueItNames) {
    test::ConsoleCapture console;
    ::setenv("SANDROW_REGISTRY", SANDROW_EXAMPLE_HIVE, 1);
    ReadDeferralTimeSecs();
    InitOtherRegistry();
    ::unsetenv("SANDROW_REGISTRY");
    const std::vector<std::string> log = Log();
    EXPECT_EQ(log.size(), 8u);
    for (const std::string& line : log) EXPECT_EQ(line.find("DEFAULT"), std::string::npos) << line;
    EXPECT_EQ(console.text(), "");
}
