// A private network namespace with a veth pair for the tests that need the
// kernel's own tables (root only; skipped elsewhere): veth0 (10.77.0.1/24,
// 10.77.0.2 serving as a next hop) and veth1, both up. The test thread works
// inside it and comes back at the end.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace test {

inline int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

class VethNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        name_ = "sandrow-veth-" + std::to_string(::getpid());
        if (Shell("ip netns add " + name_) != 0) {
            GTEST_SKIP() << "cannot create a network namespace here (no CAP_SYS_ADMIN or iproute2)";
        }
        for (const char* args :
             {"link add veth0 type veth peer name veth1",
              "link set veth0 address 02:53:41:4e:44:01",
              "link set veth1 address 02:53:41:4e:44:02", "addr add 10.77.0.1/24 dev veth0",
              "link set veth0 up", "link set veth1 up"}) {
            Ip(args);
        }
        home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int ns = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::setns(ns, CLONE_NEWNET), 0);
        ::close(ns);
        veth0_ = ::if_nametoindex("veth0");
        veth1_ = ::if_nametoindex("veth1");
    }
    void TearDown() override {
        if (home_ >= 0) {
            ::setns(home_, CLONE_NEWNET);
            ::close(home_);
        }
        if (!name_.empty()) Shell("ip netns del " + name_);
    }
    void Ip(const std::string& args) { ASSERT_EQ(Shell("ip -n " + name_ + " " + args), 0) << args; }

    std::string name_;
    int home_ = -1;
    uint32_t veth0_ = 0, veth1_ = 0;
};

}  // namespace test
