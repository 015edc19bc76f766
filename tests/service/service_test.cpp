// The real corvane-service on a private bus, driven through the program's
// D-Bus binding and interfaces: arrays, limits, faults (its tests' build),
// restarts, exits; and the static backend without a bus: its file's errors,
// the counters' growth, the limits it keeps; and the fault file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>

#include "lab/faults.h"
#include "platform/fd.h"
#include "service/service_harness.h"
#include "service/static_backend.h"
#include "shaper/bus_binding.h"
#include "support/notify_listener.h"

namespace {

using namespace std::chrono_literals;
using servicetest::PrivateBus;
using servicetest::ServiceProcess;
using Clock = std::chrono::steady_clock;
using corvane::StaticConfig;

// No metrics file in a real node exporter's directory.
const std::string kBaseConfig = "[metrics]\nfile =\n" + servicetest::kStaticConfig;

struct Bound {
    ComPtr<IBandwidthControlManager> root;
    ComPtr<IFactoryManager> factory;
    ComPtr<INetworkManager> network;
    ComPtr<IRulesManager> rules;
    ComPtr<IConfigurationManager> configuration;
};

HRESULT CodeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const ComError& e) {
        return e.Error();
    }
    return S_OK;
}

// A reply's arrays as text, each as its element type and elements: "ai[3,-1]".
template <size_t N>
std::string Render(const std::array<SafeArray, N>& arrays) {
    const char* kTypes[] = {"missing", "as", "ai", "ab", "ax", "other"};
    std::string text;
    for (const SafeArray& a : arrays) {
        const VarType type = a.type();
        text += std::string(text.empty() ? "" : " ") + kTypes[static_cast<int>(type)] + "[";
        const size_t n = type == VarType::Missing || type == VarType::Other ? 0 : a.Count(type);
        for (size_t i = 0; i < n; ++i) {
            text += i == 0 ? "" : ",";
            if (type == VarType::Bstr) text += BusWideToUtf8(a.Bstr(i));
            if (type == VarType::Long) text += std::to_string(a.Long(i));
            if (type == VarType::Bool) text += a.Bool(i) ? "1" : "0";
            if (type == VarType::LongLong) text += std::to_string(a.LongLong(i));
        }
        text += "]";
    }
    return text;
}

class ServiceTest : public servicetest::BusTest {
  protected:
    // Starts the service on the current bus with the base configuration (and
    // its build with these faults, if any), and waits until it owns its name.
    void Start(const std::string& faults = "", bool waitUntilServing = true) {
        test::WriteFile(dir_.file("service.ini"), kBaseConfig);
        std::vector<std::string> args{"--config", dir_.file("service.ini"), "--backend", "static"};
        if (!faults.empty()) {
            test::WriteFile(dir_.file("faults.ini"), faults);
            args.insert(args.end(), {"--faults", dir_.file("faults.ini")});
        }
        service_ = std::make_unique<ServiceProcess>(
            args, Err(), faults.empty() ? CORVANE_SERVICE_PATH : CORVANE_FAULTY_SERVICE_PATH);
        ASSERT_GT(service_->pid(), 0);
        ASSERT_TRUE(!waitUntilServing || servicetest::WaitUntilServing()) << test::ReadFile(Err());
    }

    void Bind(Bound* b) {
        ASSERT_EQ(BusServiceBinding().CreateInstance(&b->root), S_OK);
        ASSERT_EQ(b->root->Initialize(0, 1, 0, L"", L""), S_OK);
        ASSERT_EQ(b->root->GetFactoryManager(&b->factory), S_OK);
        ASSERT_TRUE(b->factory);
        ASSERT_EQ(b->factory->GetNetworkManager(&b->network), S_OK);
        ASSERT_EQ(b->factory->GetRulesManager(&b->rules), S_OK);
        ASSERT_EQ(b->factory->GetConfigurationManager(&b->configuration), S_OK);
        ASSERT_TRUE(b->network && b->rules && b->configuration);
    }
};

