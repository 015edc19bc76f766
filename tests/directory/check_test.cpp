// --check: sandrow's choice rule, the nearest targets, and the timed
// exchange against loopback servers that answer, answer 404, stay silent or
// refuse; its choice against sandrow's own on the same servers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>

#include "directory/check.h"
#include "directory_support.h"
#include "platform/socket.h"
#include "speedtest/best_server.h"
#include "speedtest/directory.h"
#include "speedtest/http_exchange.h"

namespace {

using directory::DirectoryConfig;
using dirtest::MakeTarget;
using dirtest::Numbered;
using dirtest::UniqueFd;
using namespace std::chrono_literals;

TEST(DirectoryCheck, ChoosesAsSandrowDoes) {
    using L = std::vector<std::optional<double>>;
    const std::pair<L, int> cases[] = {
        // Five: the third-slowest, the median.
        {{0.05, 0.01, 0.03, 0.04, 0.02}, 2},
        // Four: the second-fastest.
        {{0.04, 0.01, 0.03, 0.02}, 3},
        // Three: the median.
        {{0.01, 0.03, 0.02}, 2},
        // Two: the slower one.
        {{0.01, 0.02}, 1},
        {{0.02, 0.01}, 0},
        // One: that one.
        {{0.07}, 0},
        // Equal: the later takes the slower place; the first is the fastest.
        {{0.02, 0.02}, 1},
        {{0.02, 0.02, 0.02}, 1},
        // Silent servers are passed over.
        {{std::nullopt, 0.05, std::nullopt, 0.01, 0.03}, 4},
        {{std::nullopt, 0.05}, 1},
        {{std::nullopt, std::nullopt}, -1},
        {{}, -1},
    };
    for (const auto& [latencies, chosen] : cases) {
        std::string shown;
        for (const auto& l : latencies) shown += l ? std::to_string(*l) + " " : "- ";
        EXPECT_EQ(directory::ChooseLikeSandrow(latencies), chosen) << shown;
    }
}

TEST(DirectoryCheck, TakesTheFiveNearestTiesInFileOrder) {
    DirectoryConfig config;
    config.location.lat = 10;
    config.location.lon = 10;
    // Degrees of latitude away: 6, 1, 3, 3, 12, 0, 3, 2.
    for (double away : {6.0, 1.0, 3.0, 3.0, 12.0, 0.0, 3.0, 2.0}) {
        config.targets.push_back(MakeTarget("t", "h.example", 10 + away, 10));
    }
    EXPECT_EQ(directory::NearestTargets(config), (std::vector<size_t>{5, 1, 7, 2, 3}));
    config.targets.resize(2);
    EXPECT_EQ(directory::NearestTargets(config), (std::vector<size_t>{1, 0}));
}

// A loopback server that answers each connection after `delay` with `answer`
// (or never, when empty), on the address's port; one thread, one connection
// at a time.
class LatencyServer {
  public:
    LatencyServer(const std::string& address, uint16_t* port, std::chrono::milliseconds delay,
                  std::string answer)
        : delay_(delay), answer_(std::move(answer)) {
        listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(*port);
        ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        socklen_t length = sizeof sa;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&sa), length) != 0 ||
            ::listen(listener_.get(), 16) != 0) {
            throw std::runtime_error("cannot listen on " + address);
        }
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&sa), &length);
        *port = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~LatencyServer() {
        stop_ = true;
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }

  private:
    void Run() {
        while (!stop_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            UniqueFd c(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!c) continue;
            std::this_thread::sleep_for(delay_);
            if (answer_.empty()) {
                // Silent: holds the connection until the client gives up.
                dirtest::ReadAll(c.get(), 1500ms);
                continue;
            }
            dirtest::SendAll(c.get(), answer_);
            ::shutdown(c.get(), SHUT_WR);
            dirtest::ReadAll(c.get(), 500ms);
        }
    }

    UniqueFd listener_;
    std::chrono::milliseconds delay_;
    std::string answer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The real exchange, on the test's port instead of 80; lookups as sandrow's,
// except for one name that fails.
directory::CheckNetwork LoopbackNetwork(uint16_t port, std::chrono::milliseconds timeout) {
    directory::CheckNetwork network;
    network.lookup = [](const std::string& host, uint32_t* address) {
        return host != "lookup.fails.example" && platform::LookupHostIPv4(host, address);
    };
    network.exchange = [port, timeout](uint32_t address, const std::string& request) {
        return directory::TimeExchange(address, port, request, timeout);
    };
    return network;
}

