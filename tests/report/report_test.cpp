// The probe-count report against a fake collector on loopback: the request
// byte for byte, the collector's possible answers, and counts that survive
// failed reports until one is delivered.
#include "report/report.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>

#include "aperture/isp_ctx.h"
#include "core/process.h"
#include "log/logger.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "support/test_support.h"

namespace {

using Behaviour = test::LoopbackServer::Handler;

// Thread ids and socket numbers vary: each digit run after "Thrd " or
// "sock " becomes "N".
std::string Normalised(const std::string& console) {
    std::string out;
    for (size_t i = 0; i < console.size(); ++i) {
        out.push_back(console[i]);
        if (out.ends_with("Thrd ") || out.ends_with("sock ")) {
            while (i + 1 < console.size() &&
                   std::isdigit(static_cast<unsigned char>(console[i + 1])))
                ++i;
            out.push_back('N');
        }
    }
    return out;
}

std::string Field(const std::string& request, const std::string& name) {
    std::string marker = "name=\"" + name + "\"\r\n\r\n";
    size_t at = request.find(marker);
    if (at == std::string::npos) return "<missing>";
    at += marker.size();
    return request.substr(at, request.find("\r\n", at) - at);
}

Behaviour Reply(std::string bytes) {
    return test::AnswerWith(std::move(bytes));
}
const Behaviour kReset = [](test::Connection& c) {
    c.ReadRequest();
    c.Reset();
};
const Behaviour kNotFound = Reply("HTTP/1.1 404 Not Found\r\n\r\n");

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCoreForTest();
        ResetIspContextsForTest();
        ResetReportForTest();
        gComputerName = "TESTBOX";
        ResetLoggerForTest();
        InitLogger();
        UsePort(collector_.port());
        ::setenv("SANDROW_COLLECTOR_HOST", "127.0.0.1", 1);
    }
    void TearDown() override {
        ::unsetenv("SANDROW_COLLECTOR_HOST");
        ResetExchangeSettingsForTest();
        ResetLoggerForTest();
        ResetReportForTest();
        ResetIspContextsForTest();
        ResetCoreForTest();
    }
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
    static IspCtx& Gateway(size_t slot, int32_t g, uint8_t active, const wchar_t* adapter,
                           const wchar_t* gateway, uint64_t probes) {
        IspCtx& isp = gIspCtx[slot];
        isp.G = g;
        isp.active = active;
        isp.adapterMAC = adapter;
        isp.gatewayMAC = gateway;
        isp.gProbeCount = probes;
        isp.DownloadRecoveryBW = 98.7654321;
        isp.initialAperture = 5000;
        return isp;
    }

    std::mutex mutex_;
    std::deque<Behaviour> script_;  // then 200 OK for every post
    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::LoopbackServer collector_{[this](test::Connection& c) {
        Behaviour next = Reply(test::HttpReply("thanks"));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!script_.empty()) {
                next = script_.front();
                script_.pop_front();
            }
        }
        next(c);
    }};
    test::ConsoleCapture console_;
};

TEST_F(ReportTest, RequestMatchesTheFixtureByteForByte) {
    IspCtx& isp = Gateway(0, 0, 1, L"02-00-00-00-00-01", L"02-00-00-00-00-FE", 17);
    ReportProbeCounts();
    collector_.Stop();
    ASSERT_EQ(collector_.requests().size(), 1u);
    const std::string request = collector_.requests()[0];
    EXPECT_EQ(request, test::ReadFile(SANDROW_REPORT_FIXTURE));
    // Content-Length: from the first boundary line to the end.
    size_t body = request.find("\r\n\r\n") + 4;
    EXPECT_EQ(request.substr(request.find("Content-Length: ") + 16, 5),
              std::to_string(request.size() - body) + "\r\n");

    EXPECT_EQ(isp.reportedProbeCount, 17u);
    EXPECT_FALSE(gLastReportFailed);
    EXPECT_EQ(Normalised(console_.text()), "[Post Thrd N] sock N closed\n");
    EXPECT_EQ(test::LogMessages("aperture.log").back(),
              "<DEBUG>:ReportProbeCounts(): MAC: 02-00-00-00-00-01, gateway: 02-00-00-00-00-FE, "
              "probe delta: 17, dlbw(max): 98.7654, dlbw(ini): 5000");
}

