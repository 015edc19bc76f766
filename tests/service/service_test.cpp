// The real corvane-service on a private bus, driven through the program's
// D-Bus binding and interfaces: arrays, limits, counters, faults, restarts.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "service/service_harness.h"
#include "shaper/bus_binding.h"

namespace {

using namespace std::chrono_literals;
using servicetest::PrivateBus;
using servicetest::ServiceProcess;
using Clock = std::chrono::steady_clock;

constexpr const char* kBaseConfig = R"ini(
[gateway Glasfaser Süd]
mac = 02-00-00-00-00-01
id = 3
upload_bps = 20000000
download_bps = 100000000
address = 192.0.2.1
description = Main line
link_speed_bps = 1000000000

[gateway Backup]
mac = 02-00-00-00-00-02
id = -1
upload_bps = -1
download_bps = -1
connected = false

[interface eth0]
mac = 02-00-00-00-00-11
device_id = 11
gateway_id = 3
flags = 5

[interface wwan0]
mac = 02-00-00-00-00-12
device_id = 12
gateway_id = -1
up = false

[process firefox]
device_id = 11
process_id = 4242
path = /usr/bin/firefox
description = Browser
upload_bits = 1000
download_bits = 5000
download_rate_bps = 80000000

[process idle]
device_id = 12
process_id = 7
active = false
download_bits = 123456789

[domain example.com]
device_id = 11
path = www.example.com
upload_bits = 42
download_bits = 4200
)ini";

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

class ServiceTest : public ::testing::Test {
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

    std::string WriteConfig(const std::string& name, const std::string& text) {
        std::string path = dir_.file(name);
        test::WriteFile(path, text);
        return path;
    }

    // Starts the service on the current bus with the base configuration plus
    // `extra`, and waits until it owns its name.
    void Start(const std::string& extra = "", const std::string& name = "service.ini") {
        std::string config = WriteConfig(name, std::string(kBaseConfig) + extra);
        service_ = std::make_unique<ServiceProcess>(
            std::vector<std::string>{"--config", config, "--backend", "static"}, StderrPath());
        ASSERT_GT(service_->pid(), 0);
        ASSERT_TRUE(servicetest::WaitUntilServing()) << test::ReadFile(StderrPath());
    }

    std::string StderrPath() const { return dir_.file("service.err"); }

    void Bind(Bound* b) {
        ASSERT_EQ(BusServiceBinding().CreateInstance(&b->root), S_OK);
        ASSERT_TRUE(b->root);
        ASSERT_EQ(b->root->Initialize(0, 1, 0, L"", L""), S_OK);
        ASSERT_EQ(b->root->GetFactoryManager(&b->factory), S_OK);
        ASSERT_TRUE(b->factory);
        ASSERT_EQ(b->factory->GetNetworkManager(&b->network), S_OK);
        ASSERT_EQ(b->factory->GetRulesManager(&b->rules), S_OK);
        ASSERT_EQ(b->factory->GetConfigurationManager(&b->configuration), S_OK);
        ASSERT_TRUE(b->network && b->rules && b->configuration);
    }

    test::TempDir dir_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceProcess> service_;
};

// Stands in for a pointer left over from an earlier binding.
class StaleRoot : public IBandwidthControlManager {
  public:
    HRESULT Initialize(int32_t, int32_t, int32_t, const std::wstring&,
                       const std::wstring&) override {
        return S_OK;
    }
    HRESULT GetFactoryManager(ComPtr<IFactoryManager>*) override { return S_OK; }
};

TEST_F(ServiceTest, FoundAndBoundOnlyWhileTheServiceOwnsItsName) {
    ComPtr<IBandwidthControlManager> root = std::make_shared<StaleRoot>();
    EXPECT_FALSE(BusServiceBinding().Running());
    EXPECT_EQ(BusServiceBinding().CreateInstance(&root), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_FALSE(root);

    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_TRUE(BusServiceBinding().Running());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);
}

