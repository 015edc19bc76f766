// The shipped system-bus policy of corvane-service, enforced by a real
// dbus-daemon that is set up like Debian's system bus: who owns the name, who
// may look at the shaper and who may change it. The accounts exist only in the
// daemon's own mount namespace, where this test's passwd and group files hide
// the host's; the clients and the service run as those uids.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/process_wait.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kBusName = "com.corvane.NetworkService";
constexpr const char* kRootPath = "/com/corvane/NetworkService";
constexpr const char* kFactoryPath = "/com/corvane/NetworkService/FactoryManager";
constexpr const char* kNetworkPath = "/com/corvane/NetworkService/NetworkManager";
constexpr const char* kRulesPath = "/com/corvane/NetworkService/RulesManager";
constexpr const char* kConfigurationPath = "/com/corvane/NetworkService/ConfigurationManager";
constexpr const char* kFibreMac = "02-00-00-00-00-01";
constexpr const char* kBackupMac = "02-00-00-00-00-02";

// The exit code of the bus child when the kernel refuses a mount namespace.
constexpr int kNoNamespaceExit = 77;

// Who a child runs as. The uids are far from any the host hands out.
struct Account {
    const char* name;
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // all of its groups, the primary one included
};

const Account kRoot{"root", 0, 0, {0}};
const Account kCorvane{"corvane", 64101, 64101, {64101}};
const Account kSandrow{"sandrow", 64102, 64102, {64102}};
const Account kMallory{"mallory", 64103, 64103, {64103}};
// Not the monitor's account, but a member of its group.
const Account kOperator{"ops", 64104, 64104, {64104, 64102}};

std::string PasswdFile() {
    std::string text = "root:x:0:0:root:/root:/bin/sh\n";
    for (const Account* a : {&kCorvane, &kSandrow, &kMallory, &kOperator}) {
        text += std::string(a->name) + ":x:" + std::to_string(a->uid) + ":" +
                std::to_string(a->gid) + "::/nonexistent:/usr/sbin/nologin\n";
    }
    return text;
}

std::string GroupFile() {
    return "root:x:0:\ncorvane:x:64101:\nsandrow:x:64102:ops\nmallory:x:64103:\nops:x:64104:\n";
}

// A system bus as Debian configures it (/usr/share/dbus-1/system.conf): all
// may connect, nobody owns a name or receives a method call unless a policy
// file opens it, signals and requested replies pass; then the shipped policy
// file itself.
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

// Two gateways, one with limits and one without; an interface, a process and
// a domain so that every list has something to read.
constexpr const char* kServiceConfig =
    "[metrics]\nfile =\n"  // no metrics file in a real node exporter's directory
    "[gateway Fibre]\nmac = 02-00-00-00-00-01\nid = 3\nupload_bps = 20000000\n"
    "download_bps = 100000000\n"
    "[gateway Backup]\nmac = 02-00-00-00-00-02\nid = 7\nupload_bps = -1\ndownload_bps = -1\n"
    "[interface eth0]\nmac = 02-00-00-00-00-11\ndevice_id = 11\ngateway_id = 3\n"
    "[process firefox]\ndevice_id = 11\nprocess_id = 4242\n"
    "[domain example.com]\ndevice_id = 11\n";

void WriteReadable(const std::string& path, const std::string& text) {
    test::WriteFile(path, text);
    ::chmod(path.c_str(), 0644);
}

std::string FindProgram(const char* name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// NULL-terminated pointers into `strings`, made before fork: the child only
// makes async-signal-safe calls.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> raw;
    for (std::string& s : strings) raw.push_back(s.data());
    raw.push_back(nullptr);
    return raw;
}

// In a forked child: reports on its standard error and ends.
[[noreturn]] void ChildDies(const char* why, int code) {
    ssize_t ignored = ::write(STDERR_FILENO, why, std::char_traits<char>::length(why));
    (void)ignored;
    ::_exit(code);
}

