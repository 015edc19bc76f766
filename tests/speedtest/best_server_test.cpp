// Best-server choice: url splitting, and the third-worst rule for one to five
// answers and for equal latencies, with its console lines and log twins.
// Latencies are exact: the counter stamps come from a script.
#include "speedtest/best_server.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/process.h"
#include "log/logger.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "speedtest/scripted_counter.h"
#include "support/test_support.h"

namespace {

TEST(GetHostFromUrl, SplitsHostAndPathForGet) {
    struct Case {
        std::string url;
        int result;
        std::string host, path, console;
    } cases[] = {
        {"\"http://speed.example.net:8080/speedtest/upload.php\"", 0, "speed.example.net:8080",
         "/speedtest/", ""},
        {"\"http://a.example/speedtest/latency\"", 0, "a.example", "/speedtest/latency\"", ""},
        {"http://h/a/upload.php/upload.php", 0, "h", "/a/", ""},
        {"\"h.example/x\"", -1, "", "",
         "GetHostFromUrl(\"h.example/x\") failed to find hostname\n"},
        {"", -1, "", "", "GetHostFromUrl() failed to find hostname\n"},
        {"\"http://h.example\"", -1, "", "",
         "GetHostFromUrl(\"http://h.example\") failed to find path\n"},
    };
    for (const Case& c : cases) {
        test::ConsoleCapture console;
        std::string host, path;
        EXPECT_EQ(GetHostFromUrl(c.url, host, path), c.result) << c.url;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(console.text(), c.console);
    }
}

class BestServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCoreForTest();
        gPerfFrequency = platform::kPerfFrequency;
        ResetLoggerForTest();
        InitLogger();
        ExchangeSettings settings;
        settings.port = server_.port();
        SetExchangeSettingsForTest(settings);
        platform::SetClockSourceForTest(&counter_);
    }
    void TearDown() override {
        platform::SetClockSourceForTest(nullptr);
        ResetExchangeSettingsForTest();
        ResetLoggerForTest();
        ResetCoreForTest();
    }

    test::LoopbackServer server_{test::AnswerWith(test::HttpReply("test=test"))};
    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    test::ScriptedCounter counter_;
};

constexpr double kNoUrl = -1;         // a record without "url"
constexpr double kUnresolvable = -2;  // a url whose host does not resolve

std::string UrlOf(size_t i) {
    return "\"http://127.0.0.1/s" + std::to_string(i) + "/upload.php\"";
}

// An announcement: its console text up to "[", its log prefix, the server.
struct Said {
    const char *console, *log;
    size_t index;
};
const char* kUse3rd = "GetBestServer: Using 3rd worst latency";
const char* kUse2nd = "GetBestServer: Using 2nd Worst latency";
const char* kUse2ndLog = "GetBestServer: Using 2nd worst latency";
const char* kUseWorst = "GetBestServer: Using worst latency";
const char* kAvoid2nd = "GetBestServer: Avoid 2nd worst latency";
const char* kAvoidWorst = "GetBestServer: Avoid worst latency";
const char* kAvoidBest = "GetBestServer: Avoid best latency";

TEST_F(BestServerTest, ChoosesByTheThirdWorstRule) {
    struct Case {
        std::vector<double> latencies;
        int chosen;
        std::vector<Said> said;
    } cases[] = {
        {{0.05, 0.01, 0.03, 0.04, 0.02},
         2,
         {{kUse3rd, kUse3rd, 2},
          {kAvoid2nd, kAvoid2nd, 3},
          {kAvoidWorst, kAvoidWorst, 0},
          {kAvoidBest, kAvoidBest, 1}}},
        {{0.04, 0.01, 0.03, 0.02},
         3,
         {{kUse3rd, kUse3rd, 3},
          {kAvoid2nd, kAvoid2nd, 2},
          {kAvoidWorst, kAvoidWorst, 0},
          {kAvoidBest, kAvoidBest, 1}}},
        {{0.03, 0.01, 0.02},
         2,
         {{kUse2nd, kUse2ndLog, 2}, {kAvoidWorst, kAvoidWorst, 0}, {kAvoidBest, kAvoidBest, 1}}},
        {{0.01, 0.02}, 1, {{kUseWorst, kUseWorst, 1}, {kAvoidBest, kAvoidBest, 0}}},
        {{0.02}, 0, {{kUseWorst, kUseWorst, 0}, {kAvoidBest, kAvoidBest, 0}}},
        {{0.02, 0.02}, 1, {{kUseWorst, kUseWorst, 1}, {kAvoidBest, kAvoidBest, 0}}},
        {{0.02, 0.02, 0.02},
         1,
         {{kUse2nd, kUse2ndLog, 1}, {kAvoidWorst, kAvoidWorst, 2}, {kAvoidBest, kAvoidBest, 0}}},
        {{kNoUrl, 0.03, kUnresolvable, 0.01},
         1,
         {{kUseWorst, kUseWorst, 1}, {kAvoidBest, kAvoidBest, 3}}},
        {{kNoUrl, kUnresolvable}, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.latencies));
        ServerList servers;
        std::string console;
        for (size_t i = 0; i < c.latencies.size(); ++i) {
            servers.push_back({{"host", "\"listed.example:8080\""}});
            if (c.latencies[i] == kNoUrl) {
                console += "GetHostFromUrl() failed to find hostname\n";
            } else if (c.latencies[i] == kUnresolvable) {
                servers[i]["url"] = "\"http:///s/\"";
                console += "SendMeasureLatencyResponse: my_gethostbyname() failure, error = -2\nx";
            } else {
                servers[i]["url"] = UrlOf(i);
                counter_.Answer(c.latencies[i]);
            }
        }
        console += "\n";
        std::vector<std::string> log;
        for (const Said& s : c.said) {
            char line[256];
            double latency = c.latencies[s.index];
            std::string url = UrlOf(s.index);
            std::snprintf(line, sizeof(line), "%s[%f] from: url=%s\n", s.console, latency,
                          url.c_str());
            console += line;
            std::snprintf(line, sizeof(line), "<DEBUG>:%s[%g] from: url=%s", s.log, latency,
                          url.c_str());
            log.push_back(line);
        }

        test::ConsoleCapture capture;
        size_t logged = test::LogMessages("aperture.log").size();
        EXPECT_EQ(GetBestServer(servers), c.chosen);
        EXPECT_EQ(capture.text(), console);
        std::vector<std::string> messages = test::LogMessages("aperture.log");
        EXPECT_EQ(
            std::vector<std::string>(messages.begin() + static_cast<long>(logged), messages.end()),
            log);

        for (size_t i = 0; i < servers.size(); ++i) {
            bool answered = c.latencies[i] >= 0;
            EXPECT_EQ(servers[i].at("host"), answered ? "127.0.0.1" : "\"listed.example:8080\"");
            if (c.latencies[i] == kNoUrl) {
                EXPECT_EQ(servers[i].at("url"), "");  // looked up, so inserted
                EXPECT_EQ(servers[i].count("pathForGet"), 0u);
            } else {
                EXPECT_EQ(servers[i].at("pathForGet"),
                          answered ? "/s" + std::to_string(i) + "/" : "/s/\"");
            }
        }
    }
}

}  // namespace
