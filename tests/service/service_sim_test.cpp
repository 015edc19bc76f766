// corvane-service --backend sim on a private bus: the lab's scenario file
// serves simulated lines standalone, and a broken one is refused by line.
#include <gtest/gtest.h>

#include "platform/bus.h"
#include "service/service_harness.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using platform::bus::Value;

constexpr const char* kNetworkPath = "/com/corvane/NetworkService/NetworkManager";
constexpr const char* kRulesPath = "/com/corvane/NetworkService/RulesManager";

TEST(SimService, ServesTheLinesOfALabScenario) {
    test::TempDir dir;
    servicetest::PrivateBus bus(dir);
    ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start";
    bus.Use();
    // The shipped default: one 30 mbps line shaped at 40, idle for 15 s.
    servicetest::ServiceProcess service(
        {"--config", SANDROW_LAB_DEFAULT_SCENARIO, "--backend", "sim"}, dir.file("service.err"));
    ASSERT_TRUE(servicetest::WaitUntilServing()) << test::ReadFile(dir.file("service.err"));

    std::vector<Value> gateways =
        platform::bus::Call(kNetworkPath, "com.corvane.INetworkManager", "GetNetworkInfoList", {});
    ASSERT_EQ(gateways.size(), 10u);
    EXPECT_EQ(gateways[0].int32, 0);
    EXPECT_EQ(gateways[1].strings, std::vector<std::string>{"02-00-00-00-00-01"});
    EXPECT_EQ(gateways[3].int32s, std::vector<int32_t>{3});
    EXPECT_EQ(gateways[8].int64s, std::vector<int64_t>{40000000});

    std::vector<Value> reply = platform::bus::Call(
        kNetworkPath, "com.corvane.INetworkManager", "SetGatewayLimits",
        {std::string("02-00-00-00-00-01"), int64_t{10000000}, int64_t{33000000}});
    EXPECT_EQ(reply.at(0).int32, 0);
    gateways =
        platform::bus::Call(kNetworkPath, "com.corvane.INetworkManager", "GetNetworkInfoList", {});
    EXPECT_EQ(gateways.at(8).int64s, std::vector<int64_t>{33000000}) << "the limit last set";

    std::vector<Value> processes = platform::bus::Call(kRulesPath, "com.corvane.IRulesManager",
                                                       "GetProcessList", {int16_t{-1}});
    ASSERT_EQ(processes.size(), 11u);
    EXPECT_EQ(processes[1].strings, std::vector<std::string>{"lab-download"});
    EXPECT_EQ(processes[5].int32s, std::vector<int32_t>{11}) << "the gateway's interface";
    EXPECT_EQ(processes[8].int64s, std::vector<int64_t>{0}) << "idle at the start";

    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(5000ms), std::optional<int>(0));
    std::string log = test::ReadFile(dir.file("service.err"));
    EXPECT_NE(log.find("sim backend: 1 lines"), std::string::npos) << log;
    EXPECT_NE(log.find("SetGatewayLimits 02-00-00-00-00-01 up=10000000 down=33000000"),
              std::string::npos)
        << log;
}

TEST(SimService, RefusesABrokenScenarioNamingFileAndLine) {
    test::TempDir dir;
    struct Case {
        std::string text;
        std::string problem;  // after "FILE:"
    };
    const Case cases[] = {
        {"[run]\nduration = 5\n", " no [gateway NAME] section"},
        {"[gateway g]\nmac = m\nid = 1\ndownload_mbps = 1\nupload_mbps = 1\ncapacity = 5:1\n",
         "1: capacity in [gateway g]: the first step must be at 0 seconds, not 5"},
    };
    for (const Case& c : cases) {
        std::string config = dir.file("bad.ini");
        test::WriteFile(config, c.text);
        servicetest::ServiceProcess service({"--config", config, "--backend", "sim"},
                                            dir.file("bad.err"));
        EXPECT_EQ(service.Wait(5000ms), std::optional<int>(2)) << c.text;
        EXPECT_EQ(test::ReadFile(dir.file("bad.err")),
                  "corvane-service: " + config + ":" + c.problem + "\n");
    }
}

}  // namespace