TEST_F(ReportTest, SuccessIsTwoHundredOkUpToTheFirstChunkWithout) {
    const std::string closed = "[Post Thrd N] sock N closed\n";
    struct Case {
        const char* name;
        Behaviour collector;
        int result;
        std::string console;
    } cases[] = {
        {"200 OK", Reply("HTTP/1.1 200 OK\r\n\r\n"), 0, closed},
        {"404", kNotFound, 1,
         "[Post Thrd N] RECEIVED ERROR [26]: [HTTP/1.1 404 Not Found\r\n\r\n][STRLEN 26]\n" +
             closed},
        {"200 OK, then a chunk without",
         [](test::Connection& c) {
             c.ReadRequest();
             c.Write("HTTP/1.1 200 OK\r\n\r\n");
             c.Pause(100);
             c.Write("done");
         },
         0, "[Post Thrd N] RECEIVED ERROR [4]: [done][STRLEN 4]\n" + closed},
        {"NUL before the status", Reply(std::string("x\0HTTP/1.1 200 OK\r\n\r\n", 21)), 1,
         "[Post Thrd N] RECEIVED ERROR [21]: [x][STRLEN 1]\n" + closed},
        {"closed without a word", [](test::Connection& c) { c.ReadRequest(); }, 1, closed},
        {"reset", kReset, 1, "[Post Thrd N] recv failed with error: 104\n" + closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Then(c.collector);
        console_.clear();
        EXPECT_EQ(doPOSTProbeCounts("A", "G", 1, 1, 1), c.result);
        EXPECT_EQ(gLastReportFailed, c.result != 0);
        EXPECT_EQ(Normalised(console_.text()), c.console);
    }
}

TEST_F(ReportTest, UnreachableOrSilentCollectorFailsTheReport) {
    ::unsetenv("SANDROW_COLLECTOR_HOST");
    EXPECT_EQ(doPOSTProbeCounts("A", "G", 1, 1, 1), 1);
    EXPECT_EQ(Normalised(console_.text()),
              "[Post Thrd N] my_gethostbyname() failure, error = -2\n");
    EXPECT_TRUE(gLastErrorSet);
    ::setenv("SANDROW_COLLECTOR_HOST", "127.0.0.1", 1);

    uint16_t nobody = test::LoopbackServer(test::AnswerWith("")).port();
    UsePort(nobody);
    console_.clear();
    EXPECT_EQ(doPOSTProbeCounts("A", "G", 1, 1, 1), 1);
    EXPECT_EQ(Normalised(console_.text()),
              "[Post Thrd N] connect function failed with error: 111\n");

    // Taken and never answered: the call time-out ends it, not the system's.
    UsePort(collector_.port(), 300);
    Then([](test::Connection& c) {
        c.ReadRequest();
        c.HoldUntilStopped();
    });
    console_.clear();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(doPOSTProbeCounts("A", "G", 1, 1, 1), 1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(290));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    EXPECT_EQ(Normalised(console_.text()),
              "[Post Thrd N] recv failed with error: 11\n[Post Thrd N] sock N closed\n");
    EXPECT_TRUE(gLastReportFailed);
}

TEST_F(ReportTest, CountsAreKeptUntilAReportIsDelivered) {
    IspCtx& first = Gateway(0, 0, 1, L"02-00-00-00-00-01", L"02-00-00-00-00-FE", 5);
    IspCtx& idle = Gateway(1, 1, 0, L"02-00-00-00-00-02", L"02-00-00-00-00-FD", 9);
    IspCtx& free = Gateway(2, -1, 1, L"02-00-00-00-00-03", L"02-00-00-00-00-FC", 4);
    IspCtx& second = Gateway(5, 5, 1, L"0a-00-00-00-00-07", L"02-00-00-00-00-FB", 2);

    Then(kNotFound);
    Then(kReset);
    ReportProbeCounts();
    EXPECT_TRUE(gLastReportFailed);
    EXPECT_EQ(first.reportedProbeCount + second.reportedProbeCount, 0u);

    first.gProbeCount += 3;
    ReportProbeCounts();  // the collector is back
    EXPECT_FALSE(gLastReportFailed);
    EXPECT_EQ(first.reportedProbeCount, 8u);
    EXPECT_EQ(second.reportedProbeCount, 2u);
    ReportProbeCounts();  // nothing new: reported anyway, with 0

    collector_.Stop();
    std::vector<std::string> requests = collector_.requests();
    ASSERT_EQ(requests.size(), 6u);
    const char* probes[] = {"5", "2", "8", "2", "0", "0"};
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(Field(requests[i], "numberofprobes"), probes[i]) << i;
        EXPECT_EQ(Field(requests[i], "gatewaymac"),
                  i % 2 ? "02-00-00-00-00-FB" : "02-00-00-00-00-FE");
        EXPECT_EQ(Field(requests[i], "macaddress"), "02-00-00-00-00-01");  // the first's adapter
    }
    EXPECT_EQ(idle.reportedProbeCount + free.reportedProbeCount, 0u);
}

TEST_F(ReportTest, BandwidthsAreTheLow32BitsOfBitsPerSecond) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, const char*> cases[] = {
        {98.7654321, "98765432"}, {5000, "705032704"}, {4295, "32704"}, {0.0000009, "0"},
        {-1, "4293967296"},       {nan, "0"},          {1e300, "0"},    {4294.967295, "4294967295"},
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
