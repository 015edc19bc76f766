// The documents as sandrow reads them: served by the directory on loopback,
// fetched, parsed, ranked and chosen from by sandrow's own speed-test code.
#include <gtest/gtest.h>

#include <cstdlib>

#include "directory/check.h"
#include "directory_support.h"
#include "speedtest/best_server.h"
#include "speedtest/speedtest_fixture.h"
#include "speedtest/tag_parser.h"

namespace {

using directory::DirectoryConfig;
using dirtest::MakeTarget;
using dirtest::ServedDirectory;

std::string Unquoted(std::string text) {
    StripQuotes(text);
    return text;
}

// An attribute's value as sandrow's parser keeps it, in its double quotes.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    quoted += text;
    quoted += '"';
    return quoted;
}

// `count` targets around the location; every target's host is the
// directory's own address, which answers sandrow's latency request too (with
// a 404, which counts as an answer).
DirectoryConfig Targets(size_t count) {
    DirectoryConfig config;
    config.location = {52.52, 13.405, "Bits & Bytes"};
    for (size_t i = 0; i < count; ++i) {
        // Farther and farther, but out of order in the file.
        const double step = static_cast<double>((i * 7) % count) + 1;
        std::string name = "t";  // not "t" + to_string(): GCC 12's -Wrestrict misreads it
        name += std::to_string(i);
        config.targets.push_back(
            MakeTarget(name, "127.0.0.1", 52.52 + step * 0.25, 13.405 - step * 0.125));
    }
    return config;
}

class DirectoryDocuments : public test::SpeedtestTest {};

TEST_F(DirectoryDocuments, SandrowReadsRanksAndChoosesFromThem) {
    // Three at exactly the same place: ranked in file order, none lost.
    DirectoryConfig ties = Targets(2), unnamed = Targets(3);
    ties.targets.insert(ties.targets.begin(), MakeTarget("same a", "127.0.0.1", 50, 10));
    for (const char* name : {"same b", "same c"})
        ties.targets.push_back(MakeTarget(name, "127.0.0.1", 50, 10));
    ties.targets.push_back(MakeTarget("far", "127.0.0.1", -50, -170));
    unnamed.targets[1].name = unnamed.targets[2].name = "";
    const std::pair<const char*, DirectoryConfig> cases[] = {{"one target", Targets(1)},

                                                             {"twelve targets", Targets(12)},
                                                             {"ties in distance", ties},
                                                             {"targets without a name", unnamed}};
    for (const auto& [what, config] : cases) {
        SCOPED_TRACE(what);
        ServedDirectory served(config);
        ResetDirectoryForTest();
        UsePort(served.port(), 2000, 2000);  // a lost connection costs little
        UseDirectoryHosts("127.0.0.1");      // the same directory twice

        ASSERT_EQ(GetConfig(0), 0);
        EXPECT_EQ(Unquoted(gClientAttrs["lat"]), directory::Coordinate(config.location.lat));
        EXPECT_EQ(Unquoted(gClientAttrs["lon"]), directory::Coordinate(config.location.lon));
        EXPECT_EQ(gClientAttrs["isp"], "\"Bits & Bytes\"");

        ServerList nearest;
        ASSERT_EQ(GetClosestServers(nearest), 0);
        // Every target is in the full list, in file order, with its id.
        ASSERT_EQ(gPrimaryServerList.size(), config.targets.size());
        for (size_t i = 0; i < config.targets.size(); ++i) {
            const directory::Target& t = config.targets[i];
            ServerRecord& r = gPrimaryServerList[i];
            EXPECT_EQ(r["id"], Quoted(std::to_string(i + 1)));
            EXPECT_EQ(r["name"], "\"" + t.name + "\"");
            EXPECT_EQ(r["url"], "\"http://" + t.host + "/speedtest/upload.php\"");
            EXPECT_EQ(r["host"], "\"" + t.host + "\"");
            EXPECT_DOUBLE_EQ(std::strtod(Unquoted(r["lat"]).c_str(), nullptr), t.lat);
            EXPECT_DOUBLE_EQ(std::strtod(Unquoted(r["lon"]).c_str(), nullptr), t.lon);
        }
        // Sandrow's five nearest are the check's, in the same order: the same
        // server from both directory hosts ranked once.
        const std::vector<size_t> expected = directory::NearestTargets(config);
        ASSERT_EQ(nearest.size(), expected.size());
        for (size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(nearest[k]["id"], Quoted(std::to_string(expected[k] + 1))) << k;
        }

        // The choice: every one answers (the directory's 404), and the host
        // comes out of the url as written, without a port.
        const int chosen = GetBestServer(nearest);
        ASSERT_GE(chosen, 0);
        ASSERT_LT(static_cast<size_t>(chosen), nearest.size());
        EXPECT_EQ(nearest[static_cast<size_t>(chosen)]["host"], "127.0.0.1");
        EXPECT_EQ(nearest[static_cast<size_t>(chosen)]["pathForGet"], "/speedtest/");
        std::string lastError;
        EXPECT_FALSE(TakeLastErrorText(&lastError)) << lastError;
    }
}

TEST_F(DirectoryDocuments, HostileTextsStayInsideTheirAttributes) {
    // Quotes, markup, "=" after a blank and "/>" would each end a value or a
    // tag early in sandrow's reader.
    const std::string nasty = "a\" b=c /> <server url=\"http://evil/\" & d";
    DirectoryConfig config;
    config.location = {1, 2, nasty};
    directory::Target t = MakeTarget(nasty, "h.example", 3, 4);
    t.sponsor = nasty;
    t.country = "=";
    t.cc = "<>";
    config.targets.push_back(t);
    config.targets.push_back(MakeTarget("second", "g.example", 5, 6));

    const std::string list = directory::ServerListDocument(config);
    ServerList servers;
    size_t start = 0, end = 0;
    for (ServerRecord r;
         ExtractTagAttributes(list, servers.empty() ? 0 : start + 1, "server", r, start, end) == 0;
         r.clear()) {
        servers.push_back(r);
    }
    ASSERT_EQ(servers.size(), 2u);
    for (const ServerRecord& r : servers) {
        std::string keys;
        for (const auto& [key, value] : r) keys += key + " ";
        EXPECT_EQ(keys, "cc country host id lat lon name sponsor url ");
    }
    EXPECT_EQ(servers[1].at("url"), "\"http://g.example/speedtest/upload.php\"");
    // The name as sandrow keeps it: "&amp;" decoded, the rest as references.
    EXPECT_EQ(servers[0].at("name"),
              "\"a&quot; b&#61;c /&gt; &lt;server url&#61;&quot;http://evil/&quot; & d\"");

    AttributeMap client;
    ASSERT_EQ(
        ExtractTagAttributes(directory::ConfigDocument(config), 0, "client", client, start, end),
        0);
    EXPECT_EQ(client.size(), 3u);  // lat, lon, isp
    // Coordinates read back as the same numbers, and never in exponent form.
    for (double degrees : {0.0, -0.0, 52.52, -13.405, 89.999999, -180.0, 1e-7, 151.2093}) {
        const std::string text = directory::Coordinate(degrees);
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), degrees) << text;
    }
    EXPECT_EQ(directory::XmlAttribute("a&b<c>d\"e=f g"), "a&amp;b&lt;c&gt;d&quot;e&#61;f g");
}

}  // namespace
