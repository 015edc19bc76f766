// The scenario reader, the documents the lab serves (read back with the
// monitor's own parsers), the hive, sandrow's time zone and the summary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "lab/documents.h"
#include "lab/results.h"
#include "lab/scenario.h"
#include "platform/registry.h"
#include "speedtest/best_server.h"
#include "speedtest/tag_parser.h"
#include "support/test_support.h"

namespace {

const std::string kMinimal =
    "[run]\nduration = 30\n"
    "[gateway g]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 40\nupload_mbps = 10\n"
    "capacity = 0:30, 10:20\ndemand = 0:idle, 5:greedy\n"
    "[server a]\naddress = 127.0.2.1\ndelay_ms = 5\nlat = 1\nlon = 2\n"
    "[server b]\naddress = 127.0.2.2\ndelay_ms = 7\nlat = 3\nlon = 4\nline = g\n";

TEST(Scenario, ReadsTheShippedDefault) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_DEFAULT_SCENARIO, &s, &error)) << error;
    EXPECT_EQ(s.name, "default");
    EXPECT_LE(s.duration, 130) << "about two minutes";
    ASSERT_EQ(s.sim.lines.size(), 1u);
    const corvane::SimLine& line = s.sim.lines[0];
    EXPECT_GE(s.servers.size(), 5u);
    EXPECT_EQ(lab::RegistryValue(s, "vormprobemonthbudgetmb"), 0u);
    EXPECT_EQ(lab::RegistryValue(s, "IdleRecoverySecs"), 10u);
    // The four stories: an idle start, a saturated line whose limit (the
    // configured bandwidth) is above its capacity, a capacity drop, an idle end.
    ASSERT_EQ(s.phases.size(), 4u);
    const lab::Phase& idle = s.phases[0];
    const lab::Phase& saturated = s.phases[1];
    const lab::Phase& drop = s.phases[2];
    const lab::Phase& recovery = s.phases[3];
    EXPECT_EQ(corvane::DemandAt(line.demand, idle.start).kind, corvane::DemandKind::Idle);
    EXPECT_EQ(corvane::DemandAt(line.demand, saturated.start).kind, corvane::DemandKind::Greedy);
    EXPECT_GT(static_cast<double>(line.gateway.downloadBps) / 1e6,
              corvane::CapacityAt(line.capacity, saturated.start));
    EXPECT_LT(corvane::CapacityAt(line.capacity, drop.start),
              corvane::CapacityAt(line.capacity, saturated.start));
    EXPECT_EQ(corvane::DemandAt(line.demand, drop.start).kind, corvane::DemandKind::Greedy);
    EXPECT_EQ(corvane::DemandAt(line.demand, recovery.start).kind, corvane::DemandKind::Idle);
    EXPECT_GE(recovery.end - recovery.start, 2.0 * 10) << "room for the idle recovery";
    EXPECT_EQ(recovery.end, s.duration);
    for (size_t i = 0; i + 1 < s.phases.size(); ++i)
        EXPECT_EQ(s.phases[i].end, s.phases[i + 1].start);
}

