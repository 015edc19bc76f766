// The directory against fake directory hosts on 127.0.0.1 and 127.0.0.2.
#include "speedtest/directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>

#include "speedtest/loopback_server.h"
#include "speedtest/speedtest_fixture.h"
#include "support/test_support.h"

namespace {

const char* kConfig =
    "<client ip=\"192.0.2.7\" lat=\"0\" lon=\"0\" isp=\"Example &amp; Co\" />\n"
    "<times dl1=\"5000\" dl2=\"35000\" /><download testlength=\"10\" /><upload ratio=\"5\" />\n";

// A server list; in each "id:lat:lon" an empty lat or lon is left out.
std::string List(const std::vector<std::string>& servers) {
    std::string document = "<settings><servers>\n";
    for (const std::string& s : servers) {
        const size_t one = s.find(':'), two = s.find(':', one + 1);
        const std::string id = s.substr(0, one), lat = s.substr(one + 1, two - one - 1);
        document += "<server url=\"http://s" + id + ".example/speedtest/upload.php\"" +
                    (lat.empty() ? "" : " lat=\"" + lat + "\"") +
                    (two + 1 == s.size() ? "" : " lon=\"" + s.substr(two + 1) + "\"") + " id=\"" +
                    id + "\" host=\"s" + id + ".example:8080\" />\n";
    }
    return document + "</servers></settings>\n";
}

std::vector<std::string> Ids(const ServerList& servers) {
    std::vector<std::string> ids;
    for (const ServerRecord& s : servers) ids.push_back(s.count("id") ? s.at("id") : "-");
    return ids;
}

class DirectoryTest : public test::SpeedtestTest {
  protected:
    void SetUp() override {
        SpeedtestTest::SetUp();
        UsePort(server_.port());
        UseDirectoryHosts();
    }
    void Serve(std::string config, std::string primary, std::string secondary) {
        std::lock_guard<std::mutex> lock(mutex_);
        served_ = {config, primary, secondary};
    }

