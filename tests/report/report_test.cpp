// The probe-count report against a fake collector on loopback: the request
// byte for byte and the collector's possible answers.
#include "report/report.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <tuple>

#include "log/logger.h"
#include "process/process.h"
#include "slots/isp_ctx.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "support/test_support.h"

namespace {

using Behaviour = test::LoopbackServer::Handler;

const Behaviour kNotFound = test::AnswerWith("HTTP/1.1 404 Not Found\r\n\r\n");

class ReportTest : public ::testing::Test {
  protected:
    static void Reset() {
        ::unsetenv("SANDROW_COLLECTOR_HOST");
        ResetExchangeSettingsForTest();
        ResetLoggerForTest();
        ResetReportForTest();
        ResetIspContextsForTest();
        ResetProcessForTest();
        ClearLastErrorText();
    }
    void SetUp() override {
        Reset();
        gComputerName = "TESTBOX";
        InitLogger();
        UsePort(collector_.port());
        ::setenv("SANDROW_COLLECTOR_HOST", "127.0.0.1", 1);
    }
    void TearDown() override { Reset(); }
    void UsePort(uint16_t port, uint32_t postCallTimeoutMs = 60000) {
        ExchangeSettings settings;
        settings.port = port;
        settings.postCallTimeoutMs = postCallTimeoutMs;
        SetExchangeSettingsForTest(settings);
    }
    void Then(Behaviour behaviour) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_.push_back(std::move(behaviour));
    }
    int Post() { return doPOSTProbeCounts("A", "G", 1, 1, 1); }

    std::mutex mutex_;
    std::deque<Behaviour> script_;  // then 200 OK for every post
    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::LoopbackServer collector_{[this](test::Connection& c) {
        Behaviour next = test::AnswerWith(test::HttpReply("thanks"));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!script_.empty()) next = script_.front(), script_.pop_front();
        }
        next(c);
    }};
};

TEST_F(ReportTest, RequestMatchesTheFixtureByteForByte) {
    IspCtx& isp = gIspCtx[0];
    std::tie(isp.G, isp.active, isp.gProbeCount) = std::tuple(0, 1, 17);
    std::tie(isp.DownloadRecoveryBW, isp.initialAperture) = std::tuple(98.7654321, 5000);
    isp.adapterMAC = L"02-00-00-00-00-01";
    isp.gatewayMAC = L"02-00-00-00-00-FE";
    ReportProbeCounts();
    collector_.Stop();
    EXPECT_EQ(collector_.requests(),
              std::vector<std::string>{test::ReadFile(SANDROW_REPORT_FIXTURE)});
    EXPECT_EQ(isp.reportedProbeCount, 17u);
}

// Success is "200 OK" in every chunk up to the first without; a failure
// before it does not stick to the next post. Last, nobody listens, then no
// collector host resolves.
TEST_F(ReportTest, CollectorAnswersDecideTheResult) {
    const std::pair<Behaviour, int> cases[] = {
        {test::AnswerWith("HTTP/1.1 200 OK\r\n\r\n"), 0},
        {kNotFound, 1},
        {[](test::Connection& c) {
             c.ReadRequest();
             c.Send("HTTP/1.1 200 OK\r\n\r\n");
             c.Pause(100);
             c.Send("done");
         },
         0},
        {test::AnswerWith(std::string("x\0HTTP/1.1 200 OK\r\n\r\n", 21)), 1},
        {[](test::Connection& c) { c.ReadRequest(); }, 1},
        {test::ResetAfterRequest(), 1},
        // Taken and never answered: the call time-out ends it, not the system's.
        {test::SilentAfterRequest(), 1},
        {nullptr, 1},  // nobody there
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [collector, result] = cases[i];
        SCOPED_TRACE(i);
        UsePort(collector ? collector_.port() : test::LoopbackServer(nullptr).port(), 300);
        if (collector) Then(collector);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Post(), result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
        EXPECT_EQ(gLastReportFailed, result != 0);
    }

    ::unsetenv("SANDROW_COLLECTOR_HOST");
    EXPECT_EQ(Post(), 1);
    std::string lastError;
    EXPECT_TRUE(TakeLastErrorText(&lastError) && gLastReportFailed);
}

}  // namespace
