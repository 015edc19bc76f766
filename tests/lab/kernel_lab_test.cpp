// The kernel lab: its scenarios, and a short run end to end as root (both
// runs, the real service and sandrow, real TCP). Its figures: results_test.
#include <unistd.h>

#include <gtest/gtest.h>

#include "lab/lab_support.h"
#include "lab/scenario.h"
#include "support/test_support.h"

namespace {

using labtest::Holds;
using labtest::KernelWorld;

TEST(KernelScenario, ReadsTheShippedOneAndRefusesWhatTheKernelLabCannotStage) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_KERNEL_SCENARIO, &s, &error)) << error;
    EXPECT_TRUE(s.kernel.enabled);
    EXPECT_EQ(s.kernel.flows, 4);
    EXPECT_EQ(s.kernel.congestion, "cubic");
    // Two runs of it and the setup fit in six minutes.
    EXPECT_LE(2 * s.duration + 20, 360);
    const lab::SimLine& line = s.sim.lines.front();
    // The ISP's buffer holds at least 150 ms at the first capacity.
    EXPECT_GE(line.bufferBytes * 8 / (line.capacity.front().mbps * 1e6), 0.150);
    ASSERT_EQ(s.phases.size(), 4u);
    EXPECT_EQ(s.phases[1].name, "saturated");
    EXPECT_TRUE(s.kernel.runUnshaped && s.kernel.runSandrow) << "both runs by default";

    // `text` inserted before `before` in the one-line world.
    auto with = [](const std::string& before, const std::string& text) {
        std::string world = KernelWorld(30);
        return world.insert(world.find(before), text);
    };
    // One run alone, as a tuning study's point makes it.
    s = labtest::Parsed(with("flows", "runs = sandrow\n"));
    EXPECT_FALSE(s.kernel.runUnshaped);
    EXPECT_TRUE(s.kernel.runSandrow);
    std::string fixed = KernelWorld(30);
    fixed.replace(fixed.find("4:greedy"), 8, "4:7.5");
    std::string simulated = labtest::kMinimal;
    simulated.insert(simulated.find("capacity"), "rtt_ms = 5\n");
    std::string fiveLines;
    for (const char* id : {"4", "5", "6", "7"}) {
        fiveLines += std::string("[gateway g") + id + "]\nmac = " + id + "\nid = " + id +
                     "\ndownload_mbps = 1\nupload_mbps = 1\ncapacity = 0:5\n";
    }
    const std::pair<std::string, std::string> refused[] = {
        {with("flows", "runs = twice\n"),
         "4: 'twice' is not both, unshaped or sandrow (key 'runs' in [kernel])"},
        {KernelWorld(30, "[server f]\naddress = 127.0.2.9\ndelay_ms = 1\nlat = 0\nlon = 0\n"),
         "56: '127.0.2.9' is not an address of the benchmark network 198.18.0.0/15 ('address' "
         "in [server f])"},
        {KernelWorld(30, fiveLines),
         "0: the kernel lab takes at most 4 [gateway NAME] lines, not 5"},
        {KernelWorld(30, "[events]\n10 = service_stop\n"),
         "0: the kernel lab stages no event '10 = service_stop'"},
        {KernelWorld(30, "[kernel]\n"), "55: a second [kernel]"},
        {with("buffer_bytes", "leaf = codel\n"),
         "5: leaf in [gateway line] is 'codel', not auto, cake, fq_codel, sfq or bfifo"},
        {simulated, "0: rtt_ms and leaf in [gateway g] need the kernel lab (a [kernel] section)"},
        {fixed, "0: the kernel lab's demand is idle or greedy (bulk TCP), not 7.5 mbps"},
    };
    for (const auto& [text, problem] : refused) {
        EXPECT_FALSE(lab::ParseScenario(text, "k.ini", &s, &error)) << text;
        EXPECT_EQ(error, "k.ini:" + problem);
    }
    // The router lab's line keys: a round trip and the service's leaf.
    s = labtest::Parsed(with("buffer_bytes", "rtt_ms = 12.5\nleaf = fq_codel\n"));
    EXPECT_EQ(s.kernel.lines[0].rttMs, 12.5);
    EXPECT_EQ(s.kernel.lines[0].leaf, "fq_codel");
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_ROUTER_SCENARIO, &s, &error)) << error;
    ASSERT_EQ(s.kernel.lines.size(), 1u);
    EXPECT_EQ(s.kernel.lines[0].rttMs, 20);
    EXPECT_EQ(s.kernel.lines[0].leaf, "auto");
    // Two WANs: each line's own round trip, and a buffer of at least 150 ms
    // at its capacity.
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_TWO_WAN_SCENARIO, &s, &error)) << error;
    ASSERT_EQ(s.sim.lines.size(), 2u);
    ASSERT_EQ(s.kernel.lines.size(), 2u);
    EXPECT_EQ(s.kernel.lines[1].rttMs, 40);
    for (const lab::SimLine& wan : s.sim.lines) {
        EXPECT_GE(wan.bufferBytes * 8 / (wan.capacity.front().mbps * 1e6), 0.150) << wan.name;
    }
}

