// The real sandrow executable driven from outside: standard input, signals,
// the hive file, its exit code and the files it leaves.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

struct Outcome {
    bool exited = false;
    int code = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

class SandrowProcess {
  public:
    // stdinBytes: written to a pipe that stays open (a pressed key), or
    // nullptr for /dev/null.
    SandrowProcess(const test::TempDir& dir, const char* stdinBytes) : dir_(dir) {
        int fds[2] = {-1, -1};
        if (stdinBytes != nullptr) {
            EXPECT_EQ(::pipe(fds), 0);
            EXPECT_EQ(::write(fds[1], stdinBytes, std::strlen(stdinBytes)),
                      static_cast<ssize_t>(std::strlen(stdinBytes)));
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.path().c_str()) != 0) ::_exit(120);
            int in = stdinBytes != nullptr ? fds[0] : ::open("/dev/null", O_RDONLY);
            int out = ::open(dir.file("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(dir.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execl(SANDROW_BINARY, "sandrow", static_cast<char*>(nullptr));
            ::_exit(121);
        }
        if (stdinBytes != nullptr) {
            ::close(fds[0]);
            keyPipe_ = fds[1];
        }
    }
    ~SandrowProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (keyPipe_ >= 0) ::close(keyPipe_);
    }

    // Waits up to `seconds` for `text` to appear in the log.
    bool WaitForLog(const std::string& text, int seconds = 10) {
        for (int i = 0; i < seconds * 20; ++i) {
            if (test::ReadFile(dir_.file("aperture.log")).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Signal(int signo) { ::kill(pid_, signo); }

    Outcome Wait(int seconds = 10) {
        Outcome o;
        int status = 0;
        for (int i = 0; i < seconds * 20; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!reaped_) return o;
        o.exited = WIFEXITED(status);
        o.code = o.exited ? WEXITSTATUS(status) : -1;
        o.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        o.out = test::ReadFile(dir_.file("stdout.txt"));
        o.err = test::ReadFile(dir_.file("stderr.txt"));
        return o;
    }

  private:
    const test::TempDir& dir_;
    pid_t pid_ = -1;
    int keyPipe_ = -1;
    bool reaped_ = false;
};

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
        test::ScopedHive hive(
            dir, {"\"DeferalSecs\"=dword:0000002d", "\"FloorPercentage\"=dword:00000050",
                  "\"AllowGrowUp\"=dword:00000000", "\"JumpToFloorPercentage\"=dword:0000005a",
                  "\"IdleRecoverySecs\"=dword:0000001e", "\"ProbeCountReportHours\"=dword:00000003",
                  "\"JTFA\"=dword:00000001", "\"DebugLevel\"=dword:00000004",
                  "\"VormProbeMonthBudgetMB\"=dword:0000001e"});
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
