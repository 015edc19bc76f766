// sandrow-lab end to end: short scenarios run the real sandrow in a private
// network namespace; the checks read its console, its log and the lab's
// outputs.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "lab/lab_support.h"
#include "netlink/netns.h"
#include "support/test_support.h"

namespace {

using labtest::Number;
using labtest::Rows;

// Whether a private network namespace can be made here (tried in a
// thrown-away child).
bool NamespacesWork() {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string error;
        ::_exit(nl::netns::EnterPrivateNetwork(&error) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Tail(const std::string& text, size_t n) {
    return text.substr(text.size() > n ? text.size() - n : 0);
}

struct LabResult {
    int exitCode = -1;
    std::string output;  // the lab's standard output and error
    std::string dir;     // the run directory
    std::string File(const std::string& name) const { return test::ReadFile(dir + "/" + name); }
    std::string Console() const { return File("console.txt"); }
    // What to show when a check fails.
    std::string Story() const {
        return "\n--- lab output ---\n" + Tail(output, 3000) + "\n--- console.txt ---\n" +
               Tail(Console(), 4000);
    }
    // Whether sandrow's console holds `text` `times` times (any number when
    // negative); a failure tells the run's story.
    ::testing::AssertionResult Said(const std::string& text, int times = -1) const {
        const size_t n = test::Occurrences(Console(), text);
        if (times < 0 ? n > 0 : n == static_cast<size_t>(times)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << n << " times '" << text << "'" << Story();
    }
};

class LabRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NamespacesWork()) GTEST_SKIP() << "no private network namespace for the lab";
    }

    // Runs sandrow-lab for `duration` s and waits for it (at most 60 s more):
    // one gateway (G 3, 40 mbps configured) on a 30 mbps line with `demand`,
    // five servers of which sandrow probes the median one (127.0.2.3, 12 ms),
    // unlimited probing, and `more`.
    LabResult Run(int duration, const std::string& demand, const std::string& more) {
        LabResult result;
        test::WriteFile(tmp_.file("scenario.ini"),
                        "[run]\nduration = " + std::to_string(duration) +
                            "\njitter_ms = 0.5\n[gateway fibre]\nmac = 02-00-00-00-00-01\n"
                            "id = 3\ndownload_mbps = 40\nupload_mbps = 10\ndevice_id = 11\n"
                            "capacity = 0:30\ndemand = " +
                            demand + "\nbuffer_bytes = 250000\n" +
                            labtest::FiveServers("127.0.2.") +
                            "[registry]\nVormProbeMonthBudgetMB = 0\nIdleRecoverySecs = 10\n"
                            "FloorPercentage = 50\nDebugLevel = 4\n" +
                            more);
        result.dir = tmp_.file("run");
        result.exitCode = labtest::RunLab({tmp_.file("scenario.ini"), "--out", result.dir},
                                          tmp_.file("lab.out"), duration + 60);
        result.output = test::ReadFile(tmp_.file("lab.out"));
        return result;
    }

    test::TempDir tmp_;
};

TEST_F(LabRun, SaturatedLineGetsItsApertureNarrowed) {
    LabResult r = Run(28, "0:idle, 6:greedy", "");
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    for (const char* line : {"IDLE probes: sample time = ", "[LIMIT DETECTED: ", "[G 3]-----> ",
                             "SignalHandler: [SIGINT]"}) {
        EXPECT_TRUE(r.Said(line));
    }
    EXPECT_NE(r.File("aperture.log").find("Exiting..."), std::string::npos);
    EXPECT_NE(r.output.find("run directory " + r.dir), std::string::npos) << r.output;
    EXPECT_GE(test::Occurrences(r.output, "/28 s] cap "), 27u)
        << "a status line a second" << r.output;

    auto rows = Rows(r.File("state.csv"));
    ASSERT_GE(rows.size(), 27u);
    double lowestLimit = 1e9;
    for (const auto& row : rows) {
        double t = Number(row, "t_s");
        if (t > 6) lowestLimit = std::min(lowestLimit, Number(row, "limit_mbps"));
        if (t >= 9 && t <= 12) {
            EXPECT_NEAR(Number(row, "delivered_mbps"), 30, 0.5) << "greedy fills the line at " << t;
            EXPECT_GT(Number(row, "queue_ms"), 40) << "and its buffer at " << t;
        }
        if (t < 6) {
            EXPECT_EQ(Number(row, "queue_ms"), 0) << t;
        }
    }
    EXPECT_LT(lowestLimit, 36) << "the limit came down from 40 mbps" << r.Story();

    std::string summary = r.File("summary.txt");
    EXPECT_TRUE(labtest::Holds(summary, "queueing delay under load: mean "));
    EXPECT_TRUE(labtest::Holds(summary, "delivered / capacity: "));
    EXPECT_TRUE(labtest::Holds(r.output, summary)) << "the summary is shown at the end";
    EXPECT_TRUE(labtest::Holds(r.File("registry.reg"), "\"IdleRecoverySecs\"=dword:0000000a"));
}

// Also samples both processes' resources every second across the service's
// restart.
TEST_F(LabRun, ServiceLeavingAndComingBackIsRediscovered) {
    LabResult r = Run(16, "0:idle", "[events]\n4 = service_stop\n9 = service_start\n");
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string console = r.Console();
    EXPECT_TRUE(r.Said("\nCorvane/Varnel Network Service not found, restarting service...)\n", 1))
        << "one line, then a silent wait";
    EXPECT_TRUE(r.Said("\nFound internet gateway(s) 1 / 1\n", 2));
    EXPECT_LT(console.find("Network Service not found"),
              console.rfind("Found internet gateway(s)"));

    std::map<std::string, int> seconds;
    std::set<std::string> pids;
    double lastOutput = 0;
    for (const auto& row : Rows(r.File("resources.csv"))) {
        const std::string process = row.at("process");
        ++seconds[process];
        EXPECT_GT(Number(row, "rss_kb"), 1000) << process;
        EXPECT_GE(Number(row, "fds"), 3) << process;
        if (process == "sandrow") {
            pids.insert(row.at("pid"));
            EXPECT_GE(Number(row, "output_bytes"), lastOutput) << "console.txt only grows";
            lastOutput = Number(row, "output_bytes");
        } else {
            EXPECT_EQ(process, "sandrow-lab");
            EXPECT_EQ(row.at("output_bytes"), "");
        }
    }
    EXPECT_GE(seconds["sandrow"], 15) << r.File("resources.csv");
    EXPECT_GE(seconds["sandrow-lab"], 15) << "the service's restart keeps the lab's pid";
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_TRUE(labtest::Holds(r.File("lab.log"), "sandrow started (pid " + *pids.begin() + ")"));
    EXPECT_GT(lastOutput, 0);
    EXPECT_LE(lastOutput, static_cast<double>(console.size()));
}

TEST_F(LabRun, BandwidthChangedBehindTheMonitorsBackRestartsDiscovery) {
    LabResult r = Run(12, "0:idle", "[events]\n4 = set_bandwidth fibre 35\n");
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    EXPECT_TRUE(
        r.Said("\nValidateDLBWForISPs() Failed (Either settings changed unexpectedly or "
               "DLBW not set at all, restarting service...)\n",
               1));
    const std::string sync = "[G 3] Sync with Corvane Control Center - Download BW: ";
    EXPECT_TRUE(r.Said(sync + "36.363636 mbps"));
    EXPECT_TRUE(r.Said(sync + "31.818182 mbps")) << "rediscovered with the new bandwidth";
}

TEST_F(LabRun, UnreachableDirectoryAtStartIsRetriedSilently) {
    LabResult r = Run(10, "0:idle", "[directory]\nstart_at = 5\n");
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string waiting =
        "DoApertureMonitor(): Failed to retrieve "
        "Speedtest server configuration, waiting...\n";
    EXPECT_TRUE(r.Said(waiting, 1));
    EXPECT_GT(r.Console().find("DoApertureMonitor():[GetClosestServers] Succeeded"),
              r.Console().find(waiting))
        << r.Story();
    EXPECT_TRUE(r.Said("Found internet gateway(s) 1 / 1"));
}

}  // namespace