TEST(DirectoryCheck, TimesGoodFourOhFourSilentAndRefusingTargets) {
    uint16_t port = 0;
    LatencyServer good("127.0.0.2", &port, 0ms, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    LatencyServer notFound("127.0.0.3", &port, 0ms, "HTTP/1.1 404 Not Found\r\n\r\n");
    LatencyServer silent("127.0.0.4", &port, 0ms, "");
    // 127.0.0.5: nothing listens there, the connection is refused.

    DirectoryConfig config;
    config.location.lat = 0;
    config.location.lon = 0;
    config.targets.push_back(MakeTarget("good", "127.0.0.2", 1, 0));
    config.targets.push_back(MakeTarget("404", "127.0.0.3", 2, 0));
    config.targets.push_back(MakeTarget("silent", "127.0.0.4", 3, 0));
    config.targets.push_back(MakeTarget("refusing", "127.0.0.5", 4, 0));
    config.targets.push_back(MakeTarget("", "lookup.fails.example", 5, 0));
    config.targets.push_back(MakeTarget("far", "127.0.0.2", 50, 0));

    const directory::CheckReport report =
        directory::RunCheck(config, LoopbackNetwork(port, 300ms), 3);
    ASSERT_EQ(report.targets.size(), config.targets.size());
    const directory::TargetCheck& g = report.targets[0];
    EXPECT_EQ(g.address, "127.0.0.2");
    EXPECT_EQ(g.times.size(), 3u);
    EXPECT_EQ(g.statusLine, "HTTP/1.1 200 OK");
    ASSERT_TRUE(g.fastest && g.median);
    EXPECT_LE(*g.fastest, *g.median);
    EXPECT_LT(*g.median, 0.3);
    EXPECT_EQ(report.targets[1].statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(report.targets[1].times.size(), 3u);  // a 404 is an answer, as for sandrow
    EXPECT_TRUE(report.targets[2].times.empty());
    EXPECT_EQ(report.targets[2].statusLine, "no answer within 300 ms");
    EXPECT_FALSE(report.targets[2].median);
    EXPECT_TRUE(report.targets[3].times.empty());
    EXPECT_EQ(report.targets[3].statusLine, "connect: Connection refused");
    EXPECT_FALSE(report.targets[4].resolved);
    EXPECT_EQ(report.targets[4].statusLine, "name lookup failed");
    EXPECT_EQ(report.answered, 3u);
    // The five nearest; "far" is sixth, answers, and is never sandrow's.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(report.targets[static_cast<size_t>(i)].nearestRank, i);
    EXPECT_EQ(report.targets[5].nearestRank, -1);
    // Two of the nearest answered: sandrow takes the slower of the two.
    EXPECT_TRUE(report.chosen == 0 || report.chosen == 1) << report.chosen;
    const int other = 1 - report.chosen;
    EXPECT_GE(*report.targets[static_cast<size_t>(report.chosen)].median,
              *report.targets[static_cast<size_t>(other)].median);

    const std::string table = directory::FormatCheckReport(config, report);
    EXPECT_NE(table.find("target"), std::string::npos) << table;
    EXPECT_NE(table.find("CHOSEN"), std::string::npos) << table;
    EXPECT_NE(table.find("(no name)"), std::string::npos) << table;
    EXPECT_NE(table.find("sandrow would probe 127.0.0."), std::string::npos) << table;
    EXPECT_NE(table.find("3/3"), std::string::npos) << table;

    // Only the far one answers: no server for sandrow, and the check says so.
    DirectoryConfig lonely = config;
    lonely.targets.erase(lonely.targets.begin(), lonely.targets.begin() + 2);
    lonely.targets.resize(3);  // silent, refusing, lookup failure
    lonely.targets.push_back(MakeTarget("far a", "127.0.0.5", 40, 0));
    lonely.targets.push_back(MakeTarget("far b", "127.0.0.5", 41, 0));
    lonely.targets.push_back(MakeTarget("far c", "127.0.0.2", 42, 0));
    const directory::CheckReport none =
        directory::RunCheck(lonely, LoopbackNetwork(port, 200ms), 1);
    EXPECT_EQ(none.answered, 1u);
    EXPECT_EQ(none.chosen, -1);
    EXPECT_NE(directory::FormatCheckReport(lonely, none).find("none of the 5 nearest"),
              std::string::npos);
}

TEST(DirectoryCheck, TheCheckRequestIsSandrowsProbe) {
    // Byte for byte what the probe sends, so that a target is timed on the
    // very request sandrow will time it on.
    EXPECT_EQ(directory::TimedRequest("h.example"), BuildLatencyRequest("h.example"));
    EXPECT_EQ(
        directory::TimedRequest("h.example").rfind("GET /speedtest/latency.txt HTTP/1.1\r\n", 0),
        0u);
}

TEST(DirectoryCheck, ChoosesTheServerSandrowChoosesOnTheSameServers) {
    // Five servers whose answers take clearly different times, in the order
    // sandrow times them (nearest first).
    const std::chrono::milliseconds delays[] = {160ms, 0ms, 80ms, 120ms, 40ms};
    uint16_t port = 0;
    std::vector<std::unique_ptr<LatencyServer>> servers;
    DirectoryConfig config;
    config.location.lat = 0;
    config.location.lon = 0;
    for (size_t i = 0; i < 5; ++i) {
        const std::string address = Numbered("127.0.0.", i + 2);
        servers.push_back(std::make_unique<LatencyServer>(address, &port, delays[i],
                                                          "HTTP/1.1 404 Not Found\r\n\r\n"));
        config.targets.push_back(
            MakeTarget(Numbered("t", i), address, static_cast<double>(i + 1), 0));
    }
    const directory::CheckReport report =
        directory::RunCheck(config, LoopbackNetwork(port, 2000ms), 3);

    // Sandrow itself, on the same servers in the same order. A round in
    // which a connection got lost on a busy machine (sandrow then skips that
    // server, and chooses among the others) is run again.
    dirtest::ShortSandrowWaits(port);
    int sandrows = -1;
    for (int round = 0; round < 3; ++round) {
        ServerList list;
        for (const directory::Target& t : config.targets) {
            ServerRecord record;
            record["url"] = "\"http://" + t.host + "/speedtest/upload.php\"";
            list.push_back(record);
        }
        sandrows = GetBestServer(list);
        // "host" is written into each server that answered.
        if (std::all_of(list.begin(), list.end(),
                        [](ServerRecord& r) { return !r["host"].empty(); })) {
            break;
        }
    }
    ResetExchangeSettingsForTest();
    ClearLastErrorText();

    EXPECT_EQ(sandrows, 2);  // 80 ms: the third-slowest
    EXPECT_EQ(report.chosen, sandrows);
}

}  // namespace

// A private network namespace with its loopback up, for servers on port 80
// of 127.0.0.x (root only; skipped elsewhere). The test thread, the threads
// it starts and the programs it runs work inside it until the end.
class DirectoryCheckInNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        name_ = "sandrow-directory-" + std::to_string(::getpid());
        if (Shell("ip netns add " + name_) != 0) {
            name_.clear();
            GTEST_SKIP() << "cannot create a network namespace here (no CAP_SYS_ADMIN or iproute2)";
        }
        ASSERT_EQ(Shell("ip -n " + name_ + " link set lo up"), 0);
        home_ = UniqueFd(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
        UniqueFd ns(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::setns(ns.get(), CLONE_NEWNET), 0);
    }
    void TearDown() override {
        if (home_) ::setns(home_.get(), CLONE_NEWNET);
        if (!name_.empty()) Shell("ip netns del " + name_);
    }
    static int Shell(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str());
    }

    std::string name_;
    UniqueFd home_;
};