// Stands in for a pointer left over from an earlier binding.
class StaleRoot : public IBandwidthControlManager {
    HRESULT Initialize(int32_t, int32_t, int32_t, const std::wstring&,
                       const std::wstring&) override {
        return S_OK;
    }
    HRESULT GetFactoryManager(ComPtr<IFactoryManager>*) override { return S_OK; }
};

TEST_F(ServiceTest, FoundAndBoundOnlyWhileTheServiceOwnsItsName) {
    // No bus at all, then the bus without the service: unavailable either way.
    for (const std::string& address : {"unix:path=" + dir_.file("nobody.sock"), bus_->address()}) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        platform::bus::ResetForTest();
        ComPtr<IBandwidthControlManager> root = std::make_shared<StaleRoot>();
        EXPECT_FALSE(BusServiceBinding().Running()) << address;
        EXPECT_EQ(BusServiceBinding().CreateInstance(&root), RPC_S_SERVER_UNAVAILABLE_HR);
        EXPECT_FALSE(root);
        EXPECT_THROW(
            platform::bus::Call(platform::bus::kRootPath, "com.corvane.IBandwidthControlManager",
                                "GetFactoryManager", {}),
            platform::bus::Unavailable);
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_TRUE(BusServiceBinding().Running());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);

    // A second instance on the same bus exits 1; the first keeps serving.
    std::string err = dir_.file("second.err");
    ServiceProcess second({"--config", dir_.file("service.ini")}, err);
    EXPECT_EQ(second.Wait(5000ms), std::optional<int>(1));
    EXPECT_NE(test::ReadFile(err).find("corvane-service: cannot own com.corvane.NetworkService"),
              std::string::npos)
        << test::ReadFile(err);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);

    // SIGINT stops it as SIGTERM does (below): exit 0, and the name is free.
    service_->Signal(SIGINT);
    EXPECT_EQ(service_->Wait(5000ms), std::optional<int>(0));
    EXPECT_FALSE(BusServiceBinding().Running());
    EXPECT_NE(test::ReadFile(Err()).find("corvane-service: stopped by SIGINT\n"),
              std::string::npos);
}

TEST_F(ServiceTest, ReadyOnlyOnceServingWatchdogFedEvenWhileAnswersStallStopsOnSigterm) {
    // A 200 ms watchdog: pings every 100 ms.
    test::NotifyListener manager(dir_.file("notify"), 200000);
    ASSERT_TRUE(manager.ok());
    ASSERT_NO_FATAL_FAILURE(Start("[fault GetNetworkInfoList]\nstall_ms = 700\n", false));
    std::optional<std::string> first = manager.Next(5000ms);
    ASSERT_EQ(first, std::optional<std::string>("READY=1")) << test::ReadFile(Err());
    // Ready means found: the name is owned when the manager hears of it.
    EXPECT_TRUE(platform::bus::NameHasOwner());

    // One stalled call in flight must not hold up the pings.
    std::thread caller([] {
        try {
            platform::bus::Call("/com/corvane/NetworkService/NetworkManager",
                                "com.corvane.INetworkManager", "GetNetworkInfoList", {});
        } catch (const std::exception&) {
        }
    });
    std::vector<Clock::time_point> pings;
    const auto until = Clock::now() + 1000ms;
    while (Clock::now() < until) {
        std::optional<std::string> m = manager.Next(300ms);
        if (!m) break;
        EXPECT_EQ(*m, "WATCHDOG=1");
        pings.push_back(Clock::now());
    }
    caller.join();
    ASSERT_GE(pings.size(), 7u);
    EXPECT_LE(pings.size(), 13u);  // half the interval, not every turn of the loop
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_LT(pings[i] - pings[i - 1], 190ms) << "gap before ping " << i;
    }

    service_->Signal(SIGTERM);
    EXPECT_EQ(service_->Wait(5000ms), std::optional<int>(0));
    EXPECT_FALSE(BusServiceBinding().Running());
    EXPECT_NE(test::ReadFile(Err()).find("corvane-service: stopped by SIGTERM\n"),
              std::string::npos);
    const std::vector<std::string> rest = manager.Drain();
    EXPECT_NE(std::find(rest.begin(), rest.end(), "STOPPING=1"), rest.end());
}

