// The scenario reader: the shipped default, the errors it names and the
// timeline it builds.
#include "lab/scenario.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lab/lab_support.h"

namespace {

using labtest::kMinimal;

TEST(Scenario, ReadsTheShippedDefault) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_DEFAULT_SCENARIO, &s, &error)) << error;
    EXPECT_EQ(s.name, "default");
    EXPECT_LE(s.duration, 130) << "about two minutes";
    ASSERT_EQ(s.sim.lines.size(), 1u);
    const lab::SimLine& line = s.sim.lines[0];
    EXPECT_GE(s.servers.size(), 5u);
    EXPECT_EQ(lab::RegistryValue(s, "vormprobemonthbudgetmb"), 0u);
    EXPECT_EQ(lab::RegistryValue(s, "IdleRecoverySecs"), 10u);
    // The four stories: an idle start, a saturated line whose limit (the
    // configured bandwidth) is above its capacity, a capacity drop, an idle end.
    ASSERT_EQ(s.phases.size(), 4u);
    const lab::Phase& saturated = s.phases[1];
    const lab::Phase& recovery = s.phases[3];
    const lab::DemandKind demands[] = {lab::DemandKind::Idle, lab::DemandKind::Greedy,
                                       lab::DemandKind::Greedy, lab::DemandKind::Idle};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lab::DemandAt(line.demand, s.phases[i].start).kind, demands[i]) << i;
    }
    auto capacity = [&](const lab::Phase& p) { return lab::CapacityAt(line.capacity, p.start); };
    EXPECT_GT(static_cast<double>(line.gateway.downloadBps) / 1e6, capacity(saturated));
    EXPECT_LT(capacity(s.phases[2]), capacity(saturated));
    EXPECT_GE(recovery.end - recovery.start, 2.0 * 10) << "room for the idle recovery";
    EXPECT_EQ(recovery.end, s.duration);
    for (size_t i = 0; i + 1 < s.phases.size(); ++i)
        EXPECT_EQ(s.phases[i].end, s.phases[i + 1].start);
}

TEST(Scenario, RefusesMalformedScenariosNamingTheLine) {
    // The scenario, and the error after "s.ini:"; a leading "+" is appended to kMinimal.
    const std::pair<std::string, std::string> cases[] = {
        {"+[directory]\nprimary = 10.0.0.1\n",
         "22: '10.0.0.1' is not an IPv4 loopback address (127.x.x.x) ('primary' in [directory])"},
        {"+[server c]\naddress = 127.0.2.1\ndelay_ms = 1\nlat = 0\nlon = 0\n",
         "0: address 127.0.2.1 of [server c] is used twice"},
        {"+[server c]\naddress = 127.0.2.9\ndelay_ms = 1\nlat = 0\nlon = 0\nline = h\n",
         "26: no [gateway h] for [server c]"},
        {"+[registry]\nDebugLevel = 4294967296\n",
         "22: '4294967296' is not a DWORD (0 to 4294967295) for 'DebugLevel' in [registry]"},
        {"+[registry]\nJTFA = 1\njtfa = 0\n", "23: 'jtfa' given twice in [registry]"},
        {"+[events]\n31 = service_stop\n", "22: event at 31 s is after the end (duration 30 s)"},
        {"+[events]\n3 = reboot\n",
         "22: unknown event 'reboot' (service_stop, service_start, set_bandwidth, server_down, "
         "server_up, directory_down, directory_up)"},
        {"+[sandrow]\nclock_jump_at = 3\n",
         "21: clock_jump_at and clock_jump go together in [sandrow]"},
        {"+[sandrow]\nstart_at = 30\n", "0: sandrow starts at 30 s, not before the end (30 s)"},
        {"+[phase late]\nstart = 5\n", "0: the first [phase] must start at 0"},
        {"+[weather]\nsunny = yes\n",
         "21: unknown section [weather] (run, kernel, gateway, directory, server, collector, "
         "registry, sandrow, phase, events)"},
        {"[gateway g]\nmac = m\nid = 1\ndownload_mbps = 1\nupload_mbps = 1\ncapacity = 0:1\n",
         "0: no [run] section (it gives the duration)"},
    };
    for (const auto& [text, expected] : cases) {
        lab::Scenario s;
        std::string error;
        EXPECT_FALSE(lab::ParseScenario(text[0] == '+' ? kMinimal + text.substr(1) : text, "s.ini",
                                        &s, &error))
            << expected;
        EXPECT_EQ(error, "s.ini:" + expected);
    }
}

TEST(Scenario, EventsRunInTimeOrderAndPhasesFollowTheSchedules) {
    const lab::Scenario s =
        labtest::Parsed(kMinimal +
                            "[events]\n20 = service_start\n4.5 = service_stop\n"
                            "20 = set_bandwidth g 35\n7 = server_down b refuse\n"
                            "9 = server_up all\n",
                        "dir/quick.ini");
    EXPECT_EQ(s.name, "quick");
    ASSERT_EQ(s.events.size(), 5u);
    const std::pair<double, lab::EventKind> expected[] = {
        {4.5, lab::EventKind::ServiceStop}, {7, lab::EventKind::ServerDown},
        {9, lab::EventKind::ServerUp},      {20, lab::EventKind::ServiceStart},
        {20, lab::EventKind::SetBandwidth},
    };
    for (size_t i = 0; i < s.events.size(); ++i) {
        EXPECT_EQ(std::make_pair(s.events[i].at, s.events[i].kind), expected[i]) << i;
    }
    EXPECT_EQ(s.events[1].servers, std::vector<size_t>{1});
    EXPECT_EQ(s.events[1].mode, lab::DownMode::Refuse);
    EXPECT_EQ(s.events[2].servers, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(s.events[4].mbps, 35);
    // No [phase]: cut at 0, the demand step at 5 and the capacity step at 10.
    ASSERT_EQ(s.phases.size(), 3u);
    EXPECT_EQ(s.phases[0].name, "0-5 s");
    EXPECT_EQ(s.phases[1].start, 5);
    EXPECT_EQ(s.phases[2].end, 30);
    EXPECT_EQ(s.servers[1].line, 0u);
    EXPECT_EQ(s.collector.responses, std::vector<int>{200});
}

}  // namespace
