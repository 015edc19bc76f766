// The real sandrow executable as the tests start it: in a scratch directory,
// standard output and error to files there, standard input from a pipe that
// stays open (a pressed key) or /dev/null.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process_wait.h"
#include "support/test_support.h"

namespace sandrowtest {

// Every value of the hive set, none at its default.
inline const std::vector<std::string> kEveryValueSet = {
    "\"DeferalSecs\"=dword:0000002d",
    "\"FloorPercentage\"=dword:00000050",
    "\"AllowGrowUp\"=dword:00000000",
    "\"JumpToFloorPercentage\"=dword:0000005a",
    "\"IdleRecoverySecs\"=dword:0000001e",
    "\"ProbeCountReportHours\"=dword:00000003",
    "\"JTFA\"=dword:00000001",
    "\"DebugLevel\"=dword:00000004",
    "\"VormProbeMonthBudgetMB\"=dword:0000001e"};

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
    pid_t pid() const { return pid_; }

    Outcome Wait(int seconds = 10) {
        Outcome o;
        const std::optional<int> code = test::Reap(pid_, std::chrono::seconds(seconds));
        if (!code) return o;
        reaped_ = true;
        o.exited = *code >= 0;
        o.code = o.exited ? *code : -1;
        o.signal = o.exited ? 0 : -*code;
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

}  // namespace sandrowtest
