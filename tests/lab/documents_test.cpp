// The lab's directory read with the monitor's own code, the hive, and
// sandrow's time zone. (The collector's form: StandInsTest.)
#include "lab/documents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory_support.h"
#include "lab/directory_hosts.h"
#include "lab_support.h"
#include "platform/registry.h"
#include "speedtest/best_server.h"
#include "speedtest/directory.h"
#include "speedtest/speedtest_fixture.h"
#include "support/test_support.h"

namespace {

// The scenario's directory as sandrow sees it: written for sandrow-directory,
// served by it on a socket the lab hands over, read by sandrow's own code;
// stopped, it refuses.
class LabDirectory : public test::SpeedtestTest {};

TEST_F(LabDirectory, ServesTheScenarioThroughSandrowDirectory) {
    lab::Scenario s = labtest::Parsed(labtest::kMinimal +
                                      "[directory]\nprimary = 127.0.5.8\nsecondary = 127.0.5.9\n"
                                      "lat = 52.52\nlon = -13.4\nisp = A & B \"Net\"\n");
    std::string error;
    test::TempDir dir;
    lab::DirectoryHosts hosts;
    ASSERT_TRUE(hosts.Configure(s, SANDROW_DIRECTORY_PATH, dir.path().string(), &error, 0))
        << error;
    ASSERT_TRUE(hosts.Start(&error)) << error;
    const uint16_t port = hosts.PortOf(0);
    ASSERT_NE(port, 0);
    // Both of sandrow's directory hosts the primary: its port is the
    // kernel's choice, and sandrow takes one port for all.
    UsePort(port);
    UseDirectoryHosts("127.0.5.8", "127.0.5.8");
    ASSERT_EQ(GetConfig(0), 0);
    EXPECT_EQ(gClientAttrs["lat"], "\"52.52\"");
    EXPECT_EQ(gClientAttrs["lon"], "\"-13.4\"");
    EXPECT_EQ(gClientAttrs["isp"], "\"A & B &quot;Net&quot;\"") << "sandrow decodes only &amp;";
    ServerList nearest;
    ASSERT_EQ(GetClosestServers(nearest), 0);
    ASSERT_EQ(gPrimaryServerList.size(), s.servers.size());
    for (size_t i = 0; i < s.servers.size(); ++i) {
        ServerRecord& r = gPrimaryServerList[i];
        EXPECT_EQ(r["name"], "\"" + s.servers[i].name + "\"");
        EXPECT_EQ(r["url"], "\"http://" + s.servers[i].address + "/speedtest/upload.php\"");
        EXPECT_EQ(r["lat"], "\"" + directory::Coordinate(s.servers[i].lat) + "\"");
    }
    hosts.Stop();
    EXPECT_FALSE(hosts.up());
    EXPECT_THROW(dirtest::Connect(port, "127.0.5.8"), std::runtime_error)
        << "a stopped host refuses";
    for (const std::string& note : hosts.TakeNotes()) ADD_FAILURE() << note;
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

// Seconds since the epoch of `t`'s local time under the current TZ, read as UTC.
std::time_t Local(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return timegm(&local);
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
        {"2026-06-01 12:00:00", 30, 30, -1, 0},        // no jump
        {"2026-03-01 00:10:00", 5, 0, 3, 600 * 60},    // ten hours forward
    };
    const char* saved = std::getenv("TZ");
    std::string before = saved != nullptr ? saved : "";
    for (const Case& c : cases) {
        std::tm parsed{};
        ASSERT_NE(strptime(c.utc, "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
        std::time_t start = timegm(&parsed);
        std::string tz =
            lab::ClockTimeZone({true, c.minute, c.second, c.jumpAt, c.jumpSeconds}, start);
        ::setenv("TZ", tz.c_str(), 1);
        ::tzset();
        EXPECT_EQ(Local(start) % 3600, c.minute * 60 + c.second) << c.utc << " " << tz;
        if (c.jumpAt < 0) continue;
        std::time_t jump = start + static_cast<std::time_t>(c.jumpAt);
        EXPECT_EQ(Local(jump) - Local(jump - 1), 1 + c.jumpSeconds) << c.utc << " " << tz;
        EXPECT_EQ(Local(jump + 3600) - Local(jump), 3600) << "no second step soon after: " << tz;
    }
    saved != nullptr ? ::setenv("TZ", before.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(lab::ClockTimeZone(lab::ClockSetup{}, 0), "");
}

}  // namespace
