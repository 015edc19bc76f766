// The static backend without a bus: its configuration file's errors, the
// counters' growth, the limits it keeps and the faults it hands out.
#include <gtest/gtest.h>

#include <tuple>

#include "service/static_backend.h"

namespace {

using corvane::StaticConfig;
using namespace std::chrono_literals;

constexpr const char* kGateway = "[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 2\n";

TEST(StaticConfig, RefusesMalformedFilesNamingLineAndProblem) {
    struct Case {
        std::string text;
        std::string error;  // after "f.ini:"
    };
    const std::string longLine = "; " + std::string(170, 'x') + "\n";
    const Case cases[] = {
        {"mac = 1\n", "1: key 'mac' outside a section"},
        {"[gateway g]\nmac\n", "2: expected [section] or key = value"},
        {"[gateway]\n", "1: section [gateway] needs a name, as in [gateway NAME]"},
        {"[]\n",
         "1: unknown section [] (expected gateway, interface, process, domain, fault or metrics)"},
        {"[gateway g]\nmac = a\nmac = b\n", "3: duplicate key 'mac' in [gateway g]"},
        {"[gateway g]\nid = 1\n", "1: missing key 'mac' in [gateway g]"},
        {"[gateway g]\nmac =\nid = 1\nupload_bps = 1\ndownload_bps = 1\n",
         "2: empty value for key 'mac' in [gateway g]"},
        {std::string(kGateway) + "colour = red\n", "6: unknown key 'colour' in [gateway g]"},
        {"[gateway g]\nmac = m\nid = 0x80000000\nupload_bps = 1\ndownload_bps = 1\n",
         "3: id = 0x80000000 is out of range (-2147483648 to 2147483647) in [gateway g]"},
        {"[gateway g]\nmac = m\nid = 1\nupload_bps = -2\ndownload_bps = 1\n",
         "4: upload_bps = -2 is out of range (-1 to 9223372036854775807) in [gateway g]"},
        {"[gateway g]\nmac = m\nid = 1\nupload_bps = 1\ndownload_bps = 99999999999999999999\n",
         "5: '99999999999999999999' is not an integer (key 'download_bps' in [gateway g])"},
        {"[gateway g]\nmac = m\nid = 1 2\nupload_bps = 1\ndownload_bps = 1\n",
         "3: '1 2' is not an integer (key 'id' in [gateway g])"},
        {std::string(kGateway) +
             "\n[gateway h]\nmac = m\nid = 2\nupload_bps = 1\ndownload_bps = 2\n",
         "7: gateway MAC 'm' is already used by [gateway g]"},
        {"[domain d]\ndevice_id = 1\nprocess_id = 3\n",
         "3: unknown key 'process_id' in [domain d]"},
        {"[process p]\ndevice_id = 1\ndownload_rate_bps = 1000000000000001\n",
         "3: download_rate_bps = 1000000000000001 is out of range (0 to 1000000000000000) in "
         "[process p]"},
        {"[fault Frobnicate]\nhresult = 1\n",
         "1: unknown method 'Frobnicate' in [fault Frobnicate]"},
        {"[fault Initialize]\ncalls = 2\n",
         "1: [fault Initialize] sets none of hresult, wrong_type, null_path, stall_ms"},
        {"[fault Initialize]\nnull_path = true\n", "1: null_path: Initialize returns no interface"},
        {"[fault SetGatewayLimits]\nwrong_type = 1\n",
         "1: wrong_type: SetGatewayLimits returns no arrays"},
        {"[fault GetNetworkInfoList]\nwrong_type = 10\n",
         "2: wrong_type = 10 is out of range (1 to 9) in [fault GetNetworkInfoList]"},
        {"[fault GetDomainList]\nstall_ms = 1\n[fault GetDomainList]\nstall_ms = 2\n",
         "3: a second [fault GetDomainList]"},
        {"[fault GetDomainList]\nhresult = 0x100000000\n",
         "2: hresult = 0x100000000 is out of range (-2147483648 to 4294967295) in "
         "[fault GetDomainList]"},
        {"[gateway g]\n" + longLine, "2: line longer than 160 characters"},
        {std::string("[gateway g]\nmac = a\0b\n", 22), "2: NUL byte in the line"},
    };
    for (const Case& c : cases) {
        StaticConfig config;
        std::string error;
        EXPECT_FALSE(corvane::ParseStaticConfig(c.text, "f.ini", &config, &error)) << c.text;
        EXPECT_EQ(error, "f.ini:" + c.error) << c.text;
        EXPECT_TRUE(config.gateways.empty());
    }
}

TEST(StaticConfig, ReadsEverySectionKindWithDefaultsAndHexNumbers) {
    const std::string text =
        "\xEF\xBB\xBF; a byte-order mark and CR LF line ends are fine\r\n"
        "[gateway Main line]\r\nmac = 02-00-00-00-00-01\r\nid = -3\r\n"
        "upload_bps = -1\r\ndownload_bps = 0x5F5E100\r\n"
        "[interface eth0]\nmac = 02-00-00-00-00-11\ndevice_id = 11\ngateway_id = -3\n"
        "[process a b]\ndevice_id = 11\nprocess_id = 9\nactive = off\n"
        "download_bits = 10\ndownload_rate_bps = 8\n"
        "[domain example.com]\ndevice_id = 12\n"
        "[fault GetProcessList]\nhresult = 0x80004005\nwrong_type = 2\ncalls = 3\n"
        "[fault GetRulesManager]\nnull_path = yes\nstall_ms = 6000\n";
    StaticConfig c;
    std::string error;
    ASSERT_TRUE(corvane::ParseStaticConfig(text, "f.ini", &c, &error)) << error;
    ASSERT_EQ(c.gateways.size() + c.interfaces.size() + c.processes.size() + c.domains.size(), 4u);
    const corvane::Gateway& g = c.gateways[0];
    EXPECT_EQ(std::tie(g.name, g.mac, g.id, g.uploadBps, g.downloadBps, g.connected),
              std::make_tuple("Main line", "02-00-00-00-00-01", -3, -1, 100000000, true));
    EXPECT_EQ(std::tie(c.interfaces[0].gatewayId, c.interfaces[0].up), std::make_tuple(-3, true));
    const corvane::TrafficEntry& p = c.processes[0].entry;
    EXPECT_EQ(
        std::tie(p.name, p.processId, p.active, p.downloadBits, c.processes[0].downloadRateBps),
        std::make_tuple("a b", 9, false, 10, 8));
    EXPECT_EQ(c.domains[0].entry.deviceId, 12);
    const corvane::FaultRule& list = c.faults.at(corvane::Method::GetProcessList);
    EXPECT_EQ(list.fault.hresult, std::optional<int32_t>(static_cast<int32_t>(0x80004005)));
    EXPECT_EQ(list.fault.wrongTypeArray, 2);
    EXPECT_EQ(list.calls, std::optional<int64_t>(3));
    const corvane::FaultRule& rules = c.faults.at(corvane::Method::GetRulesManager);
    EXPECT_EQ(std::tie(rules.fault.nullPath, rules.fault.stall), std::make_tuple(true, 6000ms));
    EXPECT_FALSE(rules.calls.has_value());
}

TEST(StaticBackend, CountersGrowByRateTimesElapsedAndSaturate) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    // Base, rate in bps, elapsed time, and the counter then.
    const std::tuple<int64_t, int64_t, std::chrono::nanoseconds, int64_t> cases[] = {
        {100, 0, 10s, 100},
        {100, 8000000, 1500ms, 12000100},
        {0, 3, 999999999ns, 2},  // 2.999999997 bits, truncated
        {0, 1000000000000000, 1ns, 1000000},
        {0, 1000000000000000, 9223372ms, 9223372000000000000},
        {0, 1000000000000000, 9223373s, kMax},  // would pass 2^63
        {kMax - 5, 10, 1s, kMax},
        {kMax - 5, 10, 999999999ns, kMax},  // the fraction alone passes the top
        {7, -5, 1s, 7},                     // a negative rate never shrinks a counter
    };
    for (const auto& [base, rate, elapsed, expected] : cases) {
        EXPECT_EQ(corvane::GrownCounter(base, rate, elapsed), expected)
            << base << " + " << rate << " bps for " << elapsed.count() << " ns";
    }

    StaticConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseStaticConfig(
        "[process p]\ndevice_id = 1\nupload_bits = 5\ndownload_bits = 10\n"
        "download_rate_bps = 1000\n[domain d]\ndevice_id = 2\nupload_rate_bps = 2\n",
        "f.ini", &config, &error))
        << error;
    std::chrono::nanoseconds now = 0ns;
    corvane::StaticBackend backend(config, [&now] { return now; });
    std::vector<corvane::TrafficEntry> list;
    now = 2500ms;
    ASSERT_EQ(backend.GetProcesses(-1, &list), corvane::kOk);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].uploadBits, 5);
    EXPECT_EQ(list[0].downloadBits, 2510);
    ASSERT_EQ(backend.GetDomains(-1, &list), corvane::kOk);
    EXPECT_EQ(list[0].uploadBits, 5);
}

TEST(StaticBackend, KeepsTheLastLimitsAndCountsDownLimitedFaults) {
    StaticConfig config;
    std::string error;
    ASSERT_TRUE(corvane::ParseStaticConfig(
        std::string(kGateway) + "[fault GetDomainList]\nstall_ms = 10\ncalls = 2\n", "f.ini",
        &config, &error))
        << error;
    corvane::StaticBackend backend(config);
    // MAC, upload and download limits, the answer, and the download reported then.
    const std::tuple<const char*, int64_t, int64_t, int32_t, int64_t> cases[] = {
        {"m", 5, 7, corvane::kOk, 7},          {"M", 5, 8, corvane::kInvalidArg, 7},
        {"m", -2, 8, corvane::kInvalidArg, 7}, {"m", 1, -2, corvane::kInvalidArg, 7},
        {"m", 1, -1, corvane::kOk, -1},        {"m", 1, 9, corvane::kOk, 9},
    };
    for (const auto& [mac, up, down, hr, reported] : cases) {
        EXPECT_EQ(backend.SetGatewayLimits(mac, up, down), hr) << mac << down;
        std::vector<corvane::Gateway> gateways;
        ASSERT_EQ(backend.GetGateways(&gateways), corvane::kOk);
        EXPECT_EQ(gateways[0].downloadBps, reported);
        EXPECT_EQ(gateways[0].uploadBps, 1);  // the upload figure stays the configured one
    }
    EXPECT_EQ(backend.NextFault(corvane::Method::GetDomainList).stall, 10ms);
    EXPECT_EQ(backend.NextFault(corvane::Method::GetProcessList).stall, 0ms);
    EXPECT_EQ(backend.NextFault(corvane::Method::GetDomainList).stall, 10ms);
    EXPECT_EQ(backend.NextFault(corvane::Method::GetDomainList).stall, 0ms);
}

}  // namespace
