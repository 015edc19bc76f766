// The directory against two fake directory hosts on loopback (127.0.0.1 and
// 127.0.0.2): the requests, the configuration maps and the distance ranking.
#include "speedtest/directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <limits>
#include <mutex>

#include "core/process.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"
#include "support/test_support.h"

namespace {

const char* kConfig =
    "<settings>\n<client ip=\"192.0.2.7\" lat=\"0\" lon=\"0\" isp=\"Example &amp; Co\" />\n"
    "<times dl1=\"5000\" dl2=\"35000\" />\n<download testlength=\"10\" />\n"
    "<upload ratio=\"5\" />\n</settings>\n";

std::string Server(const std::string& id, const std::string& lat, const std::string& lon = "0") {
    std::string tag = "<server url=\"http://s" + id + ".example/speedtest/upload.php\"";
    if (!lat.empty()) tag += " lat=\"" + lat + "\"";
    if (!lon.empty()) tag += " lon=\"" + lon + "\"";
    return tag + " id=\"" + id + "\" host=\"s" + id + ".example:8080\" />\n";
}

std::string List(const std::vector<std::string>& servers) {
    std::string document = "<settings>\n<servers>\n";
    for (const std::string& s : servers) document += s;
    return document + "</servers>\n</settings>\n";
}

std::vector<std::string> Ids(const ServerList& servers) {
    std::vector<std::string> ids;
    for (const ServerRecord& s : servers) ids.push_back(s.count("id") ? s.at("id") : "-");
    return ids;
}

// The configuration in chunks of 100 bytes.
std::string Chunked(const std::string& body) {
    std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += 100) {
        std::string piece = body.substr(at, 100);
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
        reply += size + piece + "\r\n";
    }
    return reply + "0\r\n\r\n";
}

class DirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCoreForTest();
        ResetDirectoryForTest();
        ExchangeSettings settings;
        settings.port = server_.port();
        SetExchangeSettingsForTest(settings);
        ::setenv("SANDROW_DIRECTORY_HOST", "127.0.0.1", 1);
        ::setenv("SANDROW_DIRECTORY_HOST2", "127.0.0.2", 1);
    }
    void TearDown() override {
        ::unsetenv("SANDROW_DIRECTORY_HOST");
        ::unsetenv("SANDROW_DIRECTORY_HOST2");
        ResetExchangeSettingsForTest();
        ResetDirectoryForTest();
        ResetCoreForTest();
    }
    void Serve(std::string config, std::string primary, std::string secondary) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_ = std::move(config);
        primary_ = std::move(primary);
        secondary_ = std::move(secondary);
    }

    std::mutex mutex_;
    std::string config_, primary_, secondary_;
    test::LoopbackServer server_{
        [this](test::Connection& c) {
            c.ReadRequest();
            std::lock_guard<std::mutex> lock(mutex_);
            if (c.request().find("/speedtest-config.php") != std::string::npos) {
                c.Write(Chunked(config_));
            } else {
                c.Write(test::HttpReply(c.local() == "127.0.0.1" ? primary_ : secondary_));
            }
        },
        {"127.0.0.1", "127.0.0.2"}};
    test::ConsoleCapture console_;
};

TEST_F(DirectoryTest, RequestsAreSentByteForByte) {
    Serve(kConfig, List({Server("1", "1")}), List({}));
    ASSERT_EQ(GetConfig(1), 0);
    ServerList servers;
    ASSERT_EQ(GetClosestServers(servers), 0);
    auto list = [](const char* host) {
        return std::string(
                   "GET /speedtest-servers-static.php HTTP/1.1\r\n"
                   "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
                   "Accept-Language: en-US,en;q=0.5\r\n"
                   "Accept-Encoding: identity\r\n"
                   "Host: ") +
               host +
               "\r\nConnection: close\r\nUser-Agent: Mozilla/5.0 (Windows NT 6.3; WOW64)\r\n\r\n";
    };
    const std::vector<std::string> expected = {
        "GET /speedtest-config.php HTTP/1.1\r\n"
        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        "Accept-Language: en-US,en;q=0.5\r\n"
        "Host: 127.0.0.1\r\n"
        "Connection: close\r\n"
        "User-Agent: Mozilla/5.0 (Windows NT 6.3; WOW64)\r\n"
        "\r\n",
        list("127.0.0.1"), list("127.0.0.2")};
    server_.Stop();
    EXPECT_EQ(server_.requests(), expected);
    EXPECT_EQ(console_.text(), "");
}

