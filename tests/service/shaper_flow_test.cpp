// The monitor's shaper logic against the real service on a private bus: bind,
// discover, set a limit, read the traffic rate, lose the service.
#include <gtest/gtest.h>

#include "aperture/isp_ctx.h"
#include "config/registry_params.h"
#include "core/process.h"
#include "log/logger.h"
#include "service/service_harness.h"
#include "shaper/bus_binding.h"
#include "shaper/gateways.h"
#include "shaper/limits.h"

namespace {

using namespace std::chrono_literals;

// One good gateway at 100 Mbit/s; 80 + 8 Mbit/s of download through its
// interface (device 11) and traffic on another device that must not count.
constexpr const char* kConfig = R"ini(
[gateway wan]
mac = 02-00-00-00-00-01
id = 3
upload_bps = 20000000
download_bps = 100000000

[interface eth0]
mac = 02-00-00-00-00-11
device_id = 11
gateway_id = 3

[process firefox]
device_id = 11
download_bits = 1000000
download_rate_bps = 80000000

[process elsewhere]
device_id = 99
download_rate_bps = 500000000

[domain example.com]
device_id = 11
download_rate_bps = 8000000
)ini";

class ShaperFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        bus_ = std::make_unique<servicetest::PrivateBus>(dir_);
        if (!bus_->ok()) GTEST_SKIP() << "dbus-daemon could not start a private bus";
        bus_->Use();
        chdir_ = std::make_unique<test::ScopedChdir>(dir_.path());
        InitLogger();
        ResetConfigForTest();
        ResetCoreForTest();
        gPerfFrequency = 10000000;
        ResetShaperForTest();
        ReinitIspContexts();
        SetServiceBinding(&BusServiceBinding());
    }
    void TearDown() override {
        SetServiceBinding(nullptr);
        ResetShaperForTest();
        ResetIspContextsForTest();
        ResetLoggerForTest();
        service_.reset();
        bus_.reset();
        chdir_.reset();
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        platform::bus::ResetForTest();
    }

    test::TempDir dir_;
    std::unique_ptr<test::ScopedChdir> chdir_;
    std::unique_ptr<servicetest::PrivateBus> bus_;
    std::unique_ptr<servicetest::ServiceProcess> service_;
    test::ConsoleCapture console_;
};

TEST_F(ShaperFlow, BindsDiscoversSetsLimitsAndMeasuresTrafficThroughTheRealService) {
    std::string config = dir_.file("service.ini");
    test::WriteFile(config, kConfig);
    service_ = std::make_unique<servicetest::ServiceProcess>(
        std::vector<std::string>{"--config", config}, dir_.file("service.err"));
    ASSERT_TRUE(servicetest::WaitUntilServing());
    ASSERT_TRUE(CorvaneServiceRunning());

    ASSERT_EQ(InitTarnelHelper(), S_OK);
    ASSERT_EQ(DiscoverGateways(), S_OK);
    IspCtx& ctx = gIspCtx[0];
    EXPECT_EQ(ctx.G, 3);
    EXPECT_EQ(ctx.gatewayMAC, L"02-00-00-00-00-01");
    EXPECT_EQ(ctx.deviceIDs, std::vector<int32_t>{11});
    EXPECT_EQ(ctx.lastDownloadLimitBps, 100000000u);
    EXPECT_EQ(gTarnelGatewaysFingerprint, "Gateways: 3");
    EXPECT_EQ(ValidateDLBWForISPs(), S_OK);

    // The limit reaches the service, and validation then agrees with it.
    ASSERT_EQ(SetNetworkLimits(ctx, 20000000, 55000000), S_OK);
    EXPECT_EQ(ctx.lastDownloadLimitBps, 55000000u);
    NetworkInfoArrays info;
    ASSERT_EQ(g_pINetworkManager->GetNetworkInfoList(&info), S_OK);
    EXPECT_EQ(info[7].LongLong(0), 55000000);
    EXPECT_EQ(ValidateDLBWForISPs(), S_OK);

    // First sample sets the base; the second sees 80 + 8 Mbit/s of growth
    // (give or take the scheduling of two processes).
    EXPECT_EQ(GetInternetDownloadStats(ctx), S_OK);
    EXPECT_EQ(ctx.mbps, 0.0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(GetInternetDownloadStats(ctx), S_OK);
    EXPECT_GT(ctx.mbps, 70.0);
    EXPECT_LT(ctx.mbps, 110.0);
    EXPECT_GT(ctx.processOnlyMbps, 60.0);
    EXPECT_LT(ctx.processOnlyMbps, 100.0);

    // The service goes: the limit is not set and the binding notices.
    service_->Signal(SIGKILL);
    service_->Wait(5000ms);
    EXPECT_FALSE(CorvaneServiceRunning());
    EXPECT_EQ(SetNetworkLimits(ctx, 20000000, 60000000), E_UNEXPECTED);
    EXPECT_EQ(ctx.lastDownloadLimitBps, 55000000u);
    EXPECT_EQ(ValidateDLBWForISPs(), RPC_S_SERVER_UNAVAILABLE_HR);
}

}  // namespace
