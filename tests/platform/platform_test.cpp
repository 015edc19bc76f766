// The small platform stand-ins (key press, identity, clocks), and the
// kernel's interface and route tables inside a private network namespace
// with a veth pair (root only; skipped elsewhere).
#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/identity.h"
#include "platform/route.h"
#include "support/veth_namespace.h"

namespace {

// Whether platform::KbHit sees a key press with `fd` (-1: none) on standard input.
bool KbHitWith(int fd) {
    const int saved = ::dup(0);
    (void)(fd >= 0 ? ::dup2(fd, 0) : ::close(0));
    const bool hit = platform::KbHit();
    ::dup2(saved, 0);
    ::close(saved);
    return hit;
}

TEST(Platform, KeyPressIsAByteWaitingOnStandardInput) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_FALSE(KbHitWith(fds[0]));
    ASSERT_EQ(::write(fds[1], "k", 1), 1);
    EXPECT_TRUE(KbHitWith(fds[0]));
    EXPECT_TRUE(KbHitWith(fds[0]));  // never consumed
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_FALSE(KbHitWith(-1));
}

TEST(Platform, IdentityHasTheExpectedShapes) {
    platform::Guid a{}, b{};
    ASSERT_TRUE(platform::CoCreateGuid(&a));
    ASSERT_TRUE(platform::CoCreateGuid(&b));
    std::string text = platform::UuidToStringA(a);
    EXPECT_TRUE(std::regex_match(
        text, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << text;
    EXPECT_NE(text, platform::UuidToStringA(b));

    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
    std::string expected(host, std::strcspn(host, "."));
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    char name[16] = {};
    uint32_t size = sizeof(name);
    bool ok = platform::GetComputerNameA(name, &size);
    EXPECT_EQ(ok, expected.size() <= 15);
    if (ok) {
        EXPECT_EQ(std::string(name), expected);
        EXPECT_EQ(size, expected.size());
    }
}

TEST(Platform, ClocksCountInTheirUnits) {
    EXPECT_EQ(platform::QueryPerformanceFrequency(), 10000000);
    int64_t counter = platform::QueryPerformanceCounter();
    uint64_t tick = platform::GetTickCount64();
    uint64_t processMs = platform::ProcessClockMs();
    platform::Sleep(30);
    EXPECT_GE(platform::QueryPerformanceCounter() - counter, 300000);
    EXPECT_LT(platform::QueryPerformanceCounter() - counter, 300000 * 20);
    EXPECT_GE(platform::GetTickCount64() - tick, 30u);
    EXPECT_GE(platform::ProcessClockMs() - processMs, 29u);  // wall clock, ms rounding
    std::string ctime = platform::CtimeNow();
    EXPECT_TRUE(std::regex_match(ctime, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
                                                   "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")))
        << ctime;
}

using platform::AddressFamily;

uint32_t Ip4(const char* text) {
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// The kernel's tables as the platform layer reads and edits them.
class Namespace : public test::VethNamespace {};

TEST_F(Namespace, InterfaceTableAndDefaultRouteMetrics) {
    std::vector<platform::IfRow> rows;
    ASSERT_EQ(platform::GetIfTable(&rows), 0);
    std::map<uint32_t, std::string> table;  // each link's address bytes
    for (const platform::IfRow& row : rows) {
        for (uint32_t i = 0; i < row.physAddrLength; ++i) {
            table[row.index] += ' ';
            table[row.index] += std::to_string(row.physAddr[i]);
        }
    }
    const uint32_t lo = ::if_nametoindex("lo");
    EXPECT_EQ(table, (std::map<uint32_t, std::string>{{lo, " 0 0 0 0 0 0"},
                                                      {veth0_, " 2 83 65 78 68 1"},
                                                      {veth1_, " 2 83 65 78 68 2"}}));

    // The metric of an interface is its lowest default route's; other routes do not count.
    Ip("route add default via 10.77.0.2 dev veth0 metric 30");
    Ip("route add default via 10.77.0.2 dev veth0 metric 20");
    Ip("route add 192.0.2.0/24 via 10.77.0.2 dev veth0 metric 5");
    Ip("route add 0.0.0.0/1 via 10.77.0.2 dev veth0 metric 10");  // a VPN's half, no default
    const char* disable = "/proc/sys/net/ipv6/conf/veth1/disable_ipv6";
    const bool ipv6 = ::access(disable, F_OK) == 0;
    if (ipv6) std::ofstream(disable) << "1\n";
    const std::string noFamily = std::to_string(ENOENT) + " 0";
    const std::tuple<AddressFamily, uint32_t, std::string> asks[] = {
        {AddressFamily::Inet, veth0_, "0 20"},
        {AddressFamily::Inet6, veth0_, ipv6 ? "0 20" : noFamily},
        {AddressFamily::Inet, veth1_, "0 0"},
        {AddressFamily::Inet6, veth1_, noFamily},
        {AddressFamily::Inet, 999, std::to_string(ENODEV) + " 0"},
        {AddressFamily::Inet, 0, std::to_string(ENODEV) + " 0"},
        {AddressFamily::Unspecified, veth0_, std::to_string(EINVAL) + " 0"},
    };
    for (const auto& [family, index, expected] : asks) {
        platform::IpInterfaceEntry entry;
        platform::InitializeIpInterfaceEntry(&entry);
        entry.family = family;
        entry.interfaceIndex = index;
        const int rc = platform::GetIpInterfaceEntry(&entry);
        EXPECT_EQ(std::to_string(rc) + " " + std::to_string(entry.metric), expected)
            << static_cast<int>(family) << " " << index;
    }
}

TEST_F(Namespace, RoutesAreCreatedListedAndDeletedExactly) {
    platform::IpForwardRow route{};
    route.dest = Ip4("203.0.113.0");
    route.mask = Ip4("255.255.255.0");
    route.nextHop = Ip4("10.77.0.2");
    route.ifIndex = veth0_;
    route.proto = platform::kRouteProtoNetmgmt;
    route.metric1 = 31;
    platform::IpForwardRow onLink = route, badMask = route, otherMetric = route;
    onLink.dest = Ip4("198.51.100.0");
    onLink.nextHop = 0;
    badMask.mask = Ip4("255.0.255.0");
    otherMetric.metric1 = 32;
    EXPECT_EQ(platform::CreateIpForwardEntry(route), 0);
    EXPECT_EQ(platform::CreateIpForwardEntry(route), EEXIST);
    EXPECT_EQ(platform::CreateIpForwardEntry(onLink), 0);
    EXPECT_EQ(platform::CreateIpForwardEntry(badMask), EINVAL);
    auto list = [this] {
        std::vector<platform::IpForwardRow> rows;
        EXPECT_EQ(platform::GetIpForwardTable(&rows), 0);
        std::vector<std::string> table;
        for (const platform::IpForwardRow& r : rows) {
            char dest[INET_ADDRSTRLEN], hop[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &r.dest, dest, sizeof dest);
            ::inet_ntop(AF_INET, &r.nextHop, hop, sizeof hop);
            table.push_back(std::string(dest) + "/" +
                            std::to_string(platform::PrefixLengthOfMask(r.mask)) + " " + hop +
                            (r.ifIndex == veth0_ ? " veth0 " : " ? ") + std::to_string(r.metric1) +
                            " " + std::to_string(r.proto) + " " + std::to_string(r.type) + " " +
                            std::to_string(r.metric5));
        }
        std::sort(table.begin(), table.end());
        return table;
    };
    EXPECT_EQ(list(),
              (std::vector<std::string>{"10.77.0.0/24 0.0.0.0 veth0 0 2 3 4294967295",  // connected
                                        "198.51.100.0/24 0.0.0.0 veth0 31 83 3 4294967295",
                                        "203.0.113.0/24 10.77.0.2 veth0 31 83 4 4294967295"}));
    EXPECT_EQ(platform::DeleteIpForwardEntry(otherMetric), ESRCH);
    EXPECT_EQ(platform::DeleteIpForwardEntry(route), 0);
    EXPECT_EQ(platform::DeleteIpForwardEntry(route), ESRCH);
    EXPECT_EQ(list().size(), 2u);
}

TEST(PrefixLength, MasksAndTheirPrefixes) {
    const std::pair<const char*, int> cases[] = {
        {"0.0.0.0", 0},   {"255.255.255.255", 32}, {"255.255.255.0", 24}, {"255.128.0.0", 9},
        {"128.0.0.0", 1}, {"255.0.255.0", -1},     {"0.0.0.255", -1},     {"255.255.255.254", 31}};
    for (const auto& [mask, prefix] : cases) {
        EXPECT_EQ(platform::PrefixLengthOfMask(Ip4(mask)), prefix) << mask;
    }
}

}  // namespace