TEST_F(ServiceTest, StopsWithExitZeroAndReleasesItsNameOnSigtermAndSigint) {
    struct Case {
        int signo;
        const char* line;
    };
    for (const Case& c : {Case{SIGTERM, "corvane-service: stopped by SIGTERM\n"},
                          Case{SIGINT, "corvane-service: stopped by SIGINT\n"}}) {
        ASSERT_NO_FATAL_FAILURE(Start());
        service_->Signal(c.signo);
        EXPECT_EQ(service_->Wait(5000ms), std::optional<int>(0)) << c.line;
        EXPECT_FALSE(BusServiceBinding().Running()) << c.line;
        std::string err = test::ReadFile(StderrPath());
        EXPECT_NE(err.find(c.line), std::string::npos) << err;
    }
}

TEST_F(ServiceTest, SecondInstanceOnTheSameBusExitsOneAndTheFirstKeepsServing) {
    ASSERT_NO_FATAL_FAILURE(Start());
    std::string err = dir_.file("second.err");
    ServiceProcess second({"--config", dir_.file("service.ini")}, err);
    EXPECT_EQ(second.Wait(5000ms), std::optional<int>(1));
    EXPECT_NE(test::ReadFile(err).find("corvane-service: cannot own com.corvane.NetworkService"),
              std::string::npos)
        << test::ReadFile(err);
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
}

TEST_F(ServiceTest, NetworkInfoListCarriesTheGatewaysInNineTypedArrays) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    NetworkInfoArrays a;
    ASSERT_EQ(b.network->GetNetworkInfoList(&a), S_OK);
    const VarType types[9] = {VarType::Bstr,     VarType::Bstr,     VarType::Long,
                              VarType::Bool,     VarType::Bstr,     VarType::Bstr,
                              VarType::LongLong, VarType::LongLong, VarType::LongLong};
    for (size_t k = 0; k < 9; ++k) {
        EXPECT_EQ(a[k].type(), types[k]) << "array " << k + 1;
        EXPECT_EQ(a[k].Count(types[k]), 2u) << "array " << k + 1;
    }
    EXPECT_EQ(a[0].Bstr(0), L"02-00-00-00-00-01");
    EXPECT_EQ(a[0].Bstr(1), L"02-00-00-00-00-02");
    EXPECT_EQ(a[1].Bstr(0), L"Glasfaser S\u00fcd");  // UTF-8 on the bus, one wide character
    EXPECT_EQ(a[2].Long(0), 3);
    EXPECT_EQ(a[2].Long(1), -1);
    EXPECT_TRUE(a[3].Bool(0));
    EXPECT_FALSE(a[3].Bool(1));
    EXPECT_EQ(a[4].Bstr(0), L"192.0.2.1");
    EXPECT_EQ(a[5].Bstr(0), L"Main line");
    EXPECT_EQ(a[6].LongLong(0), 20000000);
    EXPECT_EQ(a[6].LongLong(1), -1);
    EXPECT_EQ(a[7].LongLong(0), 100000000);
    EXPECT_EQ(a[7].LongLong(1), -1);
    EXPECT_EQ(a[8].LongLong(0), 1000000000);
    EXPECT_EQ(CodeOf([&] { a[2].Long(2); }), E_INVALIDARG);  // beyond the bounds
}

TEST_F(ServiceTest, NetworkInterfaceListCarriesTheInterfacesInSixTypedArrays) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    NetworkInterfaceArrays a;
    ASSERT_EQ(b.network->GetNetworkInterfaceList(&a), S_OK);
    EXPECT_EQ(a[0].Count(VarType::Bstr), 2u);
    EXPECT_EQ(a[0].Bstr(1), L"02-00-00-00-00-12");
    EXPECT_EQ(a[1].Bstr(0), L"eth0");
    EXPECT_EQ(a[2].Long(0), 11);
    EXPECT_EQ(a[2].Long(1), 12);
    EXPECT_EQ(a[3].Long(0), 3);
    EXPECT_EQ(a[3].Long(1), -1);
    EXPECT_EQ(a[4].Long(0), 5);
    EXPECT_EQ(a[4].Long(1), 0);
    EXPECT_TRUE(a[5].Bool(0));
    EXPECT_FALSE(a[5].Bool(1));
}