// The probe counts of gateway `name` in summary.json's run `run`, summed
// over its phases: {own interface, other}.
std::pair<long, long> ProbeCounts(const std::string& json, const std::string& run,
                                  const std::string& name) {
    std::pair<long, long> counts{0, 0};
    size_t at = json.find("{\"name\": \"" + run + "\", \"phases\"");
    if (at == std::string::npos) return counts;
    // The run ends where the next begins.
    const size_t end = std::min(json.find("\n  {\"name\": ", at), json.size());
    while ((at = json.find("{\"name\": \"" + name + "\", \"capacity", at + 1)) < end) {
        const size_t own = json.find("\"probes_own_interface\": ", at);
        const size_t other = json.find("\"probes_other_interface\": ", at);
        counts.first += std::strtol(json.c_str() + own + 24, nullptr, 10);
        counts.second += std::strtol(json.c_str() + other + 26, nullptr, 10);
    }
    return counts;
}

TEST(KernelLabRun, RunsTwoLinesWithoutAndWithSandrowAndEachProbeTakesItsGatewaysLine) {
    if (::geteuid() != 0) GTEST_SKIP() << "the kernel lab needs root for its namespaces and qdiscs";
    constexpr int kDuration = 26;
    test::TempDir tmp;
    test::WriteFile(tmp.file("k.ini"),
                    KernelWorld(kDuration,
                                "[gateway lte]\nmac = 02-00-00-00-00-02\nid = 4\n"
                                "download_mbps = 10\nupload_mbps = 3\ncapacity = 0:8\n"
                                "demand = 0:idle, 4:greedy, 22:idle\nbuffer_bytes = 200000\n"));
    const std::string dir = tmp.file("run");
    ASSERT_EQ(labtest::RunLab({"--kernel", tmp.file("k.ini"), "--out", dir}, tmp.file("lab.out"),
                              2 * kDuration + 40),
              0)
        << test::ReadFile(tmp.file("lab.out"));

    const std::string summary = test::ReadFile(dir + "/summary.txt");
    for (const char* part :
         {"unshaped: corvane-service exit code 0, its tree removed",
          "sandrow: corvane-service exit code 0, its tree removed; sandrow exit code 0",
          "line lte: 8 mbps at first"}) {
        EXPECT_TRUE(Holds(summary, part));
    }
    // sandrow ran on the router and found both gateways through the kernel
    // backend; each one's probes left through its own line.
    const std::string console = test::ReadFile(dir + "/console.txt");
    EXPECT_TRUE(Holds(console, "Found internet gateway(s) 2 / 2"));
    EXPECT_TRUE(Holds(console, "Monitoring internet traffic..."));
    const std::string json = test::ReadFile(dir + "/summary.json");
    for (const char* name : {"line", "lte"}) {
        auto [own, other] = ProbeCounts(json, "sandrow", name);
        EXPECT_GT(own, 0) << name << "\n" << json;
        EXPECT_EQ(other, 0) << name << "\n" << json;
    }

    // Without shaping the downloads fill each line and its buffer: the
    // line's capacity is delivered and its meter sees the queue.
    auto rows = labtest::Rows(test::ReadFile(dir + "/state.csv"));
    EXPECT_GE(rows.size(), kDuration - 2u);
    for (const auto& [name, capacity] : {std::pair{"line", 20.0}, std::pair{"lte", 8.0}}) {
        const std::string goodput = std::string(name) + "_unshaped_goodput_mbps";
        const std::string added = std::string(name) + "_unshaped_added_ms";
        double maxAdded = 0, maxGoodput = 0;
        for (const auto& row : rows) {
            maxGoodput = std::max(maxGoodput, labtest::Number(row, goodput.c_str()));
            maxAdded = std::max(maxAdded, labtest::Number(row, added.c_str()));
        }
        EXPECT_GT(maxGoodput, 0.85 * capacity) << name << ": the downloads did not fill the line";
        EXPECT_GT(maxAdded, 100.0) << name << ": no queue built in the line's buffer";
    }
}

}  // namespace
