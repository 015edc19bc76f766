// The kernel's interface and route tables and the MAC lookup, inside a private
// network namespace with a veth pair (root only; skipped elsewhere).
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/route.h"
#include "shaper/gateways.h"

namespace {

using platform::AddressFamily;
using Results = std::map<std::string, std::string>;

uint32_t Ip4(const char* text) {
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

std::string Ip4Text(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr a{address};
    return ::inet_ntop(AF_INET, &a, text, sizeof text);
}

class Namespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root (uid " << ::geteuid() << ")";
        name_ = "sandrow-iftable-" + std::to_string(::getpid());
        if (Shell("ip netns add " + name_) != 0) {
            GTEST_SKIP() << "cannot create a network namespace here (`ip netns add` failed: no "
                            "CAP_SYS_ADMIN or no iproute2)";
        }
        created_ = true;
        Ip("link add veth0 type veth peer name veth1");
        Ip("link set veth0 address 02:53:41:4e:44:01");
        Ip("link set veth1 address 02:53:41:4e:44:02");
        Ip("addr add 10.77.0.1/24 dev veth0");  // 10.77.0.2 serves as a next hop
        Ip("link set veth0 up");
        Ip("link set veth1 up");
    }
    void TearDown() override {
        if (created_) Shell("ip netns del " + name_);
    }
    static int Shell(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str());
    }
    void Ip(const std::string& args) { ASSERT_EQ(Shell("ip -n " + name_ + " " + args), 0) << args; }

    // Runs `body` in a child process that has entered the namespace, and
    // reads back the "key value" lines that it wrote.
    Results InNamespace(const std::function<void(std::ostream&)>& body) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return {{"error", "pipe"}};
        pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            std::ostringstream out;
            int ns = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
                out << "error setns\n";
            } else {
                out << "veth0 " << ::if_nametoindex("veth0") << "\nveth1 "
                    << ::if_nametoindex("veth1") << "\nlo " << ::if_nametoindex("lo") << "\n";
                body(out);
            }
            const std::string text = out.str();
            for (size_t done = 0; done < text.size();) {
                ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
        Results results;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            size_t space = line.find(' ');
            results[line.substr(0, space)] = line.substr(space + 1);
        }
        EXPECT_EQ(results.count("error"), 0u) << results["error"];
        return results;
    }

    std::string name_;
    bool created_ = false;
};

TEST_F(Namespace, InterfaceTableAndMacLookup) {
    Results r = InNamespace([](std::ostream& out) {
        std::vector<platform::IfRow> rows;
        out << "rc " << platform::GetIfTable(&rows) << "\nrows " << rows.size() << "\n";
        for (const platform::IfRow& row : rows) {
            out << "if" << row.index << " " << row.physAddrLength;
            for (uint32_t i = 0; i < row.physAddrLength; ++i) out << " " << int{row.physAddr[i]};
            out << "\n";
        }
        const char* texts[] = {"02-53-41-4E-44-01", "02-53-41-4e-44-02", "02-53-41-4E-44-03",
                               "02:53:41:4E:44:01", "00-00-00-00-00-00"};
        for (size_t i = 0; i < std::size(texts); ++i) {
            out << "mac" << i << " " << GetIfIndexFromMAC(texts[i]) << "\n";
        }
    });
    EXPECT_EQ(r["rc"], "0");
    EXPECT_EQ(r["rows"], "3");
    EXPECT_EQ(r["if" + r["lo"]], "6 0 0 0 0 0 0");
    EXPECT_EQ(r["if" + r["veth0"]], "6 2 83 65 78 68 1");
    EXPECT_EQ(r["if" + r["veth1"]], "6 2 83 65 78 68 2");
    EXPECT_EQ(r["mac0"], r["veth0"]);
    EXPECT_EQ(r["mac1"], r["veth1"]);
    EXPECT_EQ(r["mac2"], "-1");
    EXPECT_EQ(r["mac3"], "-1");  // one part, one byte: no such link
    EXPECT_EQ(r["mac4"], r["lo"]);
}