TEST_F(ServiceTest, TrafficListsCarryTenTypedArrays) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    TrafficListArrays processes;
    TrafficListArrays domains;
    ASSERT_EQ(b.rules->GetProcessList(-1, &processes), S_OK);
    ASSERT_EQ(b.rules->GetDomainList(-1, &domains), S_OK);
    const VarType types[10] = {
        VarType::Bstr, VarType::Bstr,     VarType::Bstr,     VarType::Bool,     VarType::Long,
        VarType::Long, VarType::LongLong, VarType::LongLong, VarType::LongLong, VarType::LongLong};
    for (size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(processes[k].Count(types[k]), 2u) << "process array " << k + 1;
        EXPECT_EQ(domains[k].Count(types[k]), 1u) << "domain array " << k + 1;
    }
    EXPECT_EQ(processes[0].Bstr(0), L"firefox");
    EXPECT_EQ(processes[1].Bstr(0), L"/usr/bin/firefox");
    EXPECT_EQ(processes[2].Bstr(0), L"Browser");
    EXPECT_FALSE(processes[3].Bool(1));
    EXPECT_EQ(processes[4].Long(0), 11);
    EXPECT_EQ(processes[5].Long(0), 4242);
    EXPECT_EQ(processes[6].LongLong(0), 1000);
    EXPECT_EQ(processes[7].LongLong(1), 123456789);
    EXPECT_EQ(domains[0].Bstr(0), L"example.com");
    EXPECT_EQ(domains[1].Bstr(0), L"www.example.com");
    EXPECT_EQ(domains[5].Long(0), 0);  // a domain has no process
    EXPECT_EQ(domains[6].LongLong(0), 42);
    EXPECT_EQ(domains[7].LongLong(0), 4200);
}

TEST_F(ServiceTest, CountersGrowAtTheConfiguredRateAndFixedOnesStay) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    TrafficListArrays first;
    TrafficListArrays second;
    auto t0 = Clock::now();
    ASSERT_EQ(b.rules->GetProcessList(-1, &first), S_OK);
    auto t1 = Clock::now();
    std::this_thread::sleep_for(300ms);
    auto t2 = Clock::now();
    ASSERT_EQ(b.rules->GetProcessList(-1, &second), S_OK);
    auto t3 = Clock::now();
    // 80 Mbit/s: the growth lies between 80 bits per µs times the shortest
    // and the longest interval the two answers can be apart.
    double minSeconds = std::chrono::duration<double>(t2 - t1).count();
    double maxSeconds = std::chrono::duration<double>(t3 - t0).count();
    double grown = static_cast<double>(second[7].LongLong(0) - first[7].LongLong(0));
    EXPECT_GE(grown, 80e6 * minSeconds);
    EXPECT_LE(grown, 80e6 * maxSeconds);
    EXPECT_EQ(second[6].LongLong(0), 1000);  // no upload rate
    EXPECT_EQ(second[7].LongLong(1), 123456789);
}

TEST_F(ServiceTest, SetGatewayLimitsIsWhatArrayEightReportsAfterwards) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    struct Case {
        const wchar_t* mac;
        int64_t up;
        int64_t down;
        HRESULT hr;
        int64_t reported0;  // array 8 afterwards
        int64_t reported1;
    };
    const Case cases[] = {
        {L"02-00-00-00-00-01", 20000000, 55000000, S_OK, 55000000, -1},
        {L"02-00-00-00-00-01", 20000000, 1499999999, S_OK, 1499999999, -1},
        {L"02-00-00-00-00-02", -1, 33000000, S_OK, 1499999999, 33000000},
        {L"02-00-00-00-00-01", -1, -1, S_OK, -1, 33000000},
        {L"02:00:00:00:00:01", 1, 2, E_INVALIDARG, -1, 33000000},  // no such gateway
        {L"02-00-00-00-00-02", 1, -2, E_INVALIDARG, -1, 33000000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            CodeOf([&] { EXPECT_EQ(b.network->SetGatewayLimits(c.mac, c.up, c.down), c.hr); }),
            c.hr);
        NetworkInfoArrays a;
        ASSERT_EQ(b.network->GetNetworkInfoList(&a), S_OK);
        EXPECT_EQ(a[7].LongLong(0), c.reported0) << c.down;
        EXPECT_EQ(a[7].LongLong(1), c.reported1) << c.down;
        EXPECT_EQ(a[6].LongLong(0), 20000000);  // the upload figure stays the configured one
    }
}