// The program's --check and its exit status; its stdout and stderr in *output.
int RunCheckProgram(const std::string& configPath, std::string* output) {
    const std::string command = std::string(SANDROW_DIRECTORY_PATH) + " --check --config " +
                                configPath + " --timeout 300 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[1024];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(DirectoryCheckInNamespace, TheCheckTimesTargetsOnPort80AndFailsWhenNoneAnswers) {
    uint16_t port = 80;
    LatencyServer good("127.0.0.2", &port, 0ms, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    LatencyServer notFound("127.0.0.3", &port, 0ms, "HTTP/1.1 404 Not Found\r\n\r\n");
    LatencyServer silent("127.0.0.4", &port, 0ms, "");
    const std::string location = "[location]\nlat = 0\nlon = 0\n";
    auto target = [](const char* name, const char* host, int lat) {
        return std::string("[target ") + name + "]\nhost = " + host +
               "\nlat = " + std::to_string(lat) + "\nlon = 0\n";
    };

    dirtest::TempFile file(location + target("good", "127.0.0.2", 1) +
                           target("missing", "127.0.0.3", 2) + target("silent", "127.0.0.4", 3) +
                           target("refusing", "127.0.0.5", 4));
    std::string output;
    EXPECT_EQ(RunCheckProgram(file.path(), &output), 0) << output;
    for (const char* row : {"HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found", "no answer within 300 ms",
                            "connect: Connection refused", "5/5", "0/5", "CHOSEN"}) {
        EXPECT_NE(output.find(row), std::string::npos) << row << "\n" << output;
    }
    // Two answered; sandrow takes the slower, so one of those two.
    EXPECT_NE(output.find("sandrow would probe 127.0.0."), std::string::npos) << output;

    file.Write(location + target("silent", "127.0.0.4", 1) + target("refusing", "127.0.0.5", 2));
    output.clear();
    EXPECT_EQ(RunCheckProgram(file.path(), &output), 1) << output;
    EXPECT_NE(output.find("no target answered"), std::string::npos) << output;
}