TEST(Scenario, RefusesMalformedScenariosNamingTheLine) {
    struct Case {
        std::string text;
        std::string error;  // after "s.ini:"
    };
    const Case cases[] = {
        {kMinimal + "[directory]\nprimary = 10.0.0.1\n",
         "22: '10.0.0.1' is not an IPv4 loopback address (127.x.x.x) ('primary' in [directory])"},
        {kMinimal + "[server c]\naddress = 127.0.2.1\ndelay_ms = 1\nlat = 0\nlon = 0\n",
         "0: address 127.0.2.1 of [server c] is used twice"},
        {kMinimal + "[server c]\naddress = 127.0.2.9\ndelay_ms = 1\nlat = 0\nlon = 0\nline = h\n",
         "26: no [gateway h] for [server c]"},
        {kMinimal + "[collector]\nresponses = 200, 99\n",
         "22: '99' is not an HTTP status (100 to 599) in [collector]"},
        {kMinimal + "[registry]\nDebugLevel = 4294967296\n",
         "22: '4294967296' is not a DWORD (0 to 4294967295) for 'DebugLevel' in [registry]"},
        {kMinimal + "[registry]\nJTFA = 1\njtfa = 0\n", "23: 'jtfa' given twice in [registry]"},
        {kMinimal + "[events]\n31 = service_stop\n",
         "22: event at 31 s is after the end (duration 30 s)"},
        {kMinimal + "[events]\n3 = reboot\n",
         "22: unknown event 'reboot' (service_stop, service_start, set_bandwidth, server_down, "
         "server_up, directory_down, directory_up)"},
        {kMinimal + "[events]\n3 = server_down z\n", "22: no [server z] for the event"},
        {kMinimal + "[events]\n3 = server_down all slowly\n",
         "22: 'slowly' is not refuse, close or hang"},
        {kMinimal + "[events]\n3 = set_bandwidth g\n",
         "22: usage: set_bandwidth GATEWAY MBPS (in [events])"},
        {kMinimal + "[sandrow]\nclock = 61:00\n",
         "22: clock = 61:00 is not MM:SS (local minute and second at start) in [sandrow]"},
        {kMinimal + "[sandrow]\nclock_jump_at = 3\n",
         "21: clock_jump_at and clock_jump go together in [sandrow]"},
        {kMinimal + "[sandrow]\nclock_jump_at = 3\nclock_jump = 1:00\n",
         "23: clock_jump needs clock in [sandrow]"},
        {kMinimal + "[sandrow]\nstart_at = 30\n",
         "0: sandrow starts at 30 s, not before the end (30 s)"},
        {kMinimal + "[phase late]\nstart = 5\n", "0: the first [phase] must start at 0"},
        {kMinimal + "[weather]\nsunny = yes\n",
         "21: unknown section [weather] (run, kernel, gateway, directory, server, collector, "
         "registry, sandrow, phase, events)"},
        {kMinimal + "[directory x]\n", "21: [directory] takes no name"},
        {kMinimal + "[collector]\n[collector]\n", "22: a second [collector]"},
        {"[gateway g]\nmac = m\nid = 1\ndownload_mbps = 1\nupload_mbps = 1\ncapacity = 0:1\n",
         "0: no [run] section (it gives the duration)"},
        {"[run]\nduration = 5\n", "0: no [gateway NAME] section"},
        {kMinimal + "[server a2]\naddress = 127.0.2.3\ndelay_ms = 1\nlat = 0\nlon = 0\nid = 1001\n",
         "21: id 1001 is already used by [server a]"},
    };
    for (const Case& c : cases) {
        lab::Scenario s;
        std::string error;
        EXPECT_FALSE(lab::ParseScenario(c.text, "s.ini", &s, &error)) << c.error;
        EXPECT_EQ(error, "s.ini:" + c.error);
    }
}

TEST(Scenario, EventsRunInTimeOrderAndPhasesFollowTheSchedules) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::ParseScenario(kMinimal + "[events]\n20 = service_start\n4.5 = service_stop\n"
                                              "20 = set_bandwidth g 35\n7 = server_down b refuse\n"
                                              "9 = server_up all\n",
                                   "dir/quick.ini", &s, &error))
        << error;
    EXPECT_EQ(s.name, "quick");
    ASSERT_EQ(s.events.size(), 5u);
    const std::pair<double, lab::EventKind> expected[] = {
        {4.5, lab::EventKind::ServiceStop}, {7, lab::EventKind::ServerDown},
        {9, lab::EventKind::ServerUp},      {20, lab::EventKind::ServiceStart},
        {20, lab::EventKind::SetBandwidth},
    };
    for (size_t i = 0; i < s.events.size(); ++i) {
        EXPECT_EQ(s.events[i].at, expected[i].first) << i;
        EXPECT_EQ(s.events[i].kind, expected[i].second) << i;
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
    EXPECT_EQ(s.servers[0].id, 1001);
    EXPECT_EQ(s.collector.responses, std::vector<int>{200});
}

