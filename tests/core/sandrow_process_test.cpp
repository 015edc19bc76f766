// The real sandrow executable driven from outside: standard input, signals,
// the hive file, its exit code, the files and routes it leaves.
#include <arpa/inet.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/sandrow_process.h"
#include "platform/route.h"
#include "probe/latency.h"
#include "support/process_wait.h"
#include "support/veth_namespace.h"

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

// A probe route of a run killed mid-probe (SIGKILL: no clean-up runs) is gone
// once sandrow starts again; an administrator's route on the same link stays.
class LeftoverProbeRoute : public test::VethNamespace {};

TEST_F(LeftoverProbeRoute, IsGoneAfterTheNextStart) {
    Ip("route add default via 10.77.0.2 dev veth0");
    Ip("route add 198.51.100.0/24 via 10.77.0.2 dev veth0");
    auto routes = [] {
        std::vector<platform::IpForwardRow> rows;
        EXPECT_EQ(platform::GetIpForwardTable(&rows), 0);
        std::vector<std::string> text;
        for (const platform::IpForwardRow& r : rows) {
            char dest[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &r.dest, dest, sizeof dest);
            text.push_back(std::string(dest) + " " + std::to_string(r.proto));
        }
        std::sort(text.begin(), text.end());
        return text;
    };
    // The killed run: it pins a server's /24 as a probe does, and dies.
    const pid_t run = ::fork();
    if (run == 0) {
        in_addr server{};
        ::inet_pton(AF_INET, "203.0.113.0", &server);
        if (CreateProbeRoute(veth0_, server.s_addr, htonl(0xFFFFFF00u))) ::raise(SIGKILL);
        ::_exit(1);
    }
    ASSERT_EQ(test::Reap(run, std::chrono::seconds(10)), -SIGKILL);
    const std::vector<std::string> before = routes();
    EXPECT_NE(std::find(before.begin(), before.end(), "203.0.113.0 83"), before.end());

    test::TempDir dir;
    SandrowProcess sandrow(dir, nullptr);
    std::vector<std::string> after;
    for (int i = 0; i < 100; ++i) {
        after = routes();
        if (after.size() < before.size()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    sandrow.Signal(SIGKILL);
    EXPECT_EQ(after, (std::vector<std::string>{"0.0.0.0 3", "10.77.0.0 2", "198.51.100.0 3"}));
}