TEST_F(ServiceTest, RepliesCarryTypedArraysAndAWrongTypeFaultSwapsOneArrayOnce) {
    ASSERT_NO_FATAL_FAILURE(
        Start("\n[fault GetNetworkInfoList]\nwrong_type = 3\ncalls = 1\n"
              "\n[fault GetNetworkInterfaceList]\nwrong_type = 6\ncalls = 1\n"
              "\n[fault GetProcessList]\nwrong_type = 8\ncalls = 1\n"
              "\n[fault GetDomainList]\nwrong_type = 1\ncalls = 1\n"));
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    NetworkInfoArrays info;
    NetworkInterfaceArrays interfaces;
    TrafficListArrays processes, domains;
    auto read = [&](size_t k) {
        EXPECT_EQ(k == 0   ? b.network->GetNetworkInfoList(&info)
                  : k == 1 ? b.network->GetNetworkInterfaceList(&interfaces)
                  : k == 2 ? b.rules->GetProcessList(-1, &processes)
                           : b.rules->GetDomainList(-1, &domains),
                  S_OK);
        return k == 0   ? Render(info)
               : k == 1 ? Render(interfaces)
                        : Render(k == 2 ? processes : domains);
    };
    // Each reply, and the one array that the fault sends once with another type.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"as[02-00-00-00-00-01,02-00-00-00-00-02] as[Glasfaser \"Süd\" \\1,Backup] ai[3,-1] "
         "ab[1,0] "
         "as[192.0.2.1,] as[Main line,] ax[20000000,-1] ax[100000000,-1] ax[1000000000,0]",
         "ai[3,-1]", "ax[3,-1]"},
        {"as[02-00-00-00-00-11] as[eth0] ai[11] ai[3] ai[5] ab[0]", "ab[0]", "ai[0]"},
        {"as[firefox] as[/usr/bin/firefox] as[Browser] ab[0] ai[11] ai[4242] ax[1000] ax[5000] "
         "ax[0] ax[0]",
         "ax[5000]", "as[5000]"},
        {"as[example.com] as[www.example.com] as[] ab[1] ai[12] ai[0] ax[42] ax[4200] ax[0] ax[0]",
         "as[example.com]", "ai[0]"},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        const auto& [reply, normal, swapped] = cases[k];
        std::string faulted = reply;
        faulted.replace(faulted.find(normal), normal.size(), swapped);
        EXPECT_EQ(read(k), faulted);
        EXPECT_EQ(read(k), reply);
    }
}