TEST(LabDocuments, MonitorReadsTheConfigurationAndTheServerList) {
    lab::DirectorySetup d;
    d.lat = 52.52;
    d.lon = -13.4;
    d.isp = "A & B \"Net\"";
    std::string config = lab::ConfigDocument(d);
    const char* tags[] = {"client", "times", "download", "upload"};
    for (const char* tag : tags) {
        AttributeMap attributes;
        size_t start = 0, end = 0;
        EXPECT_EQ(ExtractTagAttributes(config, 0, tag, attributes, start, end), 0) << tag;
        EXPECT_FALSE(attributes.empty()) << tag;
    }
    AttributeMap client;
    size_t start = 0, end = 0;
    ASSERT_EQ(ExtractTagAttributes(config, 0, "client", client, start, end), 0);
    EXPECT_EQ(client["lat"], "\"52.52\"");
    EXPECT_EQ(client["lon"], "\"-13.4\"");
    EXPECT_EQ(client["isp"], "\"A & B &quot;Net&quot;\"") << "the monitor decodes only &amp;";

    std::vector<lab::ServerSetup> servers(3);
    for (size_t i = 0; i < servers.size(); ++i) {
        servers[i].name = "S " + std::to_string(i);
        servers[i].address = "127.0.2." + std::to_string(i + 1);
        servers[i].lat = 50.0 + static_cast<double>(i);
        servers[i].lon = 10.5;
        servers[i].id = 1001 + static_cast<int32_t>(i);
    }
    std::string list = lab::ServerListDocument(servers);
    size_t position = 0;
    for (size_t i = 0; i < servers.size(); ++i) {
        AttributeMap server;
        ASSERT_EQ(ExtractTagAttributes(list, position, "server", server, start, end), 0) << i;
        position = start + 1;
        std::string host, path;
        ASSERT_EQ(GetHostFromUrl(server["url"], host, path), 0);
        EXPECT_EQ(host, servers[i].address) << "probes go to port 80 of the stand-in";
        EXPECT_EQ(path, "/speedtest/");
        EXPECT_EQ(server["lat"], "\"" + lab::Num(servers[i].lat, 4) + "\"");
        EXPECT_EQ(server["id"], "\"" + std::to_string(servers[i].id) + "\"");
        EXPECT_EQ(server["name"], "\"S " + std::to_string(i) + "\"");
    }
    AttributeMap none;
    EXPECT_EQ(ExtractTagAttributes(list, position, "server", none, start, end), -1);
}

TEST(LabDocuments, ReadsTheMonitorsReportForm) {
    std::string request = test::ReadFile(REPORT_REQUEST_FIXTURE);
    size_t split = request.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    std::string type = "multipart/form-data; boundary=---------------------------251332668624907";
    lab::ReportForm form;
    ASSERT_TRUE(lab::ParseReportForm(type, request.substr(split + 4), &form));
    EXPECT_EQ(form.machineName, "TESTBOX");
    EXPECT_EQ(form.macAddress, "02-00-00-00-00-01");
    EXPECT_EQ(form.gatewayMac, "02-00-00-00-00-FE");
    EXPECT_EQ(form.probes, 17u);
    EXPECT_EQ(form.currentBandwidth, 98765432u);
    EXPECT_EQ(form.initialBandwidth, 705032704u);
    EXPECT_EQ(form.version, "1.1.0.511");
    EXPECT_FALSE(lab::ParseReportForm("text/plain", request.substr(split + 4), &form));
    EXPECT_FALSE(lab::ParseReportForm(type, "no form here", &form));
}

TEST(LabDocuments, HiveIsReadByTheMonitorsRegistry) {
    test::TempDir dir;
    test::WriteFile(dir.file("r.reg"), lab::HiveText({{"IdleRecoverySecs", 10},
                                                      {"VormProbeMonthBudgetMB", 0},
                                                      {"DebugLevel", 0xDEADBEEF}}));
    ::setenv("SANDROW_REGISTRY", dir.file("r.reg").c_str(), 1);
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegOpenKeyExW(platform::HkeyLocalMachine(), L"SOFTWARE\\Pellworth\\Mervix",
                                      0, platform::KEY_READ, &key),
              platform::ERROR_SUCCESS);
    const std::pair<const wchar_t*, uint32_t> values[] = {
        {L"IdleRecoverySecs", 10}, {L"vormprobemonthbudgetmb", 0}, {L"DebugLevel", 0xDEADBEEF}};
    for (const auto& [name, expected] : values) {
        uint32_t value = 12345;
        platform::DWORD size = sizeof value;
        EXPECT_EQ(platform::RegQueryValueExW(key, name, nullptr, nullptr,
                                             reinterpret_cast<platform::BYTE*>(&value), &size),
                  platform::ERROR_SUCCESS);
        EXPECT_EQ(value, expected);
    }
    platform::RegCloseKey(key);
    ::unsetenv("SANDROW_REGISTRY");
}

