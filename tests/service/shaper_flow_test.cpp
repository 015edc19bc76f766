// The monitor's shaper logic against the real service on a private bus: bind,
// discover, set a limit, read the traffic rate, lose the service.
#include <gtest/gtest.h>

#include "service/service_harness.h"
#include "shaper/bus_binding.h"
#include "shaper/fake_service.h"

namespace {

using namespace std::chrono_literals;

// One good gateway at 100 Mbit/s; 80 + 8 Mbit/s of download through its
// interface (device 11) and traffic on another device that must not count.
const char* kConfig =
    "[metrics]\nfile =\n"
    "[gateway wan]\nmac = 02-00-00-00-00-01\nid = 3\nupload_bps = 20000000\n"
    "download_bps = 100000000\n"
    "[interface eth0]\nmac = 02-00-00-00-00-11\ndevice_id = 11\ngateway_id = 3\n"
    "[process firefox]\ndevice_id = 11\ndownload_bits = 1000000\ndownload_rate_bps = 80000000\n"
    "[process elsewhere]\ndevice_id = 99\ndownload_rate_bps = 500000000\n"
    "[domain example.com]\ndevice_id = 11\ndownload_rate_bps = 8000000\n";

// The shaper's globals as the monitor leaves them before discovery, with the
// D-Bus binding installed in place of the in-memory service.
class ShaperFlow : public fake::ServiceTest {
  protected:
    void SetUp() override {
        fake::ServiceTest::SetUp();
        if (!bus_.ok()) GTEST_SKIP() << "dbus-daemon could not start a private bus";
        bus_.Use();
        SetServiceBinding(&BusServiceBinding());
    }
    void TearDown() override {
        corvane_.reset();
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        platform::bus::ResetForTest();
        fake::ServiceTest::TearDown();
    }

    servicetest::PrivateBus bus_{dir_};
    std::unique_ptr<servicetest::ServiceProcess> corvane_;
    test::ConsoleCapture console_;
};

TEST_F(ShaperFlow, BindsDiscoversSetsLimitsAndMeasuresTrafficThroughTheRealService) {
    test::WriteFile(dir_.file("service.ini"), kConfig);
    corvane_ = std::make_unique<servicetest::ServiceProcess>(
        std::vector<std::string>{"--config", dir_.file("service.ini")}, dir_.file("service.err"));
    ASSERT_TRUE(servicetest::WaitUntilServing());
    ASSERT_TRUE(CorvaneServiceRunning());

    ASSERT_EQ(InitTarnelHelper(), S_OK);
    ASSERT_EQ(DiscoverGateways(), S_OK);
    IspCtx& ctx = gIspCtx[0];
    EXPECT_EQ(std::tie(ctx.G, ctx.gatewayMAC, ctx.deviceIDs, ctx.lastDownloadLimitBps),
              std::make_tuple(3, std::wstring(L"02-00-00-00-00-01"), std::vector<int32_t>{11},
                              uint64_t{100000000}));
    EXPECT_EQ(ValidateDLBWForISPs(), S_OK);

    // The limit reaches the service, and validation then agrees with it.
    ASSERT_EQ(SetNetworkLimits(ctx, 20000000, 55000000), S_OK);
    EXPECT_EQ(ctx.lastDownloadLimitBps, 55000000u);
    NetworkInfoArrays info;
    ASSERT_EQ(g_pINetworkManager->GetNetworkInfoList(&info), S_OK);
    EXPECT_EQ(info[7].LongLong(0), 55000000);
    EXPECT_EQ(ValidateDLBWForISPs(), S_OK);

    // First sample sets the base; the second sees 80 + 8 Mbit/s of growth.
    EXPECT_EQ(GetInternetDownloadStats(ctx), S_OK);
    EXPECT_EQ(ctx.mbps, 0.0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(GetInternetDownloadStats(ctx), S_OK);
    EXPECT_GT(ctx.mbps, 70.0);
    EXPECT_LT(ctx.mbps, 110.0);
    EXPECT_GT(ctx.processOnlyMbps, 60.0);
    EXPECT_LT(ctx.processOnlyMbps, 100.0);

    // The service goes: the limit is not set and the binding notices.
    corvane_->Signal(SIGKILL);
    corvane_->Wait(5000ms);
    EXPECT_FALSE(CorvaneServiceRunning());
    EXPECT_EQ(SetNetworkLimits(ctx, 20000000, 60000000), E_UNEXPECTED);
    EXPECT_EQ(ctx.lastDownloadLimitBps, 55000000u);
    EXPECT_EQ(ValidateDLBWForISPs(), RPC_S_SERVER_UNAVAILABLE_HR);
}

}  // namespace
