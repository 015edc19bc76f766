// The small platform stand-ins: key press, identity, clocks.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <regex>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/identity.h"

namespace {

// Puts `fd` on standard input for the life of the object.
class StdinReplaced {
  public:
    explicit StdinReplaced(int fd) : saved_(::dup(0)) {
        if (fd >= 0) {
            ::dup2(fd, 0);
        } else {
            ::close(0);
        }
    }
    ~StdinReplaced() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }

  private:
    int saved_;
};

TEST(Platform, KeyPressIsAByteWaitingOnStandardInput) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        StdinReplaced in(fds[0]);
        EXPECT_FALSE(platform::KbHit());
        ASSERT_EQ(::write(fds[1], "k", 1), 1);
        EXPECT_TRUE(platform::KbHit());
        EXPECT_TRUE(platform::KbHit());  // never consumed
    }
    ::close(fds[0]);
    ::close(fds[1]);
    int null = ::open("/dev/null", O_RDONLY);
    {
        StdinReplaced in(null);
        EXPECT_FALSE(platform::KbHit());
    }
    ::close(null);
    {
        StdinReplaced in(-1);
        EXPECT_FALSE(platform::KbHit());
    }
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
    char tiny[2] = {};
    uint32_t tinySize = sizeof(tiny);
    EXPECT_EQ(platform::GetComputerNameA(tiny, &tinySize), expected.size() < 2);
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
    platform::LocalTime now = platform::GetLocalTime();
    EXPECT_GE(now.year, 2024);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    EXPECT_TRUE(now.day >= 1 && now.day <= 31);
}

}  // namespace