TEST_F(ServiceTest, InjectedHresultsAreRaisedWithTheirCodeAndSuccessCodesPass) {
    std::string faults;
    const char* methods[] = {"Initialize",
                             "GetFactoryManager",
                             "GetNetworkManager",
                             "GetRulesManager",
                             "GetConfigurationManager",
                             "GetNetworkInfoList",
                             "GetNetworkInterfaceList",
                             "SetGatewayLimits",
                             "GetProcessList",
                             "GetDomainList"};
    std::map<std::string, HRESULT> codes;
    HRESULT next = static_cast<HRESULT>(0x8004A001);
    for (const char* m : methods) {
        codes[m] = next;
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", static_cast<uint32_t>(next++));
        faults += std::string("\n[fault ") + m + "]\nhresult = " + hex + "\ncalls = 1\n";
    }
    // A success code other than S_OK is passed through, not raised.
    faults += "\n[fault PrepareLimitChange]\nhresult = 1\ncalls = 1\n";
    ASSERT_NO_FATAL_FAILURE(Start(faults));

    Bound b;
    ASSERT_EQ(BusServiceBinding().CreateInstance(&b.root), S_OK);
    struct Row {
        const char* method;
        std::function<HRESULT()> call;
    };
    NetworkInfoArrays info;
    NetworkInterfaceArrays interfaces;
    TrafficListArrays lists;
    const Row rows[] = {
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
    for (const Row& row : rows) {
        EXPECT_EQ(CodeOf([&] { row.call(); }), codes[row.method]) << row.method;
        // The fault was for one call only.
        HRESULT second = E_FAIL;
        EXPECT_EQ(CodeOf([&] { second = row.call(); }), S_OK) << row.method;
        EXPECT_EQ(second, S_OK) << row.method;
    }
    ASSERT_TRUE(b.configuration);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), 1);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);
}

TEST_F(ServiceTest, ArrayOfAnotherTypeFailsTypedAccessWithInvalidArg) {
    ASSERT_NO_FATAL_FAILURE(
        Start("\n[fault GetNetworkInfoList]\nwrong_type = 3\n"
              "\n[fault GetNetworkInterfaceList]\nwrong_type = 6\n"
              "\n[fault GetProcessList]\nwrong_type = 8\n"
              "\n[fault GetDomainList]\nwrong_type = 1\n"));
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    NetworkInfoArrays info;
    NetworkInterfaceArrays interfaces;
    TrafficListArrays processes;
    TrafficListArrays domains;
    ASSERT_EQ(b.network->GetNetworkInfoList(&info), S_OK);
    ASSERT_EQ(b.network->GetNetworkInterfaceList(&interfaces), S_OK);
    ASSERT_EQ(b.rules->GetProcessList(-1, &processes), S_OK);
    ASSERT_EQ(b.rules->GetDomainList(-1, &domains), S_OK);
    struct Case {
        const char* what;
        const SafeArray& array;
        VarType expected;  // what the client reads it as
        VarType sent;      // what the service sent instead
        const SafeArray& neighbour;
        VarType neighbourType;
    };
    const Case cases[] = {
        {"ai sent as ax", info[2], VarType::Long, VarType::LongLong, info[3], VarType::Bool},
        {"ab sent as ai", interfaces[5], VarType::Bool, VarType::Long, interfaces[4],
         VarType::Long},
        {"ax sent as as", processes[7], VarType::LongLong, VarType::Bstr, processes[6],
         VarType::LongLong},
        {"as sent as ai", domains[0], VarType::Bstr, VarType::Long, domains[1], VarType::Bstr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.array.type(), c.sent) << c.what;
        EXPECT_EQ(CodeOf([&] { c.array.CheckType(c.expected); }), E_INVALIDARG) << c.what;
        EXPECT_EQ(CodeOf([&] { c.neighbour.CheckType(c.neighbourType); }), S_OK) << c.what;
    }
    EXPECT_EQ(CodeOf([&] { processes[7].LongLong(0); }), E_INVALIDARG);
}

