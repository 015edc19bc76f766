// The documents the lab serves, read back with the monitor's own parsers, the
// hive, and sandrow's time zone.
#include "lab/documents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "speedtest/best_server.h"
#include "speedtest/tag_parser.h"
#include "support/test_support.h"

namespace {

TEST(LabDocuments, MonitorReadsTheConfigurationAndTheServerList) {
    lab::DirectorySetup d;
    d.lat = 52.52;
    d.lon = -13.4;
    d.isp = "A & B \"Net\"";
    std::string config = lab::ConfigDocument(d);
    size_t start = 0, end = 0;
    for (const char* tag : {"times", "download", "upload"}) {
        AttributeMap attributes;
        EXPECT_EQ(ExtractTagAttributes(config, 0, tag, attributes, start, end), 0) << tag;
        EXPECT_FALSE(attributes.empty()) << tag;
    }
    AttributeMap client;
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
