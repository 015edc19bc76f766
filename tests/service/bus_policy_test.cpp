// The shipped system-bus policy of corvane-service, enforced by a dbus-daemon
// set up like Debian's system bus, with accounts of this test's own.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "service/bus_server.h"
#include "service/service_harness.h"
#include "support/process_wait.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBusName = corvane::kBusName;
using corvane::kConfigurationPath;
using corvane::kFactoryPath;
using corvane::kNetworkPath;
using corvane::kRootPath;
using corvane::kRulesPath;
constexpr const char* kFibreMac = "02-00-00-00-00-01";

// Who a child runs as. The uids are far from any the host hands out.
struct Account {
    const char* name;
    uid_t uid;
    std::vector<gid_t> groups;  // the primary one first
};

const Account kRoot{"root", 0, {0}};
const Account kCorvane{"corvane", 64101, {64101}};
const Account kSandrow{"sandrow", 64102, {64102}};
const Account kMallory{"mallory", 64103, {64103}};
// Not the monitor's account, but a member of its group.
const Account kOperator{"ops", 64104, {64104, 64102}};

// A system bus as Debian configures it (/usr/share/dbus-1/system.conf), then
// the shipped policy file.
std::string BusConfig(const std::string& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <auth>EXTERNAL</auth>
  <listen>unix:path=)" +
           socket + R"(</listen>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
  </policy>
  <include>)" CORVANE_POLICY_PATH R"(</include>
</busconfig>
)";
}

// NULL-terminated pointers into `strings`, made before fork.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> raw;
    for (std::string& s : strings) raw.push_back(s.data());
    raw.push_back(nullptr);
    return raw;
}

// `argv` run as `who`, its output in files; the sanitizers' options pass.
pid_t Spawn(const Account& who, std::vector<std::string> argv, const std::string& outPath,
            const std::string& errPath) {
    std::vector<std::string> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    std::vector<char*> args = Pointers(argv), envp = Pointers(env);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err, 2) < 0 || ::setgroups(who.groups.size(), who.groups.data()) != 0 ||
        ::setgid(who.groups[0]) != 0 || ::setuid(who.uid) != 0) {
        ::_exit(126);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

// SIGTERM, then SIGKILL for a child that does not end within 2 s; how it ended.
std::optional<int> Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    std::optional<int> code = test::Reap(pid, 2000ms);
    if (code) return code;
    ::kill(pid, SIGKILL);
    return test::Reap(pid, 5000ms);
}

// dbus-send's exit code and output.
struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << "exit " << r.code << ", out: " << r.out << ", err: " << r.err;
}

// The reply's values on one line, without the "method return ..." header:
// "int32 0 variant array [ int64 5 ]".
std::string Values(const Result& r) {
    std::istringstream words(r.out.substr(std::min(r.out.find('\n'), r.out.size())));
    std::string values, word;
    while (words >> word) {
        if (!values.empty()) values += ' ';
        values += word;
    }
    return values;
}

bool Denied(const Result& r) {
    return r.code != 0 &&
           r.err.find("org.freedesktop.DBus.Error.AccessDenied") != std::string::npos;
}

class BusPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: the service and the clients run as other uids, and the "
                            "bus needs a mount namespace for its accounts";
        }
        for (const char* tool :
             {"/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/bin/unshare"}) {
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
        }
        // The accounts must reach the socket and read the service's configuration.
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
        std::string passwd = "root:x:0:0:root:/root:/bin/sh\n", group = "root:x:0:\n";
        for (const Account* a : {&kCorvane, &kSandrow, &kMallory, &kOperator}) {
            const std::string id = std::to_string(a->uid);
            passwd += std::string(a->name) + ":x:" + id + ":" + id + "::/nonexistent:/bin/false\n";
            group += std::string(a->name) + ":x:" + id + (a == &kSandrow ? ":ops\n" : ":\n");
        }
        const std::string socket = dir_.file("system_bus_socket");
        const std::pair<const char*, std::string> files[] = {
            {"passwd", passwd},
            {"group", group},
            {"system.conf", BusConfig(socket)},
            {"service.ini", "[metrics]\nfile =\n" + servicetest::kStaticConfig}};
        for (const auto& [name, text] : files) {
            test::WriteFile(dir_.file(name), text);
            ::chmod(dir_.file(name).c_str(), 0644);
        }

        // The daemon in a mount namespace of its own, where this test's passwd
        // and group files lie over the host's.
        bus_ = Spawn(kRoot,
                     {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                      "mount --bind " + dir_.file("passwd") + " /etc/passwd && mount --bind " +
                          dir_.file("group") +
                          " /etc/group && exec dbus-daemon --nofork --nopidfile --nosyslog "
                          "--config-file=" +
                          dir_.file("system.conf")},
                     "/dev/null", dir_.file("bus.err"));
        address_ = "unix:path=" + socket;
        for (auto deadline = Clock::now() + 10s; !std::filesystem::exists(socket);) {
            if (std::optional<int> ended = test::Reap(bus_, 10ms)) {
                bus_ = -1;
                const std::string err = test::ReadFile(dir_.file("bus.err"));
                if (err.find("unshare failed") != std::string::npos) {
                    GTEST_SKIP() << "no private mount namespace for the bus's accounts: " << err;
                }
                FAIL() << "dbus-daemon ended with " << *ended << ": " << err;
            }
            ASSERT_LT(Clock::now(), deadline) << "dbus-daemon does not listen";
        }

        // corvane-service as corvane, until it owns its name.
        service_ =
            Spawn(kCorvane,
                  {"/usr/bin/env", "DBUS_SYSTEM_BUS_ADDRESS=" + address_, CORVANE_SERVICE_PATH,
                   "--config", dir_.file("service.ini"), "--backend", "static"},
                  "/dev/null", ServiceLog());
        for (auto deadline = Clock::now() + 10s;;) {
            Result owned = Bus(kRoot, "NameHasOwner", "string:" + kBusName);
            ASSERT_EQ(owned.code, 0) << owned;
            if (Values(owned) == "boolean true") return;
            std::optional<int> ended = test::Reap(service_, 10ms);
            if (ended) service_ = -1;
            ASSERT_FALSE(ended) << "corvane-service ended with " << *ended << ": "
                                << test::ReadFile(ServiceLog());
            ASSERT_LT(Clock::now(), deadline)
                << "corvane-service does not own its name: " << test::ReadFile(ServiceLog());
        }
    }

    // The service also ends cleanly after the refused calls.
    void TearDown() override {
        if (service_ > 0) {
            EXPECT_EQ(Stop(service_), 0)
                << "corvane-service on SIGTERM: " << test::ReadFile(ServiceLog());
        }
        if (bus_ > 0) Stop(bus_);
    }

    std::string ServiceLog() const { return dir_.file("service.err"); }

    // dbus-send as `who`, with the reply printed; ended after 10 s at most.
    Result Call(const Account& who, const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/dbus-send", "--bus=" + address_, "--print-reply",
                                      "--reply-timeout=5000"};
        argv.insert(argv.end(), args.begin(), args.end());
        const pid_t client = Spawn(who, argv, dir_.file("call.out"), dir_.file("call.err"));
        std::optional<int> code = test::Reap(client, 10000ms);
        if (!code) Stop(client);
        return {code.value_or(-1), test::ReadFile(dir_.file("call.out")),
                code ? test::ReadFile(dir_.file("call.err")) : "dbus-send timed out"};
    }

    // A method of the bus itself, with one argument.
    Result Bus(const Account& who, const std::string& method, const std::string& arg,
               const std::string& more = "") {
        std::vector<std::string> args{"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus." + method, arg};
        if (!more.empty()) args.push_back(more);
        return Call(who, args);
    }

    // A method of the service called as `who`.
    Result Service(const Account& who, const std::string& path, const std::string& method,
                   std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"--dest=" + kBusName, path, method});
        return Call(who, args);
    }

    Result SetLimits(const Account& who, const std::string& mac, int64_t up, int64_t down) {
        return Service(
            who, kNetworkPath, "com.corvane.INetworkManager.SetGatewayLimits",
            {"string:" + mac, "int64:" + std::to_string(up), "int64:" + std::to_string(down)});
    }

    Result PrepareLimitChange(const Account& who) {
        return Service(who, kConfigurationPath,
                       "com.corvane.IConfigurationManager.PrepareLimitChange", {"int32:1"});
    }

    Result Initialize(const Account& who) {
        return Service(who, kRootPath, "com.corvane.IBandwidthControlManager.Initialize",
                       {"int32:0", "int32:1", "int32:0", "string:", "string:"});
    }

    // The gateways as `who` reads them.
    std::string Gateways(const Account& who) {
        return Values(Service(who, kNetworkPath, "com.corvane.INetworkManager.GetNetworkInfoList"));
    }

    test::TempDir dir_;
    std::string address_;
    pid_t bus_ = -1;
    pid_t service_ = -1;
};