// Local minute and second of `t` under the current TZ.
std::pair<int, int> LocalMinuteSecond(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return {local.tm_min, local.tm_sec};
}

TEST(LabClock, TimeZonePutsLocalTimeWhereAskedAndJumpsOnTime) {
    struct Case {
        const char* utc;  // start, "YYYY-MM-DD HH:MM:SS" UTC
        int minute, second;
        double jumpAt;
        int jumpSeconds;
    };
    const Case cases[] = {
        {"2026-12-05 16:36:15", 59, 57, 8, 59 * 60},
        {"2026-12-31 23:59:50", 59, 58, 10, 59 * 60},  // the jump falls in the next year
        {"2028-02-29 00:00:05", 0, 0, 30, 90},         // a leap day
        {"2026-06-01 12:00:00", 30, 30, -1, 0},        // no jump
        {"2026-03-01 00:10:00", 5, 0, 3, 600 * 60},    // ten hours forward
    };
    const char* saved = std::getenv("TZ");
    std::string before = saved != nullptr ? saved : "";
    for (const Case& c : cases) {
        std::tm parsed{};
        ASSERT_NE(strptime(c.utc, "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
        std::time_t start = timegm(&parsed);
        lab::ClockSetup clock{true, c.minute, c.second, c.jumpAt, c.jumpSeconds};
        std::string tz = lab::ClockTimeZone(clock, start);
        ::setenv("TZ", tz.c_str(), 1);
        ::tzset();
        EXPECT_EQ(LocalMinuteSecond(start), std::make_pair(c.minute, c.second))
            << c.utc << " " << tz;
        if (c.jumpAt < 0) continue;
        std::time_t jump = start + static_cast<std::time_t>(c.jumpAt);
        std::tm justBefore{};
        std::time_t oneBefore = jump - 1;
        localtime_r(&oneBefore, &justBefore);
        std::time_t localBefore = timegm(&justBefore);
        std::tm after{};
        localtime_r(&jump, &after);
        std::time_t localAfter = timegm(&after);
        EXPECT_EQ(localAfter - localBefore, 1 + c.jumpSeconds) << c.utc << " " << tz;
        std::tm later{};
        std::time_t hourLater = jump + 3600;
        localtime_r(&hourLater, &later);
        EXPECT_EQ(timegm(&later) - localAfter, 3600) << "no second step soon after: " << tz;
    }
    if (saved != nullptr) {
        ::setenv("TZ", before.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
    EXPECT_EQ(lab::ClockTimeZone(lab::ClockSetup{}, 0), "");
}

TEST(LabResults, SpreadAndProbeBudget) {
    struct SpreadCase {
        std::vector<double> values;
        double mean, p95;
    };
    const SpreadCase spreads[] = {
        {{}, 0, 0},
        {{5}, 5, 5},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 100}, 14.5, 19},
        {{3, 1, 2}, 2, 3},
    };
    for (const SpreadCase& c : spreads) {
        lab::Spread s = lab::SpreadOf(c.values);
        EXPECT_EQ(s.count, c.values.size());
        EXPECT_DOUBLE_EQ(s.mean, c.mean);
        EXPECT_DOUBLE_EQ(s.p95, c.p95);
    }
    struct BudgetCase {
        std::vector<std::pair<std::string, uint32_t>> registry;
        int days;
        double perHour;
    };
    const BudgetCase budgets[] = {
        {{{"VormProbeMonthBudgetMB", 30}}, 31, 35},  // 26338 a month, 849 a day
        {{{"VormProbeMonthBudgetMB", 1}}, 31, 1},    // 877 a month, 28 a day
        {{{"VormProbeMonthBudgetMB", 30}}, 28, 39},  // 940 a day
        {{{"VormProbeMonthBudgetMB", 0}}, 31, -1},  {{}, 30, -1},
    };
    for (const BudgetCase& c : budgets) {
        lab::Scenario s;
        s.registry = c.registry;
        EXPECT_EQ(lab::ProbesPerHour(s, c.days), c.perHour);
    }
}

TEST(LabResults, PlotScriptDrawsTheColumnsItNames) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::ParseScenario(kMinimal, "p.ini", &s, &error)) << error;
    std::string csv = lab::StateCsv(s, {lab::SecondRow{}});
    std::vector<std::string> columns;
    std::string header = csv.substr(0, csv.find('\n'));
    for (size_t start = 0;;) {
        size_t comma = header.find(',', start);
        columns.push_back(header.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::string script = lab::GnuplotScript(s);
    const std::pair<const char*, const char*> drawn[] = {
        {"capacity_mbps", "'capacity"},      {"limit_mbps", "'limit"},
        {"delivered_mbps", "'delivered"},    {"queue_ms", "'queueing delay"},
        {"probe_ms", "'probe answer delay"},
    };
    for (const auto& [column, title] : drawn) {
        auto it = std::find(columns.begin(), columns.end(), column);
        ASSERT_NE(it, columns.end()) << column;
        std::string use = "$" + std::to_string(it - columns.begin() + 1);
        if (std::string(column) == "probe_ms")
            use = "1:" + std::to_string(it - columns.begin() + 1);
        size_t titleAt = script.find(title);
        ASSERT_NE(titleAt, std::string::npos) << title;
        size_t lineStart = script.rfind('\n', titleAt);
        EXPECT_NE(script.substr(lineStart, titleAt - lineStart).find(use), std::string::npos)
            << column << " should be drawn as " << title;
    }
    EXPECT_EQ(columns[1], "line") << "the script selects lines by column 2";
}

TEST(LabResults, SummaryPerPhase) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::ParseScenario(kMinimal + "[phase quiet]\nstart = 0\n[phase busy]\nstart = 5\n",
                                   "sum.ini", &s, &error))
        << error;
    lab::RunRecord run;
    run.endedAt = 30;
    for (int i = 0; i <= 300; ++i) {
        double t = i / 10.0;
        bool busy = t >= 5;
        // Capacity 30 mbps; from 5 s the line carries 15 mbps with a queue of
        // 10 ms, the last tenth of the time 50 ms.
        run.samples.push_back(lab::Sample{t, 0, busy ? (t >= 27.5 ? 50.0 : 10.0) : 0.0, busy,
                                          busy ? (t - 5) * 15e6 : 0.0, t * 30e6});
    }
    for (int t = 1; t <= 30; ++t) {
        lab::SecondRow row;
        row.t = t;
        row.limitMbps = t <= 10 ? 40 : 33.5 - t * 0.1;
        run.rows.push_back(row);
    }
    run.probes = {{0.1, 0, 5}, {0.1, 1, 7}, {2, 0, 5}, {12, 0, 40}, {13, 0, -1}};
    lab::PostRecord post;
    post.at = 30.2;  // the report at exit counts for the last phase
    post.status = 404;
    post.form.probes = 3;
    run.posts.push_back(post);
    run.sandrow.started = true;
    run.sandrow.stoppedByLab = true;
    run.sandrow.exitCode = 0;
    run.sandrow.console = "LIMIT DETECTED\n[G 3]-----> x\n";
    std::string text = lab::SummaryText(s, run);
    const char* expected[] = {
        "Phase \"quiet\" (0-5 s)",
        "delivered / capacity: 0 / 150 Mbit (0 %)",
        "probes: 1 (+2 for the server choice); budget: unlimited",
        "Phase \"busy\" (5-30 s)",
        "delivered / capacity: 375 / 750 Mbit (50 %)",
        "queueing delay under load: mean 14 ms, p95 50 ms",
        "shaper limit: 40 to 40 mbps, 40 at the end",
        "shaper limit: 30.5 to 40 mbps, 30.5 at the end",
        "probes: 2, 1 not answered; budget: unlimited",
        "reports: 1 [answered 404 at 30.2 s: 3 probes]",
        "1 limits detected, 1 moves down",
        "stopped with SIGINT, exit code 0",
        "collector: 1 reports, 0 probes delivered (answered 200), 3 in refused reports",
    };
    for (const char* line : expected)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
