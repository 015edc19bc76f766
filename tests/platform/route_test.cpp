// The kernel's interface and route tables, inside a private network
// namespace with a veth pair (root only; skipped elsewhere).
#include "platform/route.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/veth_namespace.h"

namespace {

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
