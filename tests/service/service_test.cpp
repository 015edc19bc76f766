// The real corvane-service on a private bus, driven through the program's
// D-Bus binding: arrays, limits, faults (its tests' build), restarts, exits;
// and the static backend without a bus: its file, counters and limits.
#include <gtest/gtest.h>

#include <functional>

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
};

TEST_F(ServiceTest, FaultsAnswerOnceWithTheirCodeAnEmptyInterfaceOrOneArrayOfAnotherType) {
    Bound b;
    const std::pair<std::string, std::function<HRESULT()>> rows[] = {
        {"Initialize", [&] { return b.root->Initialize(0, 1, 0, L"", L""); }},
        {"GetFactoryManager", [&] { return b.root->GetFactoryManager(&b.factory); }},
        {"GetNetworkManager", [&] { return b.factory->GetNetworkManager(&b.network); }},
        {"GetRulesManager", [&] { return b.factory->GetRulesManager(&b.rules); }},
        {"GetConfigurationManager",
         [&] { return b.factory->GetConfigurationManager(&b.configuration); }},
        {"SetGatewayLimits",
         [&] { return b.network->SetGatewayLimits(L"02-00-00-00-00-01", 1, 2); }},
    };
    // Each method fails with a code of its own, but GetRulesManager: a null
    // interface path is S_OK and an empty pointer. A success code other than
    // S_OK is passed through, not raised. Each list sends one array once with
    // another type.
    const auto code = [](size_t row) { return static_cast<HRESULT>(0x8004A001 + row); };
    std::string faults =
        "[fault GetRulesManager]\nnull_path = true\ncalls = 1\n"
        "[fault PrepareLimitChange]\nhresult = 1\ncalls = 1\n"
        "[fault GetNetworkInfoList]\nwrong_type = 3\ncalls = 1\n"
        "[fault GetNetworkInterfaceList]\nwrong_type = 6\ncalls = 1\n"
        "[fault GetProcessList]\nwrong_type = 8\ncalls = 1\n"
        "[fault GetDomainList]\nwrong_type = 1\ncalls = 1\n";
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
    // Each reply (the limits as set above), and the array the fault swaps.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"as[02-00-00-00-00-01,02-00-00-00-00-02] as[Glasfaser \"Süd\" \\1,Backup] ai[3,-1] "
         "ab[1,0] as[192.0.2.1,] as[Main line,] ax[20000000,-1] ax[2,-1] ax[1000000000,0]",
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

TEST_F(ServiceTest, WatchdogFedWhileACallStallsAndTheObjectsOutliveKillsRestartsAndTheBus) {
    // No bus at all, then the bus without the service: unavailable either way.
    for (const std::string& address : {"unix:path=" + dir_.file("nobody.sock"), bus_->address()}) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        platform::bus::ResetForTest();
        ComPtr<IBandwidthControlManager> root;
        EXPECT_FALSE(BusServiceBinding().Running()) << address;
        EXPECT_EQ(BusServiceBinding().CreateInstance(&root), RPC_S_SERVER_UNAVAILABLE_HR);
    }
    test::NotifyListener manager(dir_.file("notify"), 200000);  // pings every 100 ms
    ASSERT_TRUE(manager.ok());
    ASSERT_NO_FATAL_FAILURE(Start("[fault GetDomainList]\nstall_ms = 6000\ncalls = 2\n", false));
    ASSERT_EQ(manager.Next(5000ms), std::optional<std::string>("READY=1")) << test::ReadFile(Err());
    EXPECT_TRUE(platform::bus::NameHasOwner()) << "ready before it could be found";
    Bound b;
    ASSERT_EQ(BusServiceBinding().CreateInstance(&b.root), S_OK);
    ASSERT_EQ(b.root->Initialize(0, 1, 0, L"", L""), S_OK);
    ASSERT_EQ(b.root->GetFactoryManager(&b.factory), S_OK);
    ASSERT_EQ(b.factory->GetNetworkManager(&b.network), S_OK);
    ASSERT_EQ(b.factory->GetRulesManager(&b.rules), S_OK);
    ASSERT_EQ(b.factory->GetConfigurationManager(&b.configuration), S_OK);
    // A second instance on the same bus exits 1; the first keeps serving.
    ServiceProcess second({"--config", dir_.file("service.ini")}, dir_.file("second.err"));
    EXPECT_EQ(second.Wait(5000ms), std::optional<int>(1));
    EXPECT_TRUE(BusServiceBinding().Running());

    // A stalled call times out after 5 s; the pings go on meanwhile, at half
    // the interval, not every turn of the loop.
    std::vector<Clock::time_point> pings;
    manager.Drain();  // those sent so far came without a stalled call
    std::thread listener([&] {
        for (auto until = Clock::now() + 1000ms; Clock::now() < until;) {
            if (manager.Next(300ms) != std::optional<std::string>("WATCHDOG=1")) break;
            pings.push_back(Clock::now());
        }
    });
    TrafficListArrays lists;
    NetworkInfoArrays info;
    auto start = Clock::now();
    EXPECT_EQ(CodeOf([&] { b.rules->GetDomainList(-1, &lists); }), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_GE(Clock::now() - start, 4900ms);
    EXPECT_LE(Clock::now() - start, 5700ms);
    listener.join();
    ASSERT_GE(pings.size(), 7u);
    EXPECT_LE(pings.size(), 13u);
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_LT(pings[i] - pings[i - 1], 190ms) << "gap before ping " << i;
    }
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
    EXPECT_EQ(b.rules->GetDomainList(-1, &lists), S_OK);

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

    // SIGTERM: exit 0, the name free, and the manager told.
    service_->Signal(SIGTERM);
    EXPECT_EQ(service_->Wait(5000ms), std::optional<int>(0));
    EXPECT_FALSE(BusServiceBinding().Running());
    EXPECT_NE(test::ReadFile(Err()).find("corvane-service: stopped by SIGTERM\n"),
              std::string::npos);
    const std::vector<std::string> rest = manager.Drain();
    EXPECT_NE(std::find(rest.begin(), rest.end(), "STOPPING=1"), rest.end());
}

