// What the lab samples for a soak: a process's resident memory and open
// descriptors, read from /proc.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "lab/processes.h"

namespace {

TEST(ProcessResources, CountsDescriptorsAndSeesAnotherProcessGrowAndGo) {
    auto fds = [] {
        std::optional<lab::ProcessResources> r = lab::ReadProcessResources(::getpid());
        EXPECT_TRUE(r.has_value() && r->rssKb > 0);
        return r ? r->fds : -1;
    };
    const int before = fds();
    EXPECT_GE(before, 3);
    int opened[3];
    ASSERT_EQ(::pipe(opened), 0);
    opened[2] = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(opened[2], 0);
    EXPECT_EQ(fds(), before + 3);
    for (int fd : opened) ::close(fd);
    EXPECT_EQ(fds(), before);

    // Another process, before and after it grows, and once it is gone.
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char byte = 0;
        [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);  // before it grows
        n = ::read(done[0], &byte, 1);
        std::vector<char> grown(16 << 20);
        std::memset(grown.data(), 1, grown.size());  // resident, not just reserved
        n = ::write(ready[1], grown.data(), 1);
        n = ::read(done[0], &byte, 1);
        ::_exit(grown[grown.size() / 2]);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::optional<lab::ProcessResources> small = lab::ReadProcessResources(pid);
    ASSERT_EQ(::write(done[1], &byte, 1), 1);
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    std::optional<lab::ProcessResources> large = lab::ReadProcessResources(pid);
    ASSERT_EQ(::write(done[1], &byte, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(small.has_value());
    ASSERT_TRUE(large.has_value());
    EXPECT_GE(large->rssKb - small->rssKb, 15 * 1024);
    EXPECT_FALSE(lab::ReadProcessResources(pid).has_value()) << "a reaped process has none";
    for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

}  // namespace