TEST_F(ServiceTest, NullInterfacePathLeavesThePointerEmpty) {
    std::string faults;
    for (const char* m :
         {"GetFactoryManager", "GetNetworkManager", "GetRulesManager", "GetConfigurationManager"}) {
        faults += std::string("\n[fault ") + m + "]\nnull_path = true\ncalls = 1\n";
    }
    ASSERT_NO_FATAL_FAILURE(Start(faults));
    Bound b;
    ASSERT_EQ(BusServiceBinding().CreateInstance(&b.root), S_OK);
    struct Row {
        const char* method;
        std::function<HRESULT()> call;
        std::function<bool()> set;
    };
    const Row rows[] = {
        {"GetFactoryManager", [&] { return b.root->GetFactoryManager(&b.factory); },
         [&] { return b.factory != nullptr; }},
        {"GetNetworkManager", [&] { return b.factory->GetNetworkManager(&b.network); },
         [&] { return b.network != nullptr; }},
        {"GetRulesManager", [&] { return b.factory->GetRulesManager(&b.rules); },
         [&] { return b.rules != nullptr; }},
        {"GetConfigurationManager",
         [&] { return b.factory->GetConfigurationManager(&b.configuration); },
         [&] { return b.configuration != nullptr; }},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.call(), S_OK) << row.method;
        EXPECT_FALSE(row.set()) << row.method;
        EXPECT_EQ(row.call(), S_OK) << row.method;
        ASSERT_TRUE(row.set()) << row.method;
    }
}

TEST_F(ServiceTest, StalledAnswerIsUnavailableAfterFiveSecondsAndTheNextCallWorks) {
    ASSERT_NO_FATAL_FAILURE(Start("\n[fault GetDomainList]\nstall_ms = 6000\ncalls = 1\n"));
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    TrafficListArrays lists;
    auto start = Clock::now();
    EXPECT_EQ(CodeOf([&] { b.rules->GetDomainList(-1, &lists); }), RPC_S_SERVER_UNAVAILABLE_HR);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, 4900ms);
    EXPECT_LE(waited, 5700ms);
    // The service kept answering others meanwhile, and the late answer does
    // not get in the way of the next call.
    start = Clock::now();
    EXPECT_EQ(b.rules->GetDomainList(-1, &lists), S_OK);
    EXPECT_EQ(lists[0].Count(VarType::Bstr), 1u);
    EXPECT_LE(Clock::now() - start, 1000ms);
}

TEST_F(ServiceTest, KilledServiceIsUnavailableAndTheSameObjectsWorkAfterARestart) {
    ASSERT_NO_FATAL_FAILURE(Start("\n[fault GetDomainList]\nstall_ms = 4000\ncalls = 1\n"));
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));
    NetworkInfoArrays info;
    ASSERT_EQ(b.network->GetNetworkInfoList(&info), S_OK);

    // Killed while it holds a call: the call fails at once, not after 5 s.
    std::thread killer([this] {
        auto deadline = Clock::now() + 5000ms;
        while (Clock::now() < deadline &&
               test::ReadFile(StderrPath()).find("answering in") == std::string::npos) {
            std::this_thread::sleep_for(10ms);
        }
        service_->Signal(SIGKILL);
    });
    TrafficListArrays lists;
    auto start = Clock::now();
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

    ASSERT_NO_FATAL_FAILURE(Start("", "restart.ini"));
    EXPECT_EQ(b.network->GetNetworkInfoList(&info), S_OK);
    EXPECT_EQ(info[2].Long(0), 3);
    EXPECT_EQ(b.rules->GetDomainList(-1, &lists), S_OK);
    EXPECT_EQ(b.configuration->PrepareLimitChange(-1), S_OK);
}

TEST_F(ServiceTest, AbsentBusIsUnavailable) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_.file("nobody.sock")).c_str(), 1);
    platform::bus::ResetForTest();
    EXPECT_FALSE(platform::bus::NameHasOwner());
    EXPECT_FALSE(BusServiceBinding().Running());
    ComPtr<IBandwidthControlManager> root;
    EXPECT_EQ(BusServiceBinding().CreateInstance(&root), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_FALSE(root);
    EXPECT_THROW(
        platform::bus::Call(platform::bus::kRootPath, "com.corvane.IBandwidthControlManager",
                            "GetFactoryManager", {}),
        platform::bus::Unavailable);
}

