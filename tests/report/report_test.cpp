// The probe-count report against a fake collector on loopback: the request
// byte for byte, the collector's possible answers, and counts that survive
// failed reports until one is delivered.
#include "report/report.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>
#include <regex>
#include <tuple>

#include "log/logger.h"
#include "process/process.h"
#include "slots/isp_ctx.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "support/test_support.h"

namespace {

using Behaviour = test::LoopbackServer::Handler;

// Thread ids and socket numbers vary.
std::string Normalised(const std::string& console) {
    return std::regex_replace(console, std::regex("(Thrd|sock) [0-9]+"), "$1 N");
}

std::string Field(const std::string& request, const std::string& name) {
    std::string marker = "name=\"" + name + "\"\r\n\r\n";
    size_t at = request.find(marker) + marker.size();
    return request.substr(at, request.find("\r\n", at) - at);
}

const Behaviour kNotFound = test::AnswerWith("HTTP/1.1 404 Not Found\r\n\r\n");
const std::string kClosed = "[Post Thrd N] sock N closed\n";

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
    // Active unless `g` is -1 or `active` 0; adapter "A<slot>", gateway "G<slot>".
    static IspCtx& Gateway(size_t slot, int32_t g, uint8_t active, uint64_t probes) {
        IspCtx& isp = gIspCtx[slot];
        std::tie(isp.G, isp.active, isp.gProbeCount) = std::tuple(g, active, probes);
        isp.adapterMAC = L"A" + std::to_wstring(slot);
        isp.gatewayMAC = L"G" + std::to_wstring(slot);
        std::tie(isp.DownloadRecoveryBW, isp.initialAperture) = std::tuple(98.7654321, 5000);
        return isp;
    }

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
    test::ConsoleCapture console_;
};

TEST_F(ReportTest, RequestMatchesTheFixtureByteForByte) {
    IspCtx& isp = Gateway(0, 0, 1, 17);
    isp.adapterMAC = L"02-00-00-00-00-01";
    isp.gatewayMAC = L"02-00-00-00-00-FE";
    ReportProbeCounts();
    collector_.Stop();
    EXPECT_EQ(collector_.requests(),
              std::vector<std::string>{test::ReadFile(SANDROW_REPORT_FIXTURE)});
    EXPECT_EQ(isp.reportedProbeCount, 17u);
    EXPECT_EQ(Normalised(console_.text()), kClosed);
    EXPECT_EQ(test::LogMessages("aperture.log").back(),
              "<DEBUG>:ReportProbeCounts(): MAC: 02-00-00-00-00-01, gateway: 02-00-00-00-00-FE, "
              "probe delta: 17, dlbw(max): 98.7654, dlbw(ini): 5000");
}

// Success is "200 OK" in every chunk up to the first without; a failure
// before it does not stick to the next post. Last, nobody listens, then no
// collector host resolves.
TEST_F(ReportTest, CollectorAnswersDecideTheResult) {
    struct Case {
        Behaviour collector;
        int result;
        std::string console;
    } cases[] = {
        {test::AnswerWith("HTTP/1.1 200 OK\r\n\r\n"), 0, kClosed},
        {kNotFound, 1,
         "[Post Thrd N] RECEIVED ERROR [26]: [HTTP/1.1 404 Not Found\r\n\r\n][STRLEN 26]\n" +
             kClosed},
        {[](test::Connection& c) {
             c.ReadRequest();
             c.Send("HTTP/1.1 200 OK\r\n\r\n");
             c.Pause(100);
             c.Send("done");
         },
         0, "[Post Thrd N] RECEIVED ERROR [4]: [done][STRLEN 4]\n" + kClosed},
        {test::AnswerWith(std::string("x\0HTTP/1.1 200 OK\r\n\r\n", 21)), 1,
         "[Post Thrd N] RECEIVED ERROR [21]: [x][STRLEN 1]\n" + kClosed},
        {[](test::Connection& c) { c.ReadRequest(); }, 1, kClosed},
        {test::ResetAfterRequest(), 1, "[Post Thrd N] recv failed with error: 104\n" + kClosed},
        // Taken and never answered: the call time-out ends it, not the system's.
        {test::SilentAfterRequest(), 1, "[Post Thrd N] recv failed with error: 11\n" + kClosed},
        {nullptr, 1, "[Post Thrd N] connect function failed with error: 111\n"},  // nobody there
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.console);
        UsePort(c.collector ? collector_.port() : test::LoopbackServer(nullptr).port(), 300);
        if (c.collector) Then(c.collector);
        console_.clear();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Post(), c.result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
        EXPECT_EQ(gLastReportFailed, c.result != 0);
        EXPECT_EQ(Normalised(console_.text()), c.console);
    }

    ::unsetenv("SANDROW_COLLECTOR_HOST");
    console_.clear();
    EXPECT_EQ(Post(), 1);
    EXPECT_EQ(Normalised(console_.text()),
              "[Post Thrd N] my_gethostbyname() failure, error = -2\n");
    std::string lastError;
    EXPECT_TRUE(TakeLastErrorText(&lastError) && gLastReportFailed);
}

TEST_F(ReportTest, CountsAreKeptUntilAReportIsDelivered) {
    IspCtx& first = Gateway(0, 0, 1, 5);
    IspCtx& idle = Gateway(1, 1, 0, 9);
    IspCtx& free = Gateway(2, -1, 1, 4);
    IspCtx& second = Gateway(5, 5, 1, 2);

    Then(kNotFound);
    Then(test::ResetAfterRequest());
    ReportProbeCounts();
    EXPECT_TRUE(gLastReportFailed);
    first.gProbeCount += 3;
    ReportProbeCounts();  // the collector is back
    EXPECT_FALSE(gLastReportFailed);
    EXPECT_EQ(first.reportedProbeCount * 10 + second.reportedProbeCount, 82u);
    ReportProbeCounts();  // nothing new: reported anyway, with 0

    collector_.Stop();
    std::vector<std::string> sent;  // probes, gateway, and the first gateway's adapter
    for (const std::string& request : collector_.requests()) {
        sent.push_back(Field(request, "numberofprobes") + " " + Field(request, "gatewaymac") + " " +
                       Field(request, "macaddress"));
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"5 G0 A0", "2 G5 A0", "8 G0 A0", "2 G5 A0", "0 G0 A0",
                                              "0 G5 A0"}));
    EXPECT_EQ(idle.reportedProbeCount + free.reportedProbeCount, 0u);
}

TEST_F(ReportTest, BandwidthsAreTheLow32BitsOfBitsPerSecond) {
    const std::pair<double, const char*> cases[] = {
        {98.7654321, "98765432"},
        {5000, "705032704"},
        {-1, "4293967296"},
        {std::numeric_limits<double>::quiet_NaN(), "0"},
        {1e300, "0"},
        {4294.967295, "4294967295"},
    };
    for (const auto& [mbps, sent] : cases) {
        EXPECT_EQ(doPOSTProbeCounts("A", "G", UINT64_MAX, mbps, 12.5), 0);
    }
    collector_.Stop();
    std::vector<std::string> requests = collector_.requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(Field(requests[i], "currentbandwidth"), cases[i].second) << cases[i].first;
        EXPECT_EQ(Field(requests[i], "initialbandwidth"), "12500000");
        EXPECT_EQ(Field(requests[i], "numberofprobes"), "18446744073709551615");
    }
}

}  // namespace
