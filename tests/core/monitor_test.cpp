// The monitor loop end to end in one process: a directory and speed-test
// server on loopback, the in-memory shaper service, and a clock that moves
// only when the loop sleeps. Each case lets the loop run until a condition,
// then presses a key.
#include "core/monitor.h"
#include "core/monitor_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>

#include "platform/notify.h"
#include "probe/budget.h"
#include "probe/latency.h"
#include "shaper/fake_service.h"
#include "slots/isp_ctx.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "support/notify_listener.h"

namespace {

class Monitor : public monitortest::MonitorWorld {
  protected:
    void SetUp() override {
        SetUpWorld(server_.port());
        // A 1 µs watchdog: every turn of the loop that pings at all does.
        notify_ = std::make_unique<test::NotifyListener>(notifyDir_.file("notify"), 1);
        platform::ResetNotifyForTest();
    }
    void TearDown() override {
        notify_.reset();
        platform::ResetNotifyForTest();
        MonitorWorld::TearDown();
    }

    bool Printed(const std::string& text) const {
        return console_.text().find(text) != std::string::npos;
    }
    size_t Count(const std::string& text) const { return test::Occurrences(console_.text(), text); }
    double Seconds() { return static_cast<double>(clock_.TickCount64()) / 1000.0; }
    // What the service manager heard: READY=1 count, WATCHDOG=1 count, and
    // the statuses in order.
    struct Heard {
        int ready = 0;
        int pings = 0;
        std::vector<std::string> statuses;
    };
    Heard Notified() {
        Heard heard;
        for (const std::string& m : notify_->Drain()) {
            heard.ready += m == "READY=1";
            heard.pings += m == "WATCHDOG=1";
            if (m.rfind("STATUS=", 0) == 0) heard.statuses.push_back(m.substr(7));
        }
        return heard;
    }

    test::ConsoleCapture console_;
    fake::ManualClock clock_;
    test::TempDir notifyDir_;
    std::unique_ptr<test::NotifyListener> notify_;
    test::LoopbackServer server_{[](test::Connection& c) { monitortest::Answer(c, "127.0.0.1"); }};
};

TEST_F(Monitor, FindsTheServerDiscoversAndTicksOncePerSecond) {
    const double start = Seconds();
    EXPECT_EQ(RunUntil([&] { return Seconds() - start >= 10; }), 0);
    EXPECT_TRUE(Printed("DoApertureMonitor():[GetClosestServers] Succeeded\n"));
    EXPECT_TRUE(Logged("<DEBUG>:Probe Host=127.0.0.1, pPathForGet=/speedtest/, IsMini=0"));
    EXPECT_TRUE(Printed("DoApertureMonitor: InitTarnelHelper() successful\n"));
    EXPECT_TRUE(Printed("\nFound internet gateway(s) 1 / 1\n\nMonitoring internet traffic...\n"));
    EXPECT_TRUE(Logged("<DEBUG>:Monitoring internet traffic..."));
    // Ten seconds of ticks: the idle probes went to the chosen server.
    EXPECT_EQ(gIspCtx[0].idleCycleCount, 10u);
    EXPECT_EQ(gIspCtx[0].gProbeCount, 2u);
    EXPECT_NE(gIspCtx[0].TSD_Threshold, 0xFFFFFFFFu);
    // Ready from the start, monitoring in the status; the watchdog heard
    // from every tick.
    const Heard heard = Notified();
    EXPECT_EQ(heard.ready, 1);
    EXPECT_GE(heard.pings, 10);
    EXPECT_EQ(heard.statuses,
              (std::vector<std::string>{"asking the speed-test directory for the probe servers",
                                        "monitoring 1 of 1 gateways"}));
}

TEST_F(Monitor, RestartsWhenTheServiceGoesAndWaitsSilentlyForItsReturn) {
    const double start = Seconds();
    EXPECT_EQ(RunUntil([&] {
                  const double t = Seconds() - start;
                  S().running = t < 5 || t >= 20;
                  return t >= 25;
              }),
              0);
    EXPECT_EQ(Count("\nCorvane/Varnel Network Service not found, restarting service...)\n"), 1u);
    EXPECT_EQ(Count("Monitoring internet traffic..."), 2u);
    EXPECT_TRUE(Logged("<ERROR>:Corvane/Varnel Network Service not found, restarting service...)"));
    // Ready once; the status says what it waited for; the silent wait for
    // the service kept the watchdog fed.
    const Heard heard = Notified();
    EXPECT_EQ(heard.ready, 1);
    EXPECT_GE(heard.pings, 15);
    EXPECT_EQ(
        heard.statuses,
        (std::vector<std::string>{
            "asking the speed-test directory for the probe servers", "monitoring 1 of 1 gateways",
            "waiting for corvane-service on the bus", "monitoring 1 of 1 gateways"}));
}

TEST_F(Monitor, RestartsWhenTheBandwidthChangesBehindItsBack) {
    const double start = Seconds();
    bool changed = false;
    RunUntil([&] {
        if (!changed && Seconds() - start >= 4) {
            changed = true;
            S().gateways[0].downloadBps = 50000000;
        }
        return Seconds() - start >= 12;
    });
    EXPECT_TRUE(
        Printed("\nValidateDLBWForISPs() Failed (Either settings changed unexpectedly or "
                "DLBW not set at all, restarting service...)\n"));
    EXPECT_TRUE(
        Logged("<ERROR>:ValidateDLBWForISPs() failed (Either settings changed unexpectedly "
               "or DLBW not set at all, restarting service...)"));
    // Rediscovered at the new bandwidth: 50 mbps / 1.1.
    EXPECT_NEAR(gIspCtx[0].aperture, 45.4545, 1e-3);
}

TEST_F(Monitor, ThirdFailedCycleRestoresAndRestarts) {
    SetLatencyExchangeForTest([](const std::string&, const std::string&, double*) { return -1; });
    // Three failed cycles (seconds 0 to 2), 2 s of rest, then discovery again.
    const double start = Seconds();
    RunUntil([&] { return Seconds() - start >= 5; });
    EXPECT_EQ(Count("\nCheckAndProbeISP(isp=0, G=0) failed (restarting service...)\n"), 1u);
    EXPECT_TRUE(Printed("[G 0]+++++> Set aperture to recovery value: 90.91 mbps [fud 100.00]\n\n"));
    EXPECT_TRUE(Logged("<ERROR>:CheckAndProbeISP(isp=0, G=0) failed(restarting service...)"));
    EXPECT_EQ(Count("Monitoring internet traffic..."), 2u) << console_.text();
}

TEST_F(Monitor, UnreachableDirectoryPrintsOnceAndRetriesSilently) {
    ::setenv("SANDROW_DIRECTORY_HOST", "", 1);
    const double start = Seconds();
    EXPECT_EQ(RunUntil([&] { return Seconds() - start >= 9; }), 1);
    EXPECT_EQ(Count("DoApertureMonitor(): Failed to retrieve Speedtest server configuration, "
                    "waiting...\n"),
              1u);
    EXPECT_EQ(Count("GetConfig: my_gethostbyname"), 1u);  // only the first failure reports
    // Ready, for a start that never ends would hang whoever started it; the
    // status says what it waits for, and waiting is not hanging.
    const Heard heard = Notified();
    EXPECT_EQ(heard.ready, 1);
    EXPECT_GE(heard.pings, 4);
    ASSERT_FALSE(heard.statuses.empty());
    EXPECT_EQ(heard.statuses.back(),
              "waiting for the speed-test directory (SANDROW_DIRECTORY_HOST) to answer");
}

}  // namespace