    std::mutex mutex_;
    std::vector<std::string> served_;  // the configuration and the two lists
    // The configuration comes chunked, 100 bytes a chunk; the lists do not.
    test::LoopbackServer server_{
        [this](test::Connection& c) {
            c.ReadRequest();
            std::lock_guard<std::mutex> lock(mutex_);
            if (c.request().find("/speedtest-config.php") == std::string::npos) {
                c.Send(test::HttpReply(served_[c.local() == "127.0.0.1" ? 1 : 2]));
                return;
            }
            std::ostringstream reply;
            reply << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" << std::hex;
            for (size_t at = 0; at < served_[0].size(); at += 100) {
                std::string piece = served_[0].substr(at, 100);
                reply << piece.size() << "\r\n" << piece << "\r\n";
            }
            c.Send(reply.str() + "0\r\n\r\n");
        },
        {"127.0.0.1", "127.0.0.2"}};
    test::ConsoleCapture console_;
};

TEST_F(DirectoryTest, ConfigurationFillsTheFourMapsOrNamesTheTagThatFailed) {
    const std::string partial =
        "<client lat=\"1\" lon=\"2\" /><times a=\"1\" /><download b=\"2\" />";
    const std::string failed = "GetConfig: FAILED to constructed attr map for <";
    struct Case {
        std::string document;
        uint8_t report;
        int result;
        std::string console;
        size_t clientSize;
    } cases[] = {
        {partial, 1, -1, failed + "upload> tag\n", 2},
        {partial, 0, -1, "", 2},
        {"<client /><times a=\"1\" />", 1, -1, failed + "client> tag\n", 0},
        {"<client lat=\"1\" /><times a=\"1\" ", 1, -1,
         "ExtractTagAttributes: failed to find end tag for: times\n" + failed + "times> tag\n", 1},
        {"", 1, 0, "", 0},  // no body: done, nothing read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        ResetDirectoryForTest();
        Serve(c.document, "", "");
        console_.clear();
        EXPECT_EQ(GetConfig(c.report), c.result);
        EXPECT_EQ(console_.text(), c.console);
        EXPECT_EQ(gClientAttrs.size(), c.clientSize);
    }

    // Over older values: names read again are overwritten, the others stay.
    gTimesAttrs = {{"dl1", "old"}, {"kept", "yes"}};
    Serve(kConfig, "", "");
    ASSERT_EQ(GetConfig(1), 0);
    EXPECT_EQ(gClientAttrs.at("isp"), "\"Example & Co\"");
    EXPECT_EQ(gTimesAttrs,
              (AttributeMap{{"dl1", "\"5000\""}, {"dl2", "\"35000\""}, {"kept", "yes"}}));
    EXPECT_EQ(gDownloadAttrs.at("testlength") + gUploadAttrs.at("ratio"), "\"10\"\"5\"");
}

// From latitude 10 "far" would win. The requests, byte for byte.
TEST_F(DirectoryTest, AClientWithoutLongitudeStandsAtZeroZero) {
    Serve("<client lat=\"10\" /><times a=\"1\" /><download a=\"1\" /><upload a=\"1\" />",
          List({"far:9:0", "near:1:0"}), List({}));
    ASSERT_EQ(GetConfig(1), 0);
    ServerList servers;
    ASSERT_EQ(GetClosestServers(servers), 0);
    EXPECT_EQ(Ids(servers), (std::vector<std::string>{"\"near\"", "\"far\""}));

    server_.Stop();
    const std::string accept =
        " HTTP/1.1\r\nAccept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        "Accept-Language: en-US,en;q=0.5\r\n";
    const std::string end =
        "\r\nConnection: close\r\nUser-Agent: Mozilla/5.0 (Windows NT 6.3; WOW64)\r\n\r\n";
    const std::string list = "GET /speedtest-servers-static.php" + accept +
                             "Accept-Encoding: identity\r\nHost: 127.0.0.";
    EXPECT_EQ(server_.requests(), (std::vector<std::string>{"GET /speedtest-config.php" + accept +
                                                                "Host: 127.0.0.1" + end,
                                                            list + "1" + end, list + "2" + end}));
    EXPECT_EQ(console_.text(), "");
}

TEST(DistanceMiles, GreatCircleMilesAndNeverNaN) {
    const double halfWorld = 180.0 * 60.0 * 1.1515;
    struct Case {
        double lat1, lon1, lat2, lon2, miles;
    } cases[] = {
        {45, 7, 46, 7, 69.09},
        {0, 0, 0, 90, 90 * 69.09},
        {70.77573416707352, 3.5, 70.77573416707352, 3.5, 0.0},           // c rounds past 1 here
        {-8.20366069081986, -20, -8.20366069081986, -20, 0.0},           // and here
        {std::numeric_limits<double>::quiet_NaN(), 0, 1, 1, halfWorld},  // not a number: farthest
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(DistanceMiles(c.lat1, c.lon1, c.lat2, c.lon2), c.miles, 1e-6) << c.lat1;
    }
}

// The ranking keeps only what can still be chosen; over fetches that repeat,
// tie, mirror (latitude d and -d from the client at 0, 0) and move servers it
// must choose as ranking every server would: each (id, distance) once, in the
// order first seen, nearest first, after what the caller held.
TEST_F(DirectoryTest, KeepingOnlyTheNearestChoosesAsRankingEveryServerWould) {
    std::mt19937 random(12);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        ResetDirectoryForTest();
        std::vector<std::pair<int, std::string>> everRanked;  // degrees away, id
        for (int fetch = 0; fetch < 3; ++fetch) {
            std::vector<std::string> lists[2];
            for (std::vector<std::string>& list : lists) {
                for (int n = static_cast<int>(random() % 7); n > 0; --n) {
                    const std::string id = std::to_string(random() % 8);
                    const int lat = static_cast<int>(random() % 9) - 4;  // ties are common
                    list.push_back(id + ":" + (lat != 0 ? std::to_string(lat) : "") + ":0");
                    const std::pair<int, std::string> key{std::abs(lat), "\"" + id + "\""};
                    if (lat != 0 &&
                        std::find(everRanked.begin(), everRanked.end(), key) == everRanked.end()) {
                        everRanked.push_back(key);
                    }
                }
            }
            Serve(kConfig, List(lists[0]), List(lists[1]));
            ASSERT_EQ(GetConfig(1), 0);
            std::vector<std::pair<int, std::string>> expected = everRanked;
            std::stable_sort(expected.begin(), expected.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            std::vector<std::string> nearest{"kept"};
            for (size_t i = 0; i < expected.size() && i < 5; ++i)
                nearest.push_back(expected[i].second);
            ServerList servers{ServerRecord{{"id", "kept"}}};
            EXPECT_EQ(GetClosestServers(servers), nearest.size() == 1 ? -1 : 0);
            EXPECT_EQ(Ids(servers), nearest);
            // Every record listed; only the five that can still be chosen ranked.
            EXPECT_EQ(gPrimaryServerList.size() * 10 + gSecondaryServerList.size(),
                      lists[0].size() * 10 + lists[1].size());
            size_t ranked = 0;
            for (const auto& entry : gServersByDistance) ranked += entry.second.size();
            EXPECT_EQ(ranked, nearest.size() - 1);
        }
    }
}

}  // namespace
