// Best-server choice: the third-worst rule for one to five answers and for
// equal latencies. Latencies are exact: the counter stamps come from a script.
#include "speedtest/best_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <deque>

#include "speedtest/loopback_server.h"
#include "speedtest/speedtest_fixture.h"
#include "support/fake_clock.h"
#include "support/test_support.h"

namespace {

// The fake clock with a performance counter that answers from a script, so
// that each exchange measures exactly the latency a case names.
class ScriptedCounter : public test::FakeClock {
  public:
    void Answer(double seconds) {  // the next exchange's connect and first-data stamps
        stamps_.insert(stamps_.end(), {1000, 1000 + std::llround(seconds * 1e7)});
    }
    int64_t PerformanceCounter() override {
        int64_t next = stamps_.empty() ? 0 : stamps_.front();
        if (!stamps_.empty()) stamps_.pop_front();
        return next;
    }

  private:
    std::deque<int64_t> stamps_;
};

class BestServerTest : public test::SpeedtestTest {
  protected:
    void SetUp() override {
        SpeedtestTest::SetUp();
        InitLogger();
        UsePort(server_.port());
    }

    test::LoopbackServer server_{test::AnswerWith(test::HttpReply("test=test"))};
    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    ScriptedCounter counter_;
};

constexpr double kNoUrl = -1;         // a record without "url"
constexpr double kUnresolvable = -2;  // a url whose host does not resolve

std::string UrlOf(size_t i) {
    return "\"http://127.0.0.1/s" + std::to_string(i) + "/upload.php\"";
}

// The announcements, by how many there are: the chosen server first, then
// those avoided.
const std::vector<std::string> kSaid[] = {
    {},
    {},
    {"Using worst", "Avoid best"},
    {"Using 2nd Worst", "Avoid worst", "Avoid best"},
    {"Using 3rd worst", "Avoid 2nd worst", "Avoid worst", "Avoid best"}};

TEST_F(BestServerTest, ChoosesByTheThirdWorstRule) {
    struct Case {
        std::vector<double> latencies;
        std::vector<size_t> said;  // servers in the order announced
    } cases[] = {
        {{0.05, 0.01, 0.03, 0.04, 0.02}, {2, 3, 0, 1}},
        {{0.04, 0.01, 0.03, 0.02}, {3, 2, 0, 1}},
        {{0.03, 0.01, 0.02}, {2, 0, 1}},
        {{0.01, 0.02}, {1, 0}},
        {{0.02}, {0, 0}},
        {{0.02, 0.02}, {1, 0}},
        {{0.02, 0.02, 0.02}, {1, 2, 0}},
        {{kNoUrl, 0.03, kUnresolvable, 0.01}, {1, 3}},
        {{kNoUrl, kUnresolvable}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.latencies));
        ServerList servers(c.latencies.size(), {{"host", "\"listed.example:8080\""}});
        std::string console;
        for (size_t i = 0; i < c.latencies.size(); ++i) {
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
        for (size_t k = 0; k < c.said.size(); ++k) {
            char line[256];
            std::snprintf(line, sizeof(line), "GetBestServer: %s latency[%f] from: url=%s\n",
                          kSaid[c.said.size()][k].c_str(), c.latencies[c.said[k]],
                          UrlOf(c.said[k]).c_str());
            console += line;
        }

        test::ConsoleCapture capture;
        EXPECT_EQ(GetBestServer(servers), c.said.empty() ? -1 : static_cast<int>(c.said[0]));
        EXPECT_EQ(capture.text(), console);
        for (size_t i = 0; i < servers.size(); ++i) {
            bool answered = c.latencies[i] >= 0;
            EXPECT_EQ(servers[i].at("host"), answered ? "127.0.0.1" : "\"listed.example:8080\"");
            std::string path = answered ? "/s" + std::to_string(i) + "/" : "/s/\"";
            EXPECT_EQ(servers[i].count("pathForGet") ? servers[i].at("pathForGet") : "-",
                      c.latencies[i] == kNoUrl ? "-" : path);
        }
    }
}

}  // namespace