// A child process, ended and reaped when the object goes, so that a failed
// assertion leaves nothing running.
class Child {
  public:
    explicit Child(pid_t pid = -1) : pid_(pid) {}
    ~Child() { Stop(); }
    Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)), code_(other.code_) {}
    // The child this held goes with `other`.
    Child& operator=(Child&& other) noexcept {
        std::swap(pid_, other.pid_);
        std::swap(code_, other.code_);
        return *this;
    }

    bool started() const { return pid_ > 0; }

    // The exit code (-signo when killed by a signal) once the child has ended,
    // nullopt while it runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (pid_ > 0) {
            const std::optional<int> code = test::Reap(pid_, timeout);
            if (!code && !test::WaitForExit(pid_, 0ms)) return std::nullopt;
            pid_ = -1;
            code_ = code.value_or(-1000);  // gone, but not ours to reap
        }
        return code_;
    }

    // SIGTERM, then SIGKILL for a child that does not end within 2 s; how
    // it ended.
    std::optional<int> Stop() {
        if (pid_ <= 0) return code_;
        ::kill(pid_, SIGTERM);
        if (std::optional<int> code = Wait(2000ms)) return code;
        ::kill(pid_, SIGKILL);
        return Wait(5000ms);
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> code_;
};

// `argv` run as `who` with `env`, its output in files. The descriptors are set
// up as root, then the identity is dropped, then exec.
Child Spawn(const Account& who, std::vector<std::string> argv, std::vector<std::string> env,
            const std::string& outPath, const std::string& errPath) {
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    pid_t pid = ::fork();
    if (pid != 0) return Child(pid);
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err, 2) < 0) {
        ::_exit(126);
    }
    if (::setgroups(who.groups.size(), who.groups.data()) != 0 || ::setgid(who.gid) != 0 ||
        ::setuid(who.uid) != 0) {
        ChildDies("cannot take the account's identity\n", 126);
    }
    ::execve(args[0], args.data(), envp.data());
    ChildDies("exec failed\n", 127);
}

// What a client call gave: dbus-send's exit code and output.
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
    while (words >> word) values += (values.empty() ? "" : " ") + word;
    return values;
}

// The contents of the reply's variants, in order.
std::vector<std::string> Variants(const Result& r) {
    const std::string values = " " + Values(r), mark = " variant ";
    std::vector<std::string> variants;
    for (size_t at = values.find(mark), next; at != std::string::npos; at = next) {
        next = values.find(mark, at + mark.size());
        variants.push_back(values.substr(at + mark.size(), next - at - mark.size()));
    }
    return variants;
}