// Nobody but the service's account may own the name; anybody may read, but
// only the monitor's account and group change anything.
TEST_F(BusPolicyTest, OnlyTheServiceOwnsTheNameAllReadAndOnlyTheMonitorChanges) {
    for (const Account* who : {&kMallory, &kSandrow, &kOperator, &kRoot}) {
        Result request = Bus(*who, "RequestName", "string:" + kBusName, "uint32:0");
        EXPECT_TRUE(Denied(request)) << who->name << " asked for the name: " << request;
    }

    const std::string before = Gateways(kMallory);
    EXPECT_NE(before.find("array [ int64 100000000 int64 -1 ]"), std::string::npos) << before;

    // The walk a reading client makes to reach the lists, and a property.
    const Result reads[] = {
        Initialize(kMallory),
        Service(kMallory, kRootPath, "com.corvane.IBandwidthControlManager.GetFactoryManager"),
        Service(kMallory, kFactoryPath, "com.corvane.IFactoryManager.GetRulesManager"),
        Service(kMallory, kRulesPath, "com.corvane.IRulesManager.GetProcessList", {"int16:0"}),
        Service(kMallory, kRulesPath, "com.corvane.IRulesManager.GetDomainList", {"int16:0"}),
        Service(kMallory, kRootPath, "org.freedesktop.DBus.Properties.Get",
                {"string:com.corvane.ShaperStatus", "string:LeafQueues"}),
    };
    for (const Result& r : reads) EXPECT_EQ(r.code, 0) << r;

    // Changes: by the name, through the properties, and by the service's own
    // account, which is no exception.
    const Result refused[] = {
        SetLimits(kMallory, kFibreMac, 1000000, 5000000),
        PrepareLimitChange(kMallory),
        Service(kMallory, kRootPath, "org.freedesktop.DBus.Properties.Set",
                {"string:com.corvane.ShaperStatus", "string:LeafQueues", "variant:string:x"}),
        SetLimits(kCorvane, kFibreMac, 1000000, 5000000),
    };
    for (const Result& r : refused) EXPECT_TRUE(Denied(r)) << r;

    EXPECT_EQ(Gateways(kSandrow), before);
    EXPECT_EQ(test::ReadFile(ServiceLog()).find("SetGatewayLimits"), std::string::npos)
        << "a refused call reached the service: " << test::ReadFile(ServiceLog());

    for (const Result& r :
         {Initialize(kSandrow), PrepareLimitChange(kSandrow),
          SetLimits(kSandrow, kFibreMac, 1000000, 5000000),
          SetLimits(kOperator, "02-00-00-00-00-02", -1, 7000000), PrepareLimitChange(kOperator)}) {
        EXPECT_EQ(Values(r), "int32 0") << r;
    }
    const std::string after = Gateways(kMallory);
    EXPECT_NE(after.find("array [ int64 5000000 int64 7000000 ]"), std::string::npos) << after;
}

}  // namespace