TEST_F(Namespace, IpInterfaceEntryFollowsFamiliesAndDefaultRouteMetrics) {
    Ip("route add default via 10.77.0.2 dev veth0 metric 30");
    Ip("route add default via 10.77.0.2 dev veth0 metric 20");
    Ip("route add 192.0.2.0/24 via 10.77.0.2 dev veth0 metric 5");  // not a default route
    const bool ipv6 = ::access("/proc/sys/net/ipv6", F_OK) == 0;
    if (ipv6) {
        ASSERT_EQ(Shell("ip netns exec " + name_ +
                        " sh -c 'echo 1 > /proc/sys/net/ipv6/conf/veth1/disable_ipv6'"),
                  0);
    }
    Results r = InNamespace([](std::ostream& out) {
        const uint32_t veth0 = ::if_nametoindex("veth0"), veth1 = ::if_nametoindex("veth1");
        const std::tuple<const char*, AddressFamily, uint32_t> asks[] = {
            {"v4veth0", AddressFamily::Inet, veth0},
            {"v6veth0", AddressFamily::Inet6, veth0},
            {"v4veth1", AddressFamily::Inet, veth1},
            {"v6veth1", AddressFamily::Inet6, veth1},
            {"v4none", AddressFamily::Inet, 999},
            {"v4zero", AddressFamily::Inet, 0},
            {"nofamily", AddressFamily::Unspecified, veth0}};
        for (const auto& [key, family, index] : asks) {
            platform::IpInterfaceEntry entry;
            platform::InitializeIpInterfaceEntry(&entry);
            entry.family = family;
            entry.interfaceIndex = index;
            const int rc = platform::GetIpInterfaceEntry(&entry);
            out << key << " " << rc << " " << entry.metric << "\n";
        }
    });
    const std::string kNoFamily = std::to_string(ENOENT) + " 0";
    EXPECT_EQ(r["v4veth0"], "0 20");
    EXPECT_EQ(r["v4veth1"], "0 0");
    EXPECT_EQ(r["v6veth0"], ipv6 ? "0 20" : kNoFamily);
    EXPECT_EQ(r["v6veth1"], kNoFamily);
    EXPECT_EQ(r["v4none"], std::to_string(ENODEV) + " 0");
    EXPECT_EQ(r["v4zero"], std::to_string(ENODEV) + " 0");
    EXPECT_EQ(r["nofamily"], std::to_string(EINVAL) + " 0");
}

TEST_F(Namespace, RoutesAreCreatedListedAndDeletedExactly) {
    Results r = InNamespace([](std::ostream& out) {
        const uint32_t veth0 = ::if_nametoindex("veth0");
        platform::IpForwardRow route{};
        route.dest = Ip4("203.0.113.0");
        route.mask = Ip4("255.255.255.0");
        route.nextHop = Ip4("10.77.0.2");
        route.ifIndex = veth0;
        route.proto = platform::kRouteProtoNetmgmt;
        route.metric1 = 31;
        platform::IpForwardRow onLink = route, badMask = route, otherMetric = route;
        onLink.dest = Ip4("198.51.100.0");
        onLink.nextHop = 0;
        badMask.mask = Ip4("255.0.255.0");
        otherMetric.metric1 = 32;
        out << "create " << platform::CreateIpForwardEntry(route) << "\n";
        out << "again " << platform::CreateIpForwardEntry(route) << "\n";
        out << "onlink " << platform::CreateIpForwardEntry(onLink) << "\n";
        out << "badmask " << platform::CreateIpForwardEntry(badMask) << "\n";
        std::vector<platform::IpForwardRow> table;
        out << "table " << platform::GetIpForwardTable(&table) << "\n";
        for (const platform::IpForwardRow& row : table) {
            out << Ip4Text(row.dest) << "/" << Ip4Text(row.mask) << " " << Ip4Text(row.nextHop)
                << " " << (row.ifIndex == veth0 ? "veth0" : "?") << " " << row.metric1 << " "
                << row.proto << " " << row.type << " " << row.metric5 << "\n";
        }
        out << "deleteother " << platform::DeleteIpForwardEntry(otherMetric) << "\n";
        out << "delete " << platform::DeleteIpForwardEntry(route) << "\n";
        out << "deleteagain " << platform::DeleteIpForwardEntry(route) << "\n";
        platform::GetIpForwardTable(&table);
        out << "after " << table.size() << "\n";
    });
    EXPECT_EQ(r["create"], "0");
    EXPECT_EQ(r["again"], std::to_string(EEXIST));
    EXPECT_EQ(r["onlink"], "0");
    EXPECT_EQ(r["badmask"], std::to_string(EINVAL));
    EXPECT_EQ(r["table"], "0");
    EXPECT_EQ(r["203.0.113.0/255.255.255.0"], "10.77.0.2 veth0 31 3 4 4294967295");
    EXPECT_EQ(r["198.51.100.0/255.255.255.0"], "0.0.0.0 veth0 31 3 3 4294967295");
    EXPECT_EQ(r["10.77.0.0/255.255.255.0"], "0.0.0.0 veth0 0 2 3 4294967295");  // connected
    EXPECT_EQ(r["deleteother"], std::to_string(ESRCH));
    EXPECT_EQ(r["delete"], "0");
    EXPECT_EQ(r["deleteagain"], std::to_string(ESRCH));
    EXPECT_EQ(r["after"], "2");  // the connected and the on-link route
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