// ---------------------------------------------------------------------------
// The static backend on its own.

constexpr const char* kGateway = "[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 2\n";

TEST(StaticBackend, ReadsOrRefusesItsFileCountersGrowByRateAndTheLastLimitsAreKept) {
    // Refused files: the error after "f.ini:".
    const std::pair<std::string, std::string> refused[] = {
        {"[gateway g]\nid = 1\n", "1: missing key 'mac' in [gateway g]"},
        {std::string(kGateway) +
             "\n[gateway h]\nmac = m\nid = 2\nupload_bps = 1\ndownload_bps = 2\n",
         "7: gateway MAC 'm' is already used by [gateway g]"},
        // The shipped service takes no faults: that is its tests' build.
        {"[fault GetDomainList]\nstall_ms = 1\n",
         "1: unknown section [fault GetDomainList] (expected gateway, interface, process, domain "
         "or metrics)"},
    };
    for (const auto& [text, problem] : refused) {
        StaticConfig config;
        std::string error;
        EXPECT_FALSE(corvane::ParseStaticConfig(text, "f.ini", &config, &error)) << text;
        EXPECT_EQ(error, "f.ini:" + problem) << text;
        EXPECT_TRUE(config.gateways.empty());
    }
    const std::string text =
        "\xEF\xBB\xBF; a byte-order mark and CR LF line ends are fine\r\n"
        "[gateway Main line]\r\nmac = m\r\nid = -3\r\nupload_bps = 1\r\ndownload_bps = "
        "0x5F5E100\r\n"
        "[interface eth0]\nmac = 02-00-00-00-00-11\ndevice_id = 11\ngateway_id = -3\n"
        "[process a b]\ndevice_id = 11\nprocess_id = 9\nactive = off\nupload_bits = 5\n"
        "download_bits = 10\ndownload_rate_bps = 1000\n"
        "[domain example.com]\ndevice_id = 12\nupload_rate_bps = 4\n";
    StaticConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseStaticConfig(text, "f.ini", &config, &error)) << error;
    ASSERT_EQ(config.gateways.size() + config.interfaces.size() + config.processes.size() +
                  config.domains.size(),
              4u);
    const corvane::Gateway& g = config.gateways[0];
    EXPECT_EQ(std::tie(g.name, g.id, g.downloadBps, g.connected),
              std::make_tuple("Main line", -3, 100000000, true));
    EXPECT_EQ(std::tie(config.interfaces[0].gatewayId, config.interfaces[0].up),
              std::make_tuple(-3, true));
    const corvane::TrafficEntry& p = config.processes[0].entry;
    EXPECT_EQ(std::tie(p.name, p.processId, p.active), std::make_tuple("a b", 9, false));
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

}  // namespace