TEST_F(DirectoryTest, ConfigurationFillsTheFourMapsOrNamesTheTagThatFailed) {
    const std::string partial =
        "<client lat=\"1\" lon=\"2\" /><times a=\"1\" /><download b=\"2\" />";
    struct Case {
        std::string document;
        uint8_t report;
        int result;
        std::string console;
        size_t clientSize;
    } cases[] = {
        {kConfig, 1, 0, "", 4},
        {partial, 1, -1, "GetConfig: FAILED to constructed attr map for <upload> tag\n", 2},
        {partial, 0, -1, "", 2},
        {"<client /><times a=\"1\" />", 1, -1,
         "GetConfig: FAILED to constructed attr map for <client> tag\n", 0},
        {"<client lat=\"1\" /><times a=\"1\" ", 1, -1,
         "ExtractTagAttributes: failed to find end tag for: times\n"
         "GetConfig: FAILED to constructed attr map for <times> tag\n",
         1},
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

    // Over older values: names found again are overwritten, the others stay.
    ResetDirectoryForTest();
    gTimesAttrs = {{"dl1", "old"}, {"kept", "yes"}};
    Serve(kConfig, "", "");
    ASSERT_EQ(GetConfig(1), 0);
    EXPECT_EQ(gClientAttrs.at("isp"), "\"Example & Co\"");
    EXPECT_EQ(gTimesAttrs,
              (AttributeMap{{"dl1", "\"5000\""}, {"dl2", "\"35000\""}, {"kept", "yes"}}));
    EXPECT_EQ(gDownloadAttrs.at("testlength"), "\"10\"");
    EXPECT_EQ(gUploadAttrs.at("ratio"), "\"5\"");

    ::unsetenv("SANDROW_DIRECTORY_HOST");
    console_.clear();
    EXPECT_EQ(GetConfig(1), -1);
    EXPECT_EQ(console_.text(), "GetConfig: my_gethostbyname() failure, error = -2\n");
    EXPECT_TRUE(gLastErrorSet);
}

// The client stands at 0, 0: a server at latitude d on the meridian is
// d × 69.09 miles away, and one at -d exactly as far.
TEST_F(DirectoryTest, FiveNearestAreAppendedAndEachServerRankedOnce) {
    Serve(kConfig,
          List({Server("1", "3"), Server("2", "1"), Server("3", "2"), Server("4", ""),
                Server("5", "-1"), Server("6", "5"), Server("7", "4")}),
          List({Server("2", "1"), Server("8", "0.5"), Server("9", "1")}));
    ASSERT_EQ(GetConfig(1), 0);
    ServerList servers{ServerRecord{{"id", "kept"}}};
    ASSERT_EQ(GetClosestServers(servers), 0);
    // Equal distances in the order ranked; 4 has no lat, the second 2 is a repeat.
    EXPECT_EQ(Ids(servers),
              (std::vector<std::string>{"kept", "\"8\"", "\"2\"", "\"5\"", "\"9\"", "\"3\""}));
    EXPECT_EQ(gPrimaryServerList.size(), 7u);
    EXPECT_EQ(gSecondaryServerList.size(), 3u);
    EXPECT_EQ(Ids(gServersByDistance.at(DistanceMiles(0, 0, 1, 0))),
              (std::vector<std::string>{"\"2\"", "\"5\"", "\"9\""}));
    EXPECT_EQ(servers[1].at("host"), "\"s8.example:8080\"");

    // Another pass ranks nothing again and appends the same five.
    ASSERT_EQ(GetClosestServers(servers), 0);
    EXPECT_EQ(Ids(ServerList(servers.begin() + 6, servers.end())),
              Ids(ServerList(servers.begin() + 1, servers.begin() + 6)));
    size_t ranked = 0;
    for (const auto& entry : gServersByDistance) ranked += entry.second.size();
    EXPECT_EQ(ranked, 8u);
}

TEST_F(DirectoryTest, ClientWithoutLongitudeStandsAtZeroZero) {
    // From latitude 10 the server at 9 would be the nearer one.
    Serve("<client lat=\"10\" /><times a=\"1\" /><download a=\"1\" /><upload a=\"1\" />",
          List({Server("far", "9"), Server("near", "1")}), List({}));
    ASSERT_EQ(GetConfig(1), 0);
    ServerList servers;
    ASSERT_EQ(GetClosestServers(servers), 0);
    EXPECT_EQ(Ids(servers), (std::vector<std::string>{"\"near\"", "\"far\""}));
}

TEST_F(DirectoryTest, NothingRankedIsAFailure) {
    struct Case {
        std::string config, list;
        bool secondaryHost;
        std::string console;
    } cases[] = {
        {"", List({Server("1", "1")}), true, ""},  // no client attributes ever read
        {kConfig, List({Server("1", ""), Server("2", "1", "")}), true, ""},
        {kConfig, "<servers></servers>", true, ""},
        {kConfig, "", true, ""},
        {kConfig, List({Server("1", "1")}), false,
         "GetClosestServersFrom: my_gethostbyname() failure, error = -2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config + c.list);
        ResetDirectoryForTest();
        if (!c.secondaryHost) ::unsetenv("SANDROW_DIRECTORY_HOST2");
        Serve(c.config, c.list, c.list);
        EXPECT_EQ(GetConfig(1), 0);
        console_.clear();
        ServerList servers;
        EXPECT_EQ(GetClosestServers(servers), -1);
        EXPECT_TRUE(servers.empty());
        EXPECT_EQ(console_.text(), c.console);
    }
}

TEST(DistanceMiles, GreatCircleMilesAndNeverNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double halfWorld = 180.0 * 60.0 * 1.1515;
    struct Case {
        double lat1, lon1, lat2, lon2, miles;
    } cases[] = {
        {0, 0, 1, 0, 69.09},
        {45, 7, 46, 7, 69.09},
        {0, 0, 0, 90, 90 * 69.09},
        {90, 0, -90, 0, halfWorld},
        {70.77573416707352, 3.5, 70.77573416707352, 3.5, 0.0},  // c rounds past 1 here
        {-8.20366069081986, -20, -8.20366069081986, -20, 0.0},  // and here
        {nan, 0, 1, 1, halfWorld},  // a position that is not a number: farthest
        {0, 0, inf, 0, halfWorld},
    };
    for (const Case& c : cases) {
        double miles = DistanceMiles(c.lat1, c.lon1, c.lat2, c.lon2);
        EXPECT_NEAR(miles, c.miles, 1e-6) << c.lat1 << "," << c.lon1 << " " << c.lat2;
    }
}

}  // namespace