TEST_F(ServiceTest, InjectedFaultsAnswerOnceWithTheirCodeOrAnEmptyInterface) {
    Bound b;
    NetworkInfoArrays info;
    NetworkInterfaceArrays interfaces;
    TrafficListArrays lists;
    const std::pair<std::string, std::function<HRESULT()>> rows[] = {
        {"Initialize", [&] { return b.root->Initialize(0, 1, 0, L"", L""); }},
        {"GetFactoryManager", [&] { return b.root->GetFactoryManager(&b.factory); }},
        {"GetNetworkManager", [&] { return b.factory->GetNetworkManager(&b.network); }},
        {"GetRulesManager", [&] { return b.factory->GetRulesManager(&b.rules); }},
        {"GetConfigurationManager",
         [&] { return b.factory->GetConfigurationManager(&b.configuration); }},
        {"GetNetworkInfoList", [&] { return b.network->GetNetworkInfoList(&info); }},
        {"GetNetworkInterfaceList",
         [&] { return b.network->GetNetworkInterfaceList(&interfaces); }},
        {"SetGatewayLimits",
         [&] { return b.network->SetGatewayLimits(L"02-00-00-00-00-01", 1, 2); }},
        {"GetProcessList", [&] { return b.rules->GetProcessList(-1, &lists); }},
        {"GetDomainList", [&] { return b.rules->GetDomainList(-1, &lists); }},
    };
    // Each method fails with a code of its own, but GetRulesManager: a null
    // interface path is S_OK and an empty pointer. A success code other than
    // S_OK is passed through, not raised.
    const auto code = [](size_t row) { return static_cast<HRESULT>(0x8004A001 + row); };
    std::string faults =
        "[fault GetRulesManager]\nnull_path = true\ncalls = 1\n"
        "[fault PrepareLimitChange]\nhresult = 1\ncalls = 1\n";
    for (size_t i = 0; i < std::size(rows); ++i) {
        if (rows[i].first == "GetRulesManager") continue;
        faults += "[fault " + rows[i].first +
                  "]\nhresult = " + std::to_string(static_cast<uint32_t>(code(i))) +
                  "\ncalls = 1\n";
    }
    ASSERT_NO_FATAL_FAILURE(Start(faults));
    ASSERT_EQ(BusServiceBinding().CreateInstance(&b.root), S_OK);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const auto& [method, call] = rows[i];
        const bool nullPath = method == "GetRulesManager";
        EXPECT_EQ(CodeOf([&] { call(); }), nullPath ? S_OK : code(i)) << method;
        EXPECT_TRUE(!nullPath || !b.rules);
        HRESULT second = E_FAIL;  // the fault was for one call only
        EXPECT_EQ(CodeOf([&] { second = call(); }), S_OK) << method;
        ASSERT_EQ(second, S_OK) << method;
    }
    ASSERT_TRUE(b.rules);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), 1);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);
}