TEST_F(ServiceTest, LostBusIsUnavailableAndTheNextCallConnectsToTheNewOne) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Bound b;
    ASSERT_NO_FATAL_FAILURE(Bind(&b));

    // The bus goes away under a bound program.
    bus_->Kill();
    EXPECT_EQ(service_->Wait(5000ms), std::optional<int>(1));  // the service lost its bus
    NetworkInfoArrays info;
    EXPECT_EQ(CodeOf([&] { b.network->GetNetworkInfoList(&info); }), RPC_S_SERVER_UNAVAILABLE_HR);

    // A new bus and service. Nothing but that failed call has touched the
    // connection since: the next call must make a new one by itself.
    bus_ = std::make_unique<PrivateBus>(dir_, "bus2");
    ASSERT_TRUE(bus_->ok());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1);
    std::string config = WriteConfig("again.ini", kBaseConfig);
    service_ = std::make_unique<ServiceProcess>(std::vector<std::string>{"--config", config},
                                                StderrPath());
    auto deadline = Clock::now() + 5000ms;
    while (Clock::now() < deadline &&
           test::ReadFile(StderrPath()).find("serving") == std::string::npos) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(b.network->GetNetworkInfoList(&info), S_OK);
    EXPECT_EQ(info[0].Count(VarType::Bstr), 2u);
}

TEST(ServiceCommandLine, MalformedConfigurationExitsTwoWithOneLineNamingFileAndLine) {
    test::TempDir dir;
    struct Case {
        const char* text;
        int line;
        const char* problem;
    };
    const Case cases[] = {
        {"[gateway a]\nmac = 1\nid = 1\nupload_bps = 1\ndownload_bps = x\n", 5,
         "'x' is not an integer (key 'download_bps' in [gateway a])"},
        {"; comment\n\n[gateway a]\nmac = 1\nid = 1\nupload_bps = 1\n", 3,
         "missing key 'download_bps' in [gateway a]"},
        {"[interface eth0\nmac = 1\n", 1, "expected [section] or key = value"},
        {"[router r]\n", 1,
         "unknown section [router r] (expected gateway, interface, process, domain or fault)"},
    };
    for (const Case& c : cases) {
        std::string config = dir.file("bad.ini");
        test::WriteFile(config, c.text);
        std::string err = dir.file("bad.err");
        ServiceProcess service({"--config", config, "--backend", "static"}, err);
        EXPECT_EQ(service.Wait(5000ms), std::optional<int>(2)) << c.text;
        EXPECT_EQ(test::ReadFile(err), "corvane-service: " + config + ":" + std::to_string(c.line) +
                                           ": " + c.problem + "\n");
    }
    std::string err = dir.file("missing.err");
    ServiceProcess missing({"--config", dir.file("missing.ini")}, err);
    EXPECT_EQ(missing.Wait(5000ms), std::optional<int>(2));
    EXPECT_EQ(test::ReadFile(err), "corvane-service: " + dir.file("missing.ini") +
                                       ": cannot open: No such file or directory\n");
    ServiceProcess unknown({"--config", dir.file("bad.ini"), "--backend", "sim"}, err);
    EXPECT_EQ(unknown.Wait(5000ms), std::optional<int>(2));
    EXPECT_EQ(test::ReadFile(err), "corvane-service: unknown backend 'sim' (known: static)\n");
}

TEST(BusText, Utf8AndWideTextConvertBothWaysWithReplacementForInvalidInput) {
    struct Case {
        std::string utf8;
        std::wstring wide;
    };
    const Case valid[] = {
        {"", L""},
        {"02-00-00-00-00-01", L"02-00-00-00-00-01"},
        {"S\xC3\xBC"
         "d",
         L"S\u00fcd"},
        {"\xE2\x82\xAC", L"\u20ac"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
    };
    for (const Case& c : valid) {
        EXPECT_EQ(BusUtf8ToWide(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(BusWideToUtf8(c.wide), c.utf8) << c.utf8;
    }
    const Case invalid[] = {
        {"a\x80"
         "b",
         L"a\ufffd"
         L"b"},               // stray continuation byte
        {"\xC3", L"\ufffd"},  // cut short at the end
        {"\xE2\x82"
         "x",
         L"\ufffd"
         L"x"},                           // cut short before a plain byte
        {"\xC0\xAF", L"\ufffd"},          // overlong '/'
        {"\xED\xA0\x80", L"\ufffd"},      // a surrogate
        {"\xF4\x90\x80\x80", L"\ufffd"},  // beyond U+10FFFF
        {"\xFF"
         "A",
         L"\ufffd"
         L"A"},
    };
    for (const Case& c : invalid) EXPECT_EQ(BusUtf8ToWide(c.utf8), c.wide);
    EXPECT_EQ(BusWideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
