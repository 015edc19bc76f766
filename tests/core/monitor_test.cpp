// The monitor loop in one process, on a clock that moves only when the loop
// sleeps: each case lets it run until a condition, then presses a key.
#include "core/monitor.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/console.h"
#include "platform/notify.h"
#include "probe/budget.h"
#include "probe/latency.h"
#include "shaper/fake_service.h"
#include "slots/isp_ctx.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "support/fake_clock.h"
#include "support/notify_listener.h"

namespace {

const char* kConfig =
    "<settings>\n<client ip=\"192.0.2.7\" lat=\"50\" lon=\"8\" isp=\"Example\" />\n"
    "<times dl1=\"5000\" dl2=\"35000\" />\n<download testlength=\"10\" />\n"
    "<upload ratio=\"5\" />\n</settings>\n";

// A world of one gateway with one browser behind it, the in-memory shaper
// service, and at 127.0.0.1 the speed-test directory (its configuration and
// five servers at its own address, or none) and those servers.
class Monitor : public fake::ServiceTest {
  protected:
    void SetUp() override {
        fake::ServiceTest::SetUp();
        Reset();
        gUnlimitedProbing = true;  // probing is never rationed
        ExchangeSettings settings;
        settings.port = server_.port();
        SetExchangeSettingsForTest(settings);
        ::setenv("SANDROW_DIRECTORY_HOST", "127.0.0.1", 1);
        ::setenv("SANDROW_DIRECTORY_HOST2", "127.0.0.1", 1);
        S().gateways = {{L"02-00-00-00-00-01", 0, 20000000, 100000000}};
        S().interfaces = {{L"02-00-00-00-00-99", 7, 0}};
        S().processes = {{L"browser", 7, 0, 0}};
        // A 1 µs watchdog: every turn of the loop that pings at all does.
        notify_ = std::make_unique<test::NotifyListener>(notifyDir_.file("notify"), 1);
        platform::ResetNotifyForTest();
    }
    void TearDown() override {
        notify_.reset();
        platform::ResetNotifyForTest();
        platform::SetKbHitForTest(nullptr);
        ::unsetenv("SANDROW_DIRECTORY_HOST");
        ::unsetenv("SANDROW_DIRECTORY_HOST2");
        ResetExchangeSettingsForTest();
        Reset();
        fake::ServiceTest::TearDown();
    }
    static void Reset() {
        ResetDirectoryForTest();
        ResetBudgetForTest();
        ResetLatencyForTest();
        ClearLastErrorText();
    }

    // Runs the loop; `step`, asked at every key-press test, may change the
    // world and presses the key by answering true.
    static int32_t RunUntil(std::function<bool()> step) {
        platform::SetKbHitForTest(std::move(step));
        return DoApertureMonitor();
    }
    bool Printed(const std::string& text) const {
        return console_.text().find(text) != std::string::npos;
    }
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
    test::FakeClock clock_;
    test::TempDir notifyDir_;
    std::unique_ptr<test::NotifyListener> notify_;
    // The directory's two documents by path; anything else is a probe.
    test::LoopbackServer server_{[this](test::Connection& c) {
        c.ReadRequest();
        std::string list = "<settings>\n<servers>\n";
        for (int id = 1; id <= 5; ++id) {
            list += "<server url=\"http://127.0.0.1/speedtest/upload.php\" lat=\"50." +
                    std::to_string(id) + "\" lon=\"8\" id=\"" + std::to_string(id) +
                    "\" host=\"127.0.0.1\" />\n";
        }
        const bool config = c.request().find("/speedtest-config.php") != std::string::npos;
        const bool lists = c.request().find("/speedtest-servers-static.php") != std::string::npos;
        c.Send(test::HttpReply(config  ? kConfig
                               : lists ? list + "</servers>\n</settings>\n"
                                       : "test=test"));
    }};
};

TEST_F(Monitor, FindsTheServerDiscoversAndTicksOncePerSecond) {
    const double start = Seconds();
    EXPECT_EQ(RunUntil([&] { return Seconds() - start >= 10; }), 0);
    EXPECT_TRUE(Logged("<DEBUG>:Probe Host=127.0.0.1, pPathForGet=/speedtest/, IsMini=0"));
    EXPECT_TRUE(Printed("\nFound internet gateway(s) 1 / 1\n\nMonitoring internet traffic...\n"));
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

}  // namespace