TEST_F(ServiceTest, StalledKilledOrCutOffServiceIsUnavailableAndTheSameObjectsWorkAfterARestart) {
    ASSERT_NO_FATAL_FAILURE(Start("\n[fault GetDomainList]\nstall_ms = 6000\ncalls = 2\n"));
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    TrafficListArrays lists;
    NetworkInfoArrays info;
    auto start = Clock::now();
    EXPECT_EQ(CodeOf([&] { b.rules->GetDomainList(-1, &lists); }), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_GE(Clock::now() - start, 4900ms);
    EXPECT_LE(Clock::now() - start, 5700ms);
    // The late answer does not get in the way of the next call.
    start = Clock::now();
    EXPECT_EQ(b.network->GetNetworkInfoList(&info), S_OK);
    EXPECT_LE(Clock::now() - start, 1000ms);

    // Killed while it holds a call: the call fails at once, not after 5 s.
    std::thread killer([this] {
        for (auto deadline = Clock::now() + 5000ms; Clock::now() < deadline;) {
            std::string err = test::ReadFile(Err());
            if (err.find("answering in") != err.rfind("answering in")) break;  // the second one
            std::this_thread::sleep_for(10ms);
        }
        service_->Signal(SIGKILL);
    });
    start = Clock::now();
    EXPECT_EQ(CodeOf([&] { b.rules->GetDomainList(-1, &lists); }), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_LE(Clock::now() - start, 2000ms);
    killer.join();
    EXPECT_TRUE(service_->Wait(5000ms).has_value());

    // Gone: every object answers unavailable, quickly.
    EXPECT_FALSE(BusServiceBinding().Running());
    start = Clock::now();
    EXPECT_EQ(CodeOf([&] { b.network->GetNetworkInfoList(&info); }), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_EQ(CodeOf([&] { b.configuration->PrepareLimitChange(-1); }),
              RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_LE(Clock::now() - start, 1000ms);

    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(b.network->GetNetworkInfoList(&info), S_OK);
    EXPECT_EQ(info[2].Long(0), 3);
    EXPECT_EQ(b.rules->GetDomainList(-1, &lists), S_OK);
    EXPECT_EQ(lists[0].Count(VarType::Bstr), 1u);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);

    // The bus goes away under a bound program.
    bus_->Kill();
    EXPECT_EQ(service_->Wait(5000ms), std::optional<int>(1));  // the service lost its bus
    EXPECT_EQ(CodeOf([&] { b.network->GetNetworkInfoList(&info); }), RPC_S_SERVER_UNAVAILABLE_HR);

    // A new bus and service. Nothing but that failed call has touched the
    // connection since: the next call must make a new one by itself.
    bus_ = std::make_unique<PrivateBus>(dir_, "bus2");
    ASSERT_TRUE(bus_->ok());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
    service_ = std::make_unique<ServiceProcess>(
        std::vector<std::string>{"--config", dir_.file("service.ini")}, Err());
    auto deadline = Clock::now() + 5000ms;
    while (Clock::now() < deadline && test::ReadFile(Err()).find("serving") == std::string::npos) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(b.network->GetNetworkInfoList(&info), S_OK);
    EXPECT_EQ(info[0].Count(VarType::Bstr), 2u);
}

TEST(ServiceCommandLine, WrongConfigurationBackendOrListenAddressExitsTwoWithOneLine) {
    test::TempDir dir;
    const std::string bad = dir.file("bad.ini"), missing = dir.file("missing.ini");
    const std::string kernel = dir.file("kernel.ini"), busy = dir.file("busy.ini");
    test::WriteFile(bad, "; comment\n\n[gateway a]\nmac = 1\nid = 1\nupload_bps = 1\n");
    test::WriteFile(kernel,
                    "[gateway g]\ninterface = wan0\nmac = m\nid = 1\ndownload_bps = 1\n"
                    "upload_bps = 1\n[metrics]\nlisten = 10.0.0.1:9464\n");
    // A port that is taken for as long as the test runs.
    platform::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof sa;
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&sa), length), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&sa), &length), 0);
    const std::string port = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    test::WriteFile(busy,
                    "[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 1\n"
                    "[metrics]\nfile =\nlisten = " +
                        port + "\n");
    // The arguments, and all the service says.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--config", bad}, bad + ":3: missing key 'download_bps' in [gateway a]"},
        {{"--config", missing}, missing + ": cannot open: No such file or directory"},
        {{"--config", bad, "--backend", "nonesuch"},
         "unknown backend 'nonesuch' (known: static, kernel)"},
        {{"--config", bad, "--backend", "sim"}, "unknown backend 'sim' (known: static, kernel)"},
        {{"--config", kernel, "--backend", "kernel"},
         kernel + ":8: '10.0.0.1:9464' is not a loopback address (127.0.0.0/8 or [::1]); the "
                  "endpoint has no authentication and stays off the network (key 'listen' in "
                  "[metrics])"},
        // The static backend tells its picture before the endpoint opens.
        {{"--config", busy},
         "static backend: 1 gateways, 0 interfaces, 0 processes, 0 domains\n"
         "corvane-service: metrics endpoint: cannot listen on " +
             port + ": Address already in use"},
    };
    for (const auto& [args, text] : cases) {
        ServiceProcess service(args, dir.file("err"));
        EXPECT_EQ(service.Wait(5000ms), std::optional<int>(2)) << text;
        EXPECT_EQ(test::ReadFile(dir.file("err")), "corvane-service: " + text + "\n");
    }

    // --help documents the metrics' keys.
    FILE* help = ::popen(CORVANE_SERVICE_PATH " --help", "r");
    ASSERT_NE(help, nullptr);
    std::string usage(8192, '\0');
    usage.resize(std::fread(usage.data(), 1, usage.size(), help));
    EXPECT_EQ(::pclose(help), 0);
    for (const char* key : {"[metrics]", "file = PATH", "listen = ADDRESS",
                            "/var/lib/prometheus/node-exporter/corvane.prom"}) {
        EXPECT_NE(usage.find(key), std::string::npos) << key << " in:\n" << usage;
    }
}

