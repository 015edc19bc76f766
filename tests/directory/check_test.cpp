// --check: sandrow's choice rule, the nearest targets, and the timed
// exchange against loopback servers.
#include <gtest/gtest.h>

#include "directory/check.h"
#include "directory_support.h"
#include "platform/socket.h"
#include "speedtest/http_exchange.h"
#include "speedtest/loopback_server.h"

namespace {

using directory::DirectoryConfig;
using dirtest::MakeTarget;
using namespace std::chrono_literals;

TEST(DirectoryCheck, ChoosesAsSandrowDoes) {
    using L = std::vector<std::optional<double>>;
    const std::pair<L, int> cases[] = {
        {{0.05, 0.01, 0.03, 0.04, 0.02}, 2},  // five: the third-slowest, the median
        {{0.04, 0.01, 0.03, 0.02}, 3},        // four: the second-fastest
        {{0.01, 0.03, 0.02}, 2},              // three: the median
        {{0.01, 0.02}, 1},                    // two: the slower one
        {{0.07}, 0},                          // one: that one
        // Equal: the later takes the slower place; the first is the fastest.
        {{0.02, 0.02}, 1},
        {{0.02, 0.02, 0.02}, 1},
        {{0.01, 0.03, 0.03}, 1},
        // Silent servers are passed over.
        {{std::nullopt, 0.05, std::nullopt, 0.01, 0.03}, 4},
        {{std::nullopt, 0.05}, 1},
        {{std::nullopt, std::nullopt}, -1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(directory::ChooseLikeSandrow(cases[i].first), cases[i].second) << i;
    }
    // Of a target's tries the median counts: "spiky" is the faster at its
    // best but the slower by its median, and so the one sandrow takes.
    DirectoryConfig config;
    config.location = {0, 0, ""};
    config.targets = {MakeTarget("spiky", "a.example", 1, 0),
                      MakeTarget("steady", "b.example", 2, 0)};
    const double seconds[] = {0.05, 0.01, 0.05, 0.03, 0.03, 0.03};
    size_t tried = 0;
    const directory::CheckNetwork scripted{
        [](const std::string&, uint32_t* address) {
            *address = 0;
            return true;
        },
        [&](uint32_t, const std::string&) {
            return directory::TryResult{true, seconds[tried++], "", ""};
        }};
    EXPECT_EQ(directory::RunCheck(config, scripted, 3).chosen, 0);
    // Byte for byte what the probe sends, so that a target is timed on the
    // very request sandrow will time it on.
    EXPECT_EQ(directory::TimedRequest("h.example"), BuildLatencyRequest("h.example"));
}

TEST(DirectoryCheck, TimesGoodFourOhFourSilentAndRefusingTargets) {
    // Targets on 127.0.0.2 to .5 at one port: the first answers 200 after
    // 100 ms, the second 404 at once, the third never; nothing listens on .5.
    test::LoopbackServer servers(
        [](test::Connection& c) {
            c.ReadRequest();
            if (c.local() == "127.0.0.2") {
                c.Pause(100);
                c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            } else if (c.local() == "127.0.0.3") {
                c.Send("HTTP/1.1 404 Not Found\r\n\r\n");
            } else {
                c.HoldSilently();  // until the client gives up
            }
        },
        {"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    DirectoryConfig config;
    config.location = {0, 0, ""};
    config.targets = {
        MakeTarget("good", "127.0.0.2", 1, 0),        MakeTarget("404", "127.0.0.3", 2, 0),
        MakeTarget("silent", "127.0.0.4", 3, 0),      MakeTarget("refusing", "127.0.0.5", 4, 0),
        MakeTarget("", "lookup.fails.example", 5, 0), MakeTarget("far", "127.0.0.2", 50, 0)};
    // The real exchange, on the servers' port instead of 80; lookups as
    // sandrow's, except for one name that fails.
    directory::CheckNetwork network;
    network.lookup = [](const std::string& host, uint32_t* address) {
        return host != "lookup.fails.example" && platform::LookupHostIPv4(host, address);
    };
    network.exchange = [port = servers.port()](uint32_t a, const std::string& r) {
        return directory::TimeExchange(a, port, r, 300ms);
    };
    const directory::CheckReport report = directory::RunCheck(config, network, 3);
    ASSERT_EQ(report.targets.size(), config.targets.size());
    const directory::TargetCheck& g = report.targets[0];
    EXPECT_EQ(g.address, "127.0.0.2");
    EXPECT_EQ(g.times.size(), 3u);
    EXPECT_EQ(g.statusLine, "HTTP/1.1 200 OK");
    ASSERT_TRUE(g.fastest && g.median);
    EXPECT_LE(*g.fastest, *g.median);
    EXPECT_GE(*g.fastest, 0.1);  // the time to the first byte
    EXPECT_LT(*g.median, 0.3);
    EXPECT_EQ(report.targets[1].statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(report.targets[1].times.size(), 3u);  // a 404 is an answer, as for sandrow
    EXPECT_LT(*report.targets[1].median, 0.1);
    EXPECT_TRUE(report.targets[2].times.empty());
    EXPECT_EQ(report.targets[2].statusLine, "no answer within 300 ms");
    EXPECT_FALSE(report.targets[2].median);
    EXPECT_TRUE(report.targets[3].times.empty());
    EXPECT_EQ(report.targets[3].statusLine, "connect: Connection refused");
    EXPECT_FALSE(report.targets[4].resolved);
    EXPECT_EQ(report.targets[4].statusLine, "name lookup failed");
    EXPECT_EQ(report.answered, 3u);
    // The five nearest; "far" is sixth, answers, and is never sandrow's.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(report.targets[static_cast<size_t>(i)].nearestRank, i);
    EXPECT_EQ(report.targets[5].nearestRank, -1);
    // Two of the nearest answered: sandrow takes the slower of the two.
    EXPECT_EQ(report.chosen, 0);

    const std::string table = directory::FormatCheckReport(config, report);
    for (const char* part : {"target", "nearest 1, CHOSEN", "(no name)", "3/3",
                             "sandrow would probe 127.0.0.2 (target 'good')"}) {
        EXPECT_NE(table.find(part), std::string::npos) << part << "\n" << table;
    }
}

}  // namespace
