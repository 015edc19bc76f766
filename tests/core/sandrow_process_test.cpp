// The real sandrow executable driven from outside: its exit code, output,
// log and routes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/route.h"
#include "probe/latency.h"
#include "support/process_wait.h"
#include "support/test_support.h"
#include "support/veth_namespace.h"

namespace {

using namespace std::chrono_literals;

// Every value of the hive set, none at its default.
const std::vector<std::string> kEveryValueSet = {"\"DeferalSecs\"=dword:0000002d",
                                                 "\"FloorPercentage\"=dword:00000050",
                                                 "\"AllowGrowUp\"=dword:00000000",
                                                 "\"JumpToFloorPercentage\"=dword:0000005a",
                                                 "\"IdleRecoverySecs\"=dword:0000001e",
                                                 "\"ProbeCountReportHours\"=dword:00000003",
                                                 "\"JTFA\"=dword:00000001",
                                                 "\"DebugLevel\"=dword:00000004",
                                                 "\"VormProbeMonthBudgetMB\"=dword:0000001e"};

const std::string kWaiting =
    "DoApertureMonitor(): Failed to retrieve Speedtest server configuration, waiting...";

struct Outcome {
    int code = 256;  // the exit code, -signo when a signal ended it; 256 while it runs
    std::string out, err;
};

// sandrow in `dir`, its standard output and error to files there, its
// standard input /dev/null.
class SandrowProcess {
  public:
    explicit SandrowProcess(const test::TempDir& dir) : dir_(dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.path().c_str()) != 0) ::_exit(120);
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::dup2(::open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            ::dup2(::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::execl(SANDROW_BINARY, "sandrow", static_cast<char*>(nullptr));
            ::_exit(121);
        }
    }
    ~SandrowProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            test::Reap(pid_, 10s);
        }
    }

    // Waits up to 10 s for `text` to appear in the log.
    bool WaitForLog(const std::string& text) {
        for (int i = 0; i < 200; ++i) {
            if (test::ReadFile(dir_.file("aperture.log")).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    void Signal(int signo) { ::kill(pid_, signo); }

    Outcome Wait() {
        const std::optional<int> code = test::Reap(pid_, 10s);
        reaped_ = code.has_value();
        return {code.value_or(256), test::ReadFile(dir_.file("stdout.txt")),
                test::ReadFile(dir_.file("stderr.txt"))};
    }

  private:
    const test::TempDir& dir_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

TEST(SandrowProcess, RunsWithEveryValueSetAndStopsCleanlyOnSignals) {
    for (int signo : {SIGINT, SIGTERM}) {
        test::TempDir dir;
        test::ScopedHive hive(dir, kEveryValueSet);
        SandrowProcess sandrow(dir);
        // Signalled once the monitor has said it waits for the configuration.
        ASSERT_TRUE(sandrow.WaitForLog("Failed to retrieve Speedtest server configuration"));
        sandrow.Signal(signo);
        Outcome o = sandrow.Wait();
        EXPECT_EQ(o.code, 0);
        // No directory host is set: the monitor waits for the configuration.
        EXPECT_EQ(o.out.rfind("GetConfig: my_gethostbyname() failure, error = ", 0), 0u) << o.out;
        EXPECT_NE(o.out.find("\n" + kWaiting + "\nSignalHandler: [" +
                             (signo == SIGINT ? "SIGINT" : "SIGTERM") + "]\n"),
                  std::string::npos)
            << o.out;

        EXPECT_EQ(test::ReadFile(dir.file("aperture.log")).substr(0, 8), "0000000<");
        auto log = test::LogMessages(dir.file("aperture.log"));
        // The computer name, the budget's figures and the 16 slots' hourly
        // counters come between.
        ASSERT_EQ(log.size(), 33u);
        EXPECT_EQ(log[2].rfind("<DEBUG>:COMPUTERNAME: ", 0), 0u);
        log.erase(log.begin() + 2, log.begin() + 20);
        std::string text;
        for (const std::string& line : log) text += line + "\n";
        EXPECT_EQ(text, R"(<DEBUG>:Sandrow.exe v1.1.0.511
<DEBUG>:Registry path: [HKLM] SOFTWARE\Pellworth\Mervix
<DEBUG>:InitProbeGlobals: SET gDeferralTimeSecs = 45 from registry.
<DEBUG>:InitOtherRegistry: SET gDownloadFloorFactor = 0.8 from registry [FloorPercentage = 80]
<DEBUG>:InitOtherRegistry: SET gAllowUpperLimitGrowth = 0
<DEBUG>:InitOtherRegistry: SET gJumpToFloorThresholdPercentage = 0.9 from registry [JumpToFloorPercentage = 90]
<DEBUG>:InitOtherRegistry: SET gIdleTimeRecoveryThresholdSecs = 30
<DEBUG>:InitOtherRegistry: SET gProbeCountReportHours = 3
<DEBUG>:InitOtherRegistry: SET gENABLE_JTFA = 1 from registry [JTFA = 1]
<DEBUG>:InitOtherRegistry: SET gRegDebugLevel = 4
<DEBUG>:Registry path: JUMP-TO-TARGET Active.
<DEBUG>:Registry path: JUMP-TO-FLOOR-ALWAYS Active. [overrides JUMP-TO-TARGET & JUMP-TO-FLOOR]
<ERROR>:)" + kWaiting + R"(
<DEBUG>:Reporting Probe counts before EXITING.
<DEBUG>:Exiting...
)");
    }
}

TEST(SandrowProcess, EndsWhenTheLogCannotBeCreated) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file("aperture.log"));
    Outcome o = SandrowProcess(dir).Wait();
    EXPECT_EQ(o.code, -SIGABRT);
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
    ASSERT_EQ(test::Reap(run, 10s), -SIGKILL);
    const std::vector<std::string> before = routes();
    EXPECT_NE(std::find(before.begin(), before.end(), "203.0.113.0 83"), before.end());

    test::TempDir dir;
    SandrowProcess sandrow(dir);
    std::vector<std::string> after;
    for (int i = 0; i < 100; ++i) {
        after = routes();
        if (after.size() < before.size()) break;
        std::this_thread::sleep_for(50ms);
    }
    sandrow.Signal(SIGKILL);
    EXPECT_EQ(after, (std::vector<std::string>{"0.0.0.0 3", "10.77.0.0 2", "198.51.100.0 3"}));
}
