// sandrow-lab end to end: short scenarios run the real sandrow in a private
// network namespace; the checks read its console, its log and the lab's outputs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "lab/netns.h"
#include "support/test_support.h"

namespace {

// One gateway (G 3, 40 mbps configured) on a 30 mbps line, five servers of
// which sandrow probes the median one (127.0.2.3, 12 ms), unlimited probing.
std::string World(int duration, const std::string& demand, const std::string& more) {
    return "[run]\nduration = " + std::to_string(duration) +
           "\njitter_ms = 0.5\n"
           "[gateway fibre]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 40\n"
           "upload_mbps = 10\ndevice_id = 11\ncapacity = 0:30\ndemand = " +
           demand +
           "\nbuffer_bytes = 250000\n"
           "[server a]\naddress = 127.0.2.1\ndelay_ms = 6\nlat = 52.5\nlon = 13.4\n"
           "[server b]\naddress = 127.0.2.2\ndelay_ms = 9\nlat = 52.4\nlon = 13.1\n"
           "[server c]\naddress = 127.0.2.3\ndelay_ms = 12\nlat = 51.3\nlon = 12.4\n"
           "[server d]\naddress = 127.0.2.4\ndelay_ms = 15\nlat = 53.5\nlon = 10.0\n"
           "[server e]\naddress = 127.0.2.5\ndelay_ms = 20\nlat = 50.1\nlon = 14.4\n"
           "[registry]\nVormProbeMonthBudgetMB = 0\nIdleRecoverySecs = 10\nFloorPercentage = 50\n"
           "DebugLevel = 4\n" +
           more;
}

// Why no private network namespace can be made here, or empty when one can
// (tried in a child, which is thrown away).
std::string NamespaceProblem() {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string error;
        bool ok = lab::EnterPrivateNetwork(&error);
        [[maybe_unused]] ssize_t n = ::write(fds[1], error.data(), error.size());
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    std::string why;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        why.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    return why.empty() ? "the namespace test failed" : why;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++count;
    return count;
}

struct LabResult {
    int exitCode = -1;
    std::string output;  // the lab's standard output and error
    std::string dir;     // the run directory
    std::string File(const std::string& name) const { return test::ReadFile(dir + "/" + name); }
    std::string Console() const { return File("console.txt"); }
    // What to show when a check fails.
    std::string Story() const {
        std::string console = Console();
        return "\n--- lab output (tail) ---\n" +
               output.substr(output.size() > 3000 ? output.size() - 3000 : 0) +
               "\n--- console.txt (tail) ---\n" +
               console.substr(console.size() > 4000 ? console.size() - 4000 : 0);
    }
};

class LabRun : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why = NamespaceProblem();
        if (!why.empty()) GTEST_SKIP() << "no private network namespace for the lab: " << why;
    }

    // Runs sandrow-lab on the scenario text and waits for it (at most
    // duration + 60 s).
    LabResult Run(const std::string& scenario, int duration) {
        LabResult result;
        test::WriteFile(tmp_.file("scenario.ini"), scenario);
        result.dir = tmp_.file("run");
        pid_t pid = ::fork();
        if (pid == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(tmp_.file("lab.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execl(SANDROW_LAB_PATH, "sandrow-lab", tmp_.file("scenario.ini").c_str(), "--out",
                    result.dir.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        pollfd p{pidfd, POLLIN, 0};
        if (::poll(&p, 1, (duration + 60) * 1000) <= 0) ::kill(pid, SIGKILL);
        ::close(pidfd);
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        result.output = test::ReadFile(tmp_.file("lab.out"));
        return result;
    }

    test::TempDir tmp_;
};

// The rows of state.csv as columns by name.
std::vector<std::map<std::string, std::string>> Rows(const std::string& csv) {
    std::vector<std::map<std::string, std::string>> rows;
    std::istringstream in(csv);
    std::string line;
    std::vector<std::string> names;
    auto split = [](const std::string& text) {
        std::vector<std::string> fields;
        std::string field;
        std::istringstream s(text);
        while (std::getline(s, field, ',')) fields.push_back(field);
        if (!text.empty() && text.back() == ',') fields.push_back("");
        return fields;
    };
    if (std::getline(in, line)) names = split(line);
    while (std::getline(in, line)) {
        std::vector<std::string> fields = split(line);
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < names.size() && i < fields.size(); ++i) row[names[i]] = fields[i];
        rows.push_back(row);
    }
    return rows;
}

double Number(const std::map<std::string, std::string>& row, const char* column) {
    auto it = row.find(column);
    return it == row.end() || it->second.empty() ? -1 : std::stod(it->second);
}

TEST_F(LabRun, SaturatedLineGetsItsApertureNarrowed) {
    LabResult r = Run(World(28, "0:idle, 6:greedy", ""), 28);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string console = r.Console();
    EXPECT_NE(console.find("IDLE probes: sample time = "), std::string::npos) << r.Story();
    EXPECT_NE(console.find("[LIMIT DETECTED: "), std::string::npos) << r.Story();
    EXPECT_NE(console.find("[G 3]-----> "), std::string::npos) << "a decrease" << r.Story();
    EXPECT_NE(console.find("SignalHandler: [SIGINT]"), std::string::npos);
    EXPECT_NE(r.File("aperture.log").find("Exiting..."), std::string::npos);
    EXPECT_NE(r.output.find("run directory " + r.dir), std::string::npos) << r.output;
    EXPECT_GE(Count(r.output, "/28 s] cap "), 27u) << "a status line a second" << r.output;

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
    EXPECT_NE(summary.find("queueing delay under load: mean "), std::string::npos) << summary;
    EXPECT_NE(summary.find("delivered / capacity: "), std::string::npos) << summary;
    EXPECT_NE(r.File("registry.reg").find("\"IdleRecoverySecs\"=dword:0000000a"),
              std::string::npos);
    if (std::system("command -v gnuplot >/dev/null 2>&1") == 0) {
        EXPECT_EQ(r.File("plot.png").substr(0, 8), "\x89PNG\r\n\x1a\n") << r.File("gnuplot.log");
    } else {
        EXPECT_NE(r.File("lab.log").find("plot.png not made"), std::string::npos);
    }
}

TEST_F(LabRun, ServiceLeavingAndComingBackIsRediscovered) {
    LabResult r = Run(World(16, "0:idle", "[events]\n4 = service_stop\n9 = service_start\n"), 16);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string console = r.Console();
    EXPECT_EQ(
        Count(console, "\nCorvane/Varnel Network Service not found, restarting service...)\n"), 1u)
        << "one line, then a silent wait" << r.Story();
    EXPECT_EQ(Count(console, "\nFound internet gateway(s) 1 / 1\n"), 2u) << r.Story();
    size_t lost = console.find("Network Service not found");
    EXPECT_LT(lost, console.rfind("Found internet gateway(s)"));
    EXPECT_NE(r.File("aperture.log")
                  .find("<ERROR>:Corvane/Varnel Network Service not found, restarting service...)"),
              std::string::npos);
}

TEST_F(LabRun, ResourcesOfSandrowAndTheServiceAreSampledEverySecond) {
    LabResult r = Run(World(8, "0:idle", "[events]\n3 = service_stop\n5 = service_start\n"), 8);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    auto rows = Rows(r.File("resources.csv"));
    std::map<std::string, int> seconds;
    std::set<std::string> pids;
    double lastOutput = 0;
    for (const auto& row : rows) {
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
    EXPECT_GE(seconds["sandrow"], 7) << r.File("resources.csv");
    EXPECT_GE(seconds["sandrow-lab"], 7) << "the service's restart keeps the lab's pid";
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_NE(r.File("lab.log").find("sandrow started (pid " + *pids.begin() + ")"),
              std::string::npos);
    EXPECT_GT(lastOutput, 0);
    EXPECT_LE(lastOutput, static_cast<double>(r.Console().size()));
}

TEST_F(LabRun, BandwidthChangedBehindTheMonitorsBackRestartsDiscovery) {
    LabResult r = Run(World(12, "0:idle", "[events]\n4 = set_bandwidth fibre 35\n"), 12);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string console = r.Console();
    EXPECT_EQ(Count(console,
                    "\nValidateDLBWForISPs() Failed (Either settings changed unexpectedly "
                    "or DLBW not set at all, restarting service...)\n"),
              1u)
        << r.Story();
    EXPECT_NE(console.find("[G 3] Sync with Corvane Control Center - Download BW: 36.363636 mbps"),
              std::string::npos);
    EXPECT_NE(console.find("[G 3] Sync with Corvane Control Center - Download BW: 31.818182 mbps"),
              std::string::npos)
        << "rediscovered with the new bandwidth" << r.Story();
}

TEST_F(LabRun, SilentSpeedTestServerRestoresTheApertureAndRestarts) {
    LabResult r = Run(World(25, "0:25", "[events]\n3 = server_down all close\n"), 25);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string console = r.Console();
    const std::string restart = "\nCheckAndProbeISP(isp=0, G=3) failed (restarting service...)\n";
    ASSERT_NE(console.find(restart), std::string::npos) << r.Story();
    size_t at = console.find(restart);
    EXPECT_GE(Count(console.substr(0, at),
                    "MeasureHostLatency: failed to detect latency from: host=127.0.2."),
              3u)
        << "three failed cycles first" << r.Story();
    size_t restore =
        console.find("[G 3]+++++> Set aperture to recovery value: 36.36 mbps [fud 40.00]");
    EXPECT_GT(restore, at) << r.Story();
    EXPECT_NE(console.find("Found internet gateway(s) 1 / 1", at), std::string::npos)
        << "discovery again after the restart" << r.Story();
}

TEST_F(LabRun, UnreachableDirectoryAtStartIsRetriedSilently) {
    LabResult r = Run(World(10, "0:idle", "[directory]\nstart_at = 5\n"), 10);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    const std::string console = r.Console();
    const std::string waiting =
        "DoApertureMonitor(): Failed to retrieve Speedtest server configuration, waiting...\n";
    EXPECT_EQ(Count(console, waiting), 1u) << r.Story();
    size_t found = console.find("DoApertureMonitor():[GetClosestServers] Succeeded");
    EXPECT_GT(found, console.find(waiting)) << r.Story();
    EXPECT_NE(console.find("Found internet gateway(s) 1 / 1"), std::string::npos) << r.Story();
    EXPECT_EQ(Count(r.File("aperture.log"), "Failed to retrieve Speedtest server configuration"),
              1u);
}

TEST_F(LabRun, RefusedReportKeepsItsCountsUntilDelivered) {
    // Local time starts at minute 59, second 57; at minute 0 sandrow draws a
    // report minute, then at 8 s its clock steps 59 minutes ahead, so the
    // next budget check (30 ticks on) finds the report due. That report is
    // refused (404); the one at exit is taken (200).
    LabResult r = Run(World(38, "0:idle",
                            "ProbeCountReportHours = 1\n"
                            "[collector]\nresponses = 404, 200\n"
                            "[sandrow]\nclock = 59:57\nclock_jump_at = 8\nclock_jump = 59:00\n"),
                      38);
    ASSERT_EQ(r.exitCode, 0) << r.Story();
    auto reports = Rows(r.File("reports.csv"));
    ASSERT_EQ(reports.size(), 2u) << r.File("reports.csv") << r.Story();
    EXPECT_EQ(reports[0]["status"], "404");
    EXPECT_EQ(reports[1]["status"], "200");
    EXPECT_LT(Number(reports[0], "at_s"), 38) << "the first one is not the report at exit";
    double refused = Number(reports[0], "probes");
    double delivered = Number(reports[1], "probes");
    EXPECT_GE(refused, 1);
    EXPECT_GE(delivered, refused) << "the refused probes are sent again";
    EXPECT_EQ(delivered, static_cast<double>(Count(r.File("aperture.log"), "] Sent Probe [")))
        << "every probe delivered once";
    EXPECT_EQ(reports[0]["gateway_mac"], "02-00-00-00-00-01");
    EXPECT_NE(r.Console().find("RECEIVED ERROR ["), std::string::npos);
    EXPECT_NE(r.Console().find("HTTP/1.1 404 Not Found"), std::string::npos) << r.Story();
}

}  // namespace