// The first quoted string of the reply.
std::string FirstString(const Result& r) {
    size_t open = r.out.find('"');
    size_t close = open == std::string::npos ? open : r.out.find('"', open + 1);
    return close == std::string::npos ? std::string() : r.out.substr(open + 1, close - open - 1);
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
        daemonPath_ = FindProgram("dbus-daemon");
        sendPath_ = FindProgram("dbus-send");
        if (daemonPath_.empty() || sendPath_.empty()) {
            GTEST_SKIP() << "dbus-daemon or dbus-send is not installed (packages dbus-daemon, "
                            "dbus-bin)";
        }
        // The accounts must reach the socket and read the service's configuration.
        ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
        WriteReadable(dir_.file("passwd"), PasswdFile());
        WriteReadable(dir_.file("group"), GroupFile());
        WriteReadable(dir_.file("system.conf"), BusConfig(dir_.file("system_bus_socket")));
        WriteReadable(dir_.file("service.ini"), kServiceConfig);

        std::string problem;
        switch (StartBus(&problem)) {
            case BusStart::kStarted:
                break;
            case BusStart::kNoNamespace:
                GTEST_SKIP() << "unshare(CLONE_NEWNS) failed: no private mount namespace for "
                                "the bus's accounts";
            case BusStart::kFailed:
                FAIL() << "dbus-daemon did not start: " << problem;
        }
        StartService();
    }

    // The service also ends cleanly after the refused calls.
    void TearDown() override {
        if (!service_.started()) return;
        std::optional<int> code = service_.Stop();
        EXPECT_EQ(code, 0) << "corvane-service on SIGTERM: " << test::ReadFile(ServiceLog());
    }

    enum class BusStart { kStarted, kNoNamespace, kFailed };

    // The daemon in a mount namespace of its own, where this test's passwd
    // and group files lie over the host's: it resolves the policy's user and
    // group names when it loads the configuration, and the accounts of the
    // connecting uids later, both there. The host's accounts stay untouched.
    BusStart StartBus(std::string* problem) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            *problem = "pipe2 failed";
            return BusStart::kFailed;
        }
        std::string passwd = dir_.file("passwd"), group = dir_.file("group");
        std::string errPath = dir_.file("bus.err");
        std::vector<std::string> argv{daemonPath_,  "--config-file=" + dir_.file("system.conf"),
                                      "--nofork",   "--nopidfile",
                                      "--nosyslog", "--print-address=3"};
        std::vector<std::string> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
        std::vector<char*> args = Pointers(argv);
        std::vector<char*> envp = Pointers(env);
        pid_t pid = ::fork();
        if (pid == 0) {
            // The address goes out on descriptor 3, which must survive exec.
            if (fds[1] == 3 ? ::fcntl(3, F_SETFD, 0) != 0 : ::dup2(fds[1], 3) != 3) ::_exit(126);
            int in = ::open("/dev/null", O_RDWR);
            int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(in, 1) < 0 || ::dup2(err, 2) < 0) {
                ::_exit(126);
            }
            if (::unshare(CLONE_NEWNS) != 0) {
                ChildDies("unshare(CLONE_NEWNS) failed\n", kNoNamespaceExit);
            }
            // Private first, or the bind mounts would reach the host's namespace.
            if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
                ::mount(group.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
                ChildDies("mounting the accounts failed\n", 126);
            }
            ::execve(args[0], args.data(), envp.data());
            ChildDies("exec dbus-daemon failed\n", 127);
        }
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            *problem = "fork failed";
            return BusStart::kFailed;
        }
        bus_ = Child(pid);

        // The address, one line, once the daemon listens.
        std::string line;
        auto deadline = Clock::now() + 10s;
        while (line.find('\n') == std::string::npos) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fds[0], POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char chunk[256];
            ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n <= 0) break;
            line.append(chunk, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (line.rfind("unix:", 0) == 0 && line.find('\n') != std::string::npos) {
            address_ = line.substr(0, line.find('\n'));
            return BusStart::kStarted;
        }
        std::optional<int> code = bus_.Wait(2000ms);
        if (code == kNoNamespaceExit) return BusStart::kNoNamespace;
        *problem = test::ReadFile(errPath);
        return BusStart::kFailed;
    }

    // corvane-service as corvane, until it owns its name.
    void StartService() {
        std::vector<std::string> env = Env();
        env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address_);
        service_ = Spawn(
            kCorvane,
            {CORVANE_SERVICE_PATH, "--config", dir_.file("service.ini"), "--backend", "static"},
            env, "/dev/null", ServiceLog());
        ASSERT_TRUE(service_.started());
        auto deadline = Clock::now() + 10s;
        for (;;) {
            Result owned = Call(
                kRoot, {"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.NameHasOwner", std::string("string:") + kBusName});
            ASSERT_EQ(owned.code, 0) << owned;
            if (Values(owned) == "boolean true") return;
            // Also the pause between two questions.
            std::optional<int> ended = service_.Wait(10ms);
            ASSERT_FALSE(ended) << "corvane-service ended with " << *ended << ": "
                                << test::ReadFile(ServiceLog());
            ASSERT_LT(Clock::now(), deadline)
                << "corvane-service does not own its name: " << test::ReadFile(ServiceLog());
        }
    }

    std::string ServiceLog() const { return dir_.file("service.err"); }

    // The environment of the children; the sanitizers' options pass through.
    static std::vector<std::string> Env() {
        std::vector<std::string> env{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name))
                env.push_back(std::string(name) + "=" + value);
        }
        return env;
    }

    // dbus-send as `who`, with the reply printed; ended after 10 s at most.
    Result Call(const Account& who, const std::vector<std::string>& args) {
        std::vector<std::string> argv{sendPath_, "--bus=" + address_, "--print-reply",
                                      "--reply-timeout=5000"};
        argv.insert(argv.end(), args.begin(), args.end());
        Child client = Spawn(who, argv, Env(), dir_.file("call.out"), dir_.file("call.err"));
        Result result;
        std::optional<int> code = client.Wait(10000ms);
        result.code = code.value_or(-1);
        result.out = test::ReadFile(dir_.file("call.out"));
        result.err = code ? test::ReadFile(dir_.file("call.err")) : "dbus-send timed out";
        return result;
    }

    // A method of the service called as `who`.
    Result CallService(const Account& who, const std::string& path, const std::string& method,
                       std::vector<std::string> args = {}, const std::string& destination = "") {
        std::vector<std::string> argv{"--dest=" + (destination.empty() ? kBusName : destination),
                                      path, method};
        argv.insert(argv.end(), args.begin(), args.end());
        return Call(who, argv);
    }

    Result SetLimits(const Account& who, const std::string& mac, int64_t up, int64_t down,
                     const std::string& destination = "") {
        return CallService(
            who, kNetworkPath, "com.corvane.INetworkManager.SetGatewayLimits",
            {"string:" + mac, "int64:" + std::to_string(up), "int64:" + std::to_string(down)},
            destination);
    }

    Result PrepareLimitChange(const Account& who) {
        return CallService(who, kConfigurationPath,
                           "com.corvane.IConfigurationManager.PrepareLimitChange", {"int32:1"});
    }

    Result Initialize(const Account& who) {
        return CallService(who, kRootPath, "com.corvane.IBandwidthControlManager.Initialize",
                           {"int32:0", "int32:1", "int32:0", "string:", "string:"});
    }

    // The gateways' download figures, read as `who`: array 8 of the list.
    std::string Downloads(const Account& who) {
        Result list =
            CallService(who, kNetworkPath, "com.corvane.INetworkManager.GetNetworkInfoList");
        EXPECT_EQ(list.code, 0) << who.name << ": " << list;
        std::vector<std::string> variants = Variants(list);
        return variants.size() == 9 ? variants[7] : "no gateway list: " + Values(list);
    }

    Result RequestName(const Account& who) {
        return Call(who, {"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus.RequestName", std::string("string:") + kBusName,
                          "uint32:0"});
    }

    std::string Owner(const Account& who) {
        Result owner =
            Call(who, {"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.GetNameOwner", std::string("string:") + kBusName});
        EXPECT_EQ(owner.code, 0) << owner;
        return FirstString(owner);
    }

    // Destroyed in reverse: the service, then the bus, then the directory.
    test::TempDir dir_;
    std::string daemonPath_;
    std::string sendPath_;
    std::string address_;
    Child bus_;
    Child service_;
};