TEST(BusText, Utf8AndWideTextConvertBothWaysWithReplacementForInvalidInput) {
    const std::pair<std::string, std::wstring> valid[] = {
        {"", L""},
        {"S\xC3\xBC\x64", L"S\u00fcd"},
        {"\xE2\x82\xAC", L"\u20ac"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
    };
    for (const auto& [utf8, wide] : valid) {
        EXPECT_EQ(BusUtf8ToWide(utf8), wide) << utf8;
        EXPECT_EQ(BusWideToUtf8(wide), utf8) << utf8;
    }
    const std::pair<std::string, std::wstring> invalid[] = {
        {"a\x80\x62", L"a\ufffdb"},       // stray continuation byte
        {"\xC3", L"\ufffd"},              // cut short at the end
        {"\xE2\x82\x78", L"\ufffdx"},     // cut short before a plain byte
        {"\xC0\xAF", L"\ufffd"},          // overlong '/'
        {"\xED\xA0\x80", L"\ufffd"},      // a surrogate
        {"\xF4\x90\x80\x80", L"\ufffd"},  // beyond U+10FFFF
        {"\xFF\x41", L"\ufffdA"},
    };
    for (const auto& [utf8, wide] : invalid) EXPECT_EQ(BusUtf8ToWide(utf8), wide) << utf8;
    EXPECT_EQ(BusWideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

// ---------------------------------------------------------------------------
// The static backend on its own.

constexpr const char* kGateway = "[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 2\n";

TEST(StaticConfig, RefusesMalformedFilesNamingLineAndProblem) {
    struct Case {
        std::string text;
        std::string error;  // after "f.ini:"
    };
    const std::string longLine = "; " + std::string(170, 'x') + "\n";
    const Case cases[] = {
        {"mac = 1\n", "1: key 'mac' outside a section"},
        {"[gateway g]\nmac\n", "2: expected [section] or key = value"},
        {"[gateway]\n", "1: section [gateway] needs a name, as in [gateway NAME]"},
        {"[]\n", "1: unknown section [] (expected gateway, interface, process, domain or metrics)"},
        {"[gateway g]\nmac = a\nmac = b\n", "3: duplicate key 'mac' in [gateway g]"},
        {"[gateway g]\nid = 1\n", "1: missing key 'mac' in [gateway g]"},
        {"[gateway g]\nmac =\nid = 1\nupload_bps = 1\ndownload_bps = 1\n",
         "2: empty value for key 'mac' in [gateway g]"},
        {std::string(kGateway) + "colour = red\n", "6: unknown key 'colour' in [gateway g]"},
        {"[gateway g]\nmac = m\nid = 0x80000000\nupload_bps = 1\ndownload_bps = 1\n",
         "3: id = 0x80000000 is out of range (-2147483648 to 2147483647) in [gateway g]"},
        {"[gateway g]\nmac = m\nid = 1\nupload_bps = -2\ndownload_bps = 1\n",
         "4: upload_bps = -2 is out of range (-1 to 9223372036854775807) in [gateway g]"},
        {"[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 99999999999999999999\n",
         "5: '99999999999999999999' is not an integer (key 'download_bps' in [gateway g])"},
        {"[gateway g]\nmac = m\nid = 1 2\nupload_bps = 1\ndownload_bps = 1\n",
         "3: '1 2' is not an integer (key 'id' in [gateway g])"},
        {std::string(kGateway) +
             "\n[gateway h]\nmac = m\nid = 2\nupload_bps = 1\ndownload_bps = 2\n",
         "7: gateway MAC 'm' is already used by [gateway g]"},
        {"[domain d]\ndevice_id = 1\nprocess_id = 3\n",
         "3: unknown key 'process_id' in [domain d]"},
        {"[process p]\ndevice_id = 1\ndownload_rate_bps = 1000000000000001\n",
         "3: download_rate_bps = 1000000000000001 is out of range (0 to 1000000000000000) in "
         "[process p]"},
        // The shipped service takes no faults: that is its tests' build.
        {"[fault GetDomainList]\nstall_ms = 1\n",
         "1: unknown section [fault GetDomainList] (expected gateway, interface, process, domain "
         "or metrics)"},
        {"[gateway g]\n" + longLine, "2: line longer than 160 characters"},
        {std::string("[gateway g]\nmac = a\0b\n", 22), "2: NUL byte in the line"},
    };
    for (const Case& c : cases) {
        StaticConfig config;
        std::string error;
        EXPECT_FALSE(corvane::ParseStaticConfig(c.text, "f.ini", &config, &error)) << c.text;
        EXPECT_EQ(error, "f.ini:" + c.error) << c.text;
        EXPECT_TRUE(config.gateways.empty());
    }
}

TEST(StaticConfig, ReadsEverySectionKindWithDefaultsAndHexNumbers) {
    const std::string text =
        "\xEF\xBB\xBF; a byte-order mark and CR LF line ends are fine\r\n"
        "[gateway Main line]\r\nmac = 02-00-00-00-00-01\r\nid = -3\r\n"
        "upload_bps = -1\r\ndownload_bps = 0x5F5E100\r\n"
        "[interface eth0]\nmac = 02-00-00-00-00-11\ndevice_id = 11\ngateway_id = -3\n"
        "[process a b]\ndevice_id = 11\nprocess_id = 9\nactive = off\n"
        "download_bits = 10\ndownload_rate_bps = 8\n"
        "[domain example.com]\ndevice_id = 12\n";
    StaticConfig c;
    std::string error;
    ASSERT_TRUE(corvane::ParseStaticConfig(text, "f.ini", &c, &error)) << error;
    ASSERT_EQ(c.gateways.size() + c.interfaces.size() + c.processes.size() + c.domains.size(), 4u);
    const corvane::Gateway& g = c.gateways[0];
    EXPECT_EQ(std::tie(g.name, g.mac, g.id, g.uploadBps, g.downloadBps, g.connected),
              std::make_tuple("Main line", "02-00-00-00-00-01", -3, -1, 100000000, true));
    EXPECT_EQ(std::tie(c.interfaces[0].gatewayId, c.interfaces[0].up), std::make_tuple(-3, true));
    const corvane::TrafficEntry& p = c.processes[0].entry;
    EXPECT_EQ(
        std::tie(p.name, p.processId, p.active, p.downloadBits, c.processes[0].downloadRateBps),
        std::make_tuple("a b", 9, false, 10, 8));
    EXPECT_EQ(c.domains[0].entry.deviceId, 12);
}

TEST(StaticBackend, CountersGrowByRateTimesElapsedAndSaturateAndTheLastLimitsAreKept) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    // Base, rate in bps, elapsed time, and the counter then.
    const std::tuple<int64_t, int64_t, std::chrono::nanoseconds, int64_t> cases[] = {
        {100, 0, 10s, 100},
        {100, 8000000, 1500ms, 12000100},
        {0, 3, 999999999ns, 2},  // 2.999999997 bits, truncated
        {0, 1000000000000000, 1ns, 1000000},
        {0, 1000000000000000, 9223372ms, 9223372000000000000},
        {0, 1000000000000000, 9223373s, kMax},  // would pass 2^63
        {kMax - 5, 10, 1s, kMax},
        {kMax - 5, 10, 999999999ns, kMax},  // the fraction alone passes the top
        {7, -5, 1s, 7},                     // a negative rate never shrinks a counter
    };
    for (const auto& [base, rate, elapsed, expected] : cases) {
        EXPECT_EQ(corvane::GrownCounter(base, rate, elapsed), expected)
            << base << " + " << rate << " bps for " << elapsed.count() << " ns";
    }

    StaticConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseStaticConfig(std::string(kGateway) +
                                               "[process p]\ndevice_id = 1\nupload_bits = 5\n"
                                               "download_bits = 10\ndownload_rate_bps = 1000\n"
                                               "[domain d]\ndevice_id = 2\nupload_rate_bps = 4\n",
                                           "f.ini", &config, &error))
        << error;
    std::chrono::nanoseconds now = 0ns;
    corvane::StaticBackend backend(config, [&now] { return now; });
    std::vector<corvane::TrafficEntry> list;
    now = 2500ms;
    ASSERT_EQ(backend.GetTraffic(corvane::TrafficKind::Processes, &list), corvane::kOk);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].uploadBits, 5);
    EXPECT_EQ(list[0].downloadBits, 2510);
    ASSERT_EQ(backend.GetTraffic(corvane::TrafficKind::Domains, &list), corvane::kOk);
    EXPECT_EQ(list[0].uploadBits, 10);

    // The last limits are kept: MAC, upload and download limits, the answer,
    // and the download reported then.
    const std::tuple<const char*, int64_t, int64_t, int32_t, int64_t> limits[] = {
        {"m", 5, 7, corvane::kOk, 7},          {"M", 5, 8, corvane::kInvalidArg, 7},
        {"m", -2, 8, corvane::kInvalidArg, 7}, {"m", 1, -2, corvane::kInvalidArg, 7},
        {"m", 1, -1, corvane::kOk, -1},        {"m", 1, 9, corvane::kOk, 9},
    };
    for (const auto& [mac, up, down, hr, reported] : limits) {
        EXPECT_EQ(backend.SetGatewayLimits(mac, up, down), hr) << mac << down;
        std::vector<corvane::Gateway> gateways;
        ASSERT_EQ(backend.GetGateways(&gateways), corvane::kOk);
        EXPECT_EQ(gateways[0].downloadBps, reported);
        EXPECT_EQ(gateways[0].uploadBps, 1);  // the upload figure stays the configured one
    }
}

