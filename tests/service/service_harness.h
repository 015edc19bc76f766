// Test scaffolding for the real service: a private dbus-daemon per test, the
// corvane-service binary as a child process, and waiting on both with poll.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus.h"
#include "support/process_wait.h"
#include "support/test_support.h"

extern char** environ;

namespace servicetest {

using namespace std::chrono_literals;

using test::WaitForExit;

// The static backend's file: two gateways (one with nothing set), an
// interface, a process and a domain, every column with a value of its own.
inline const std::string kStaticConfig =
    "[gateway Glasfaser \"S\xC3\xBC\x64\" \\1]\nmac = 02-00-00-00-00-01\nid = 3\n"
    "upload_bps = 20000000\ndownload_bps = 100000000\naddress = 192.0.2.1\n"
    "description = Main line\nlink_speed_bps = 1000000000\n"
    "[gateway Backup]\nmac = 02-00-00-00-00-02\nid = -1\nupload_bps = -1\ndownload_bps = -1\n"
    "connected = false\n"
    "[interface eth0]\nmac = 02-00-00-00-00-11\ndevice_id = 11\ngateway_id = 3\nflags = 5\n"
    "up = false\n"
    "[process firefox]\ndevice_id = 11\nprocess_id = 4242\npath = /usr/bin/firefox\n"
    "description = Browser\nupload_bits = 1000\ndownload_bits = 5000\nactive = false\n"
    "[domain example.com]\ndevice_id = 12\npath = www.example.com\nupload_bits = 42\n"
    "download_bits = 4200\n";

// A dbus-daemon of our own on a fresh socket.
class PrivateBus {
  public:
    explicit PrivateBus(const test::TempDir& dir, const std::string& name = "bus") {
        std::string config = dir.file(name + ".conf");
        // receive_sender: dbus-daemon 1.14 rejects replies without it.
        test::WriteFile(config,
                        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                        "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                        "busconfig.dtd\">\n<busconfig>\n  <type>custom</type>\n"
                        "  <listen>unix:path=" +
                            dir.file(name + ".sock") +
                            "</listen>\n  <auth>EXTERNAL</auth>\n"
                            "  <policy context=\"default\">\n    <allow user=\"*\"/>\n"
                            "    <allow own=\"*\"/>\n    <allow send_destination=\"*\"/>\n"
                            "    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n");
        std::string command =
            "dbus-daemon --config-file=" + config + " --fork --print-address=1 --print-pid=1 2>&1";
        FILE* out = ::popen(command.c_str(), "r");
        if (out == nullptr) return;
        char address[512] = "", pid[32] = "";
        if (std::fscanf(out, "%511s %31s", address, pid) == 2) pid_ = std::atoi(pid);
        address_ = address;
        ::pclose(out);
        if (pid_ <= 0 || address_.rfind("unix:", 0) != 0) pid_ = -1;
    }
    ~PrivateBus() { Kill(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string& address() const { return address_; }

    // Points this process and its children at the bus, off any other test's.
    void Use() const {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        platform::bus::ResetForTest();
    }

    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        WaitForExit(pid_, 2000ms);
        pid_ = -1;
    }

  private:
    std::string address_;
    pid_t pid_ = -1;
};

// The corvane-service binary as a child, its standard error in a file.
class ServiceProcess {
  public:
    // `program`: the shipped service, or its build with faults (--faults FILE).
    ServiceProcess(const std::vector<std::string>& args, const std::string& stderrPath,
                   const char* program = CORVANE_SERVICE_PATH) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> raw;
        for (std::string& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ServiceProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait(5000ms);
        }
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int signo) const {
        if (pid_ > 0) ::kill(pid_, signo);
    }

    // The exit code (-signo for a signal), or nullopt within `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (pid_ <= 0) return std::nullopt;
        const std::optional<int> code = test::Reap(pid_, timeout);
        if (code) pid_ = -1;
        return code;
    }

  private:
    pid_t pid_ = -1;
};

// A test with a private bus of its own, and the service once a case starts it.
class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_ = std::make_unique<PrivateBus>(dir_);
        if (!bus_->ok()) GTEST_SKIP() << "dbus-daemon could not start a private bus";
        bus_->Use();
    }
    void TearDown() override {
        service_.reset();
        bus_.reset();
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        platform::bus::ResetForTest();
    }
    std::string Err() const { return dir_.file("service.err"); }

    test::TempDir dir_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceProcess> service_;
};

// Until the service owns its name on the current bus, at most `timeout`.
inline bool WaitUntilServing(std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (platform::bus::NameHasOwner()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

}  // namespace servicetest