// The service's account owns the name; nobody else may take it or queue for
// it, not the monitor, not a stranger, not root.
TEST_F(BusPolicyTest, OnlyTheServiceAccountOwnsTheName) {
    const std::string owner = Owner(kMallory);
    ASSERT_EQ(owner.rfind(":", 0), 0u) << owner;
    Result uid = Call(kMallory, {"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus.GetConnectionUnixUser", "string:" + owner});
    EXPECT_EQ(Values(uid), "uint32 " + std::to_string(kCorvane.uid)) << uid;

    for (const Account* who : {&kMallory, &kSandrow, &kOperator, &kRoot}) {
        Result request = RequestName(*who);
        EXPECT_TRUE(Denied(request)) << who->name << " asked for the name: " << request;
    }
    EXPECT_EQ(Owner(kSandrow), owner);
}

// Anybody may look at the shaper and read every list, but a call that would
// change something is refused by the bus before it reaches the service.
TEST_F(BusPolicyTest, OthersReadButCannotChangeTheShaping) {
    const std::string before = Downloads(kMallory);
    EXPECT_EQ(before, "array [ int64 100000000 int64 -1 ]");

    Result introspect =
        CallService(kMallory, kNetworkPath, "org.freedesktop.DBus.Introspectable.Introspect");
    EXPECT_NE(introspect.out.find("SetGatewayLimits"), std::string::npos) << introspect;
    Result property = CallService(kMallory, kRootPath, "org.freedesktop.DBus.Properties.Get",
                                  {"string:com.corvane.ShaperStatus", "string:LeafQueues"});
    EXPECT_EQ(property.code, 0) << property;
    Result all = CallService(kMallory, kRootPath, "org.freedesktop.DBus.Properties.GetAll",
                             {"string:com.corvane.ShaperStatus"});
    EXPECT_NE(all.out.find("LeafQueues"), std::string::npos) << all;

    // The walk a reading client makes to reach the lists.
    Result init = Initialize(kMallory);
    EXPECT_EQ(Values(init), "int32 0") << init;
    Result factory =
        CallService(kMallory, kRootPath, "com.corvane.IBandwidthControlManager.GetFactoryManager");
    EXPECT_EQ(Values(factory), "int32 0 object path \"" + std::string(kFactoryPath) + "\"")
        << factory;
    for (const char* manager :
         {"GetNetworkManager", "GetRulesManager", "GetConfigurationManager"}) {
        Result path = CallService(kMallory, kFactoryPath,
                                  std::string("com.corvane.IFactoryManager.") + manager);
        EXPECT_EQ(path.code, 0) << manager << ": " << path;
    }
    Result interfaces =
        CallService(kMallory, kNetworkPath, "com.corvane.INetworkManager.GetNetworkInterfaceList");
    EXPECT_EQ(Variants(interfaces).size(), 6u) << interfaces;
    for (const char* list : {"GetProcessList", "GetDomainList"}) {
        Result rows = CallService(kMallory, kRulesPath,
                                  std::string("com.corvane.IRulesManager.") + list, {"int16:0"});
        EXPECT_EQ(Variants(rows).size(), 10u) << list << ": " << rows;
    }

    // Changes: by the name, by the service's unique name, through the
    // properties, and by the service's own account, which is no exception.
    const Result refused[] = {
        SetLimits(kMallory, kFibreMac, 1000000, 5000000),
        SetLimits(kMallory, kFibreMac, 1000000, 5000000, Owner(kMallory)),
        PrepareLimitChange(kMallory),
        CallService(kMallory, kRootPath, "org.freedesktop.DBus.Properties.Set",
                    {"string:com.corvane.ShaperStatus", "string:LeafQueues", "variant:string:x"}),
        SetLimits(kCorvane, kFibreMac, 1000000, 5000000),
    };
    for (const Result& r : refused) EXPECT_TRUE(Denied(r)) << r;

    EXPECT_EQ(Downloads(kSandrow), before);
    EXPECT_EQ(test::ReadFile(ServiceLog()).find("SetGatewayLimits"), std::string::npos)
        << "a refused call reached the service: " << test::ReadFile(ServiceLog());
}

// The monitor's account, and any member of its group, changes the limits;
// the new figures read back.
TEST_F(BusPolicyTest, TheMonitorChangesTheLimits) {
    for (const Result& r : {Initialize(kSandrow), PrepareLimitChange(kSandrow),
                            SetLimits(kSandrow, kFibreMac, 1000000, 5000000)}) {
        EXPECT_EQ(Values(r), "int32 0") << r;
    }
    EXPECT_EQ(Downloads(kMallory), "array [ int64 5000000 int64 -1 ]");
    for (const Result& r :
         {SetLimits(kOperator, kBackupMac, -1, 7000000), PrepareLimitChange(kOperator)}) {
        EXPECT_EQ(Values(r), "int32 0") << r;
    }
    EXPECT_EQ(Downloads(kSandrow), "array [ int64 5000000 int64 7000000 ]");
}

}  // namespace