TEST(FaultFile, ReadsEachRuleNamesTheLineOfAProblemAndCountsLimitedFaultsDown) {
    const std::pair<std::string, std::string> bad[] = {
        {"[fault Frobnicate]\nhresult = 1\n",
         "1: unknown method 'Frobnicate' in [fault Frobnicate]"},
        {"[gateway g]\nmac = m\n", "1: unknown section [gateway g] (expected fault)"},
        {"[fault Initialize]\ncalls = 2\n",
         "1: [fault Initialize] sets none of hresult, wrong_type, null_path, stall_ms"},
        {"[fault Initialize]\nnull_path = true\n", "1: null_path: Initialize returns no interface"},
        {"[fault SetGatewayLimits]\nwrong_type = 1\n",
         "1: wrong_type: SetGatewayLimits returns no arrays"},
        {"[fault GetNetworkInfoList]\nwrong_type = 10\n",
         "2: wrong_type = 10 is out of range (1 to 9) in [fault GetNetworkInfoList]"},
        {"[fault GetDomainList]\nstall_ms = 1\n[fault GetDomainList]\nstall_ms = 2\n",
         "3: a second [fault GetDomainList]"},
        {"[fault GetDomainList]\nhresult = 0x100000000\n",
         "2: hresult = 0x100000000 is out of range (-2147483648 to 4294967295) in "
         "[fault GetDomainList]"},
    };
    for (const auto& [text, expected] : bad) {
        lab::FaultRules rules;
        std::string error;
        EXPECT_FALSE(lab::ParseFaults(text, "f.ini", &rules, &error)) << text;
        EXPECT_EQ(error, "f.ini:" + expected) << text;
        EXPECT_TRUE(rules.empty());
    }

    lab::FaultRules rules;
    std::string error;
    ASSERT_TRUE(
        lab::ParseFaults("[fault GetProcessList]\nhresult = 0x80004005\nwrong_type = 2\n"
                         "calls = 2\n[fault GetRulesManager]\nnull_path = yes\n"
                         "stall_ms = 6000\n",
                         "f.ini", &rules, &error))
        << error;
    lab::FaultPlan plan(std::move(rules));
    for (int call = 0; call < 3; ++call) {
        const corvane::Fault list = plan.NextFault(corvane::Method::GetProcessList);
        const corvane::Fault manager = plan.NextFault(corvane::Method::GetRulesManager);
        EXPECT_EQ(list.hresult, call < 2 ? std::optional<int32_t>(static_cast<int32_t>(0x80004005))
                                         : std::nullopt);
        EXPECT_EQ(list.wrongTypeArray, call < 2 ? 2 : 0);
        EXPECT_EQ(std::tie(manager.nullPath, manager.stall), std::make_tuple(true, 6000ms));
        EXPECT_EQ(plan.NextFault(corvane::Method::GetDomainList).stall, 0ms);
    }
}

}  // namespace
