// The kernel lab: its scenarios, its figures per phase, and a short run end
// to end as root (both runs, the real service and sandrow, real TCP).
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "lab/kernel_results.h"
#include "lab/lab_support.h"
#include "lab/scenario.h"
#include "support/test_support.h"

namespace {

std::string KernelWorld(int duration, const std::string& more = "") {
    return "[run]\nduration = " + std::to_string(duration) +
           "\n[kernel]\nflows = 2\n"
           "[gateway line]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 24\n"
           "upload_mbps = 10\ncapacity = 0:20, 16:15\ndemand = 0:idle, 4:greedy, 22:idle\n"
           "buffer_bytes = 400000\n"
           "[directory]\nprimary = 198.18.1.1\nsecondary = 198.18.1.2\n"
           "[collector]\naddress = 198.18.3.1\n" +
           labtest::FiveServers("198.18.2.") +
           "[registry]\nVormProbeMonthBudgetMB = 0\nFloorPercentage = 50\n"
           "[phase idle start]\nstart = 0\n[phase saturated]\nstart = 4\n"
           "[phase capacity drop]\nstart = 16\n[phase idle recovery]\nstart = 22\n" +
           more;
}

TEST(KernelScenario, ReadsTheShippedOneAndRefusesWhatTheKernelLabCannotStage) {
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_KERNEL_SCENARIO, &s, &error)) << error;
    EXPECT_TRUE(s.kernel.enabled);
    EXPECT_EQ(s.kernel.flows, 4);
    EXPECT_EQ(s.kernel.congestion, "cubic");
    // Two runs of it and the setup fit in six minutes.
    EXPECT_LE(2 * s.duration + 20, 360);
    const corvane::SimLine& line = s.sim.lines.front();
    // The ISP's buffer holds at least 150 ms at the first capacity.
    EXPECT_GE(line.bufferBytes * 8 / (line.capacity.front().mbps * 1e6), 0.150);
    ASSERT_EQ(s.phases.size(), 4u);
    EXPECT_EQ(s.phases[1].name, "saturated");

    struct Case {
        std::string text;
        std::string error;  // after "k.ini:"
    };
    const Case cases[] = {
        {KernelWorld(30, "[server f]\naddress = 127.0.2.9\ndelay_ms = 1\nlat = 0\nlon = 0\n"),
         "55: '127.0.2.9' is not an address of the benchmark network 198.18.0.0/15 ('address' "
         "in [server f])"},
        {KernelWorld(30,
                     "[gateway other]\nmac = x\nid = 4\ndownload_mbps = 1\nupload_mbps = 1\n"
                     "capacity = 0:5\n"),
         "0: the kernel lab takes exactly one [gateway NAME] (the line)"},
        {KernelWorld(30, "[events]\n10 = service_stop\n"),
         "0: the kernel lab stages no event '10 = service_stop'"},
        {KernelWorld(30, "[kernel]\n"), "54: a second [kernel]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(lab::ParseScenario(c.text, "k.ini", &s, &error));
        EXPECT_EQ(error, "k.ini:" + c.error);
    }
    // The router lab's line keys: a round trip and the service's leaf, on a
    // kernel scenario only.
    ASSERT_TRUE(lab::LoadScenario(SANDROW_LAB_ROUTER_SCENARIO, &s, &error)) << error;
    ASSERT_EQ(s.kernel.lines.size(), 1u);
    EXPECT_EQ(s.kernel.lines[0].rttMs, 20);
    EXPECT_EQ(s.kernel.lines[0].leaf, "auto");
    std::string keyed = KernelWorld(30);
    keyed.insert(keyed.find("buffer_bytes"), "rtt_ms = 12.5\nleaf = fq_codel\n");
    ASSERT_TRUE(lab::ParseScenario(keyed, "k.ini", &s, &error)) << error;
    EXPECT_EQ(s.kernel.lines[0].rttMs, 12.5);
    EXPECT_EQ(s.kernel.lines[0].leaf, "fq_codel");
    std::string badLeaf = KernelWorld(30);
    badLeaf.insert(badLeaf.find("buffer_bytes"), "leaf = codel\n");
    EXPECT_FALSE(lab::ParseScenario(badLeaf, "k.ini", &s, &error));
    EXPECT_EQ(error,
              "k.ini:5: leaf in [gateway line] is 'codel', not auto, cake, fq_codel, sfq or bfifo");
    std::string simulated = labtest::kMinimal;
    simulated.insert(simulated.find("capacity"), "rtt_ms = 5\n");
    EXPECT_FALSE(lab::ParseScenario(simulated, "k.ini", &s, &error));
    EXPECT_EQ(error,
              "k.ini:0: rtt_ms and leaf in [gateway g] need the kernel lab (a [kernel] section)");

    std::string fixed = KernelWorld(30);
    fixed.replace(fixed.find("4:greedy"), 8, "4:7.5");
    EXPECT_FALSE(lab::ParseScenario(fixed, "k.ini", &s, &error));
    EXPECT_EQ(error, "k.ini:0: the kernel lab's demand is idle or greedy (bulk TCP), not 7.5 mbps");
}

TEST(KernelFigures, PhasesSplitGoodputLatencyLossAndLimit) {
    lab::KernelRunRecord run;
    run.idleRttMs = 1.0;
    // Seconds 1-10 at 20 mbps capacity: goodput 15, then 19; limit 24, then 18.
    for (int t = 1; t <= 10; ++t) {
        lab::KernelSecond s;
        s.t = t;
        s.capacityMbps = 20;
        s.goodputMbps = t <= 5 ? 15 : 19;
        s.limitMbps = t <= 5 ? 24 : 18;
        run.seconds.push_back(s);
    }
    // One echo every 0.1 s: 201 ms added in the first half, 11 ms in the
    // second, and two lost.
    for (int i = 0; i < 100; ++i) {
        double at = i / 10.0;
        double rtt = at < 5 ? 202 : 12;
        if (i == 30 || i == 70) rtt = -1;
        run.meter.push_back({at, rtt});
    }
    lab::PhaseFigures f = lab::FiguresOf(run, lab::Phase{"saturated", 0, 10});
    EXPECT_DOUBLE_EQ(f.goodputShare, (5 * 15 + 5 * 19) / 200.0);
    EXPECT_EQ(f.lost, 2u);
    EXPECT_EQ(f.answered, 98u);
    EXPECT_DOUBLE_EQ(f.addedP95Ms, 201);
    EXPECT_DOUBLE_EQ(f.settledP95Ms, 11);
    EXPECT_DOUBLE_EQ(f.limitMinMbps, 18);
    EXPECT_DOUBLE_EQ(f.limitMaxMbps, 24);
    // A phase sees only its own seconds and samples.
    lab::PhaseFigures late = lab::FiguresOf(run, lab::Phase{"late", 5, 10});
    EXPECT_DOUBLE_EQ(late.goodputShare, 19.0 / 20);
    EXPECT_DOUBLE_EQ(late.addedMedianMs, 11);
    EXPECT_DOUBLE_EQ(lab::MedianRtt(run.meter, 0, 5), 202);

    // state.csv: one row a second, both runs side by side, no value for a
    // lifted limit.
    lab::KernelRunRecord unshaped = run;
    unshaped.name = "unshaped";
    unshaped.seconds[0].limitMbps = 10000;
    run.name = "sandrow";
    std::string csv = lab::KernelStateCsv({unshaped, run});
    std::istringstream lines(csv);
    std::string header, first;
    std::getline(lines, header);
    std::getline(lines, first);
    EXPECT_EQ(header.substr(0, 55), "t,capacity_mbps,loaded,unshaped_goodput_mbps,unshaped_l");
    EXPECT_NE(header.find(",sandrow_limit_mbps,"), std::string::npos);
    EXPECT_EQ(first.substr(0, 14), "1,20,0,15,,,0,");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 11);
}

TEST(KernelFigures, OnsetLimitsAndProbesPerLineAndTheJsonSummary) {
    lab::Scenario scenario;
    std::string error;
    std::string text = KernelWorld(30);
    text.insert(text.find("buffer_bytes"), "rtt_ms = 20\n");
    ASSERT_TRUE(lab::ParseScenario(text, "k.ini", &scenario, &error)) << error;
    scenario.phases = {{"idle start", 0, 4}, {"saturated", 4, 10}};
    const uint32_t wan = lab::Ipv4("10.99.0.2");
    lab::KernelRunRecord unshaped;
    unshaped.name = "unshaped";
    unshaped.leafKind = "htb";
    lab::KernelRunRecord run;
    run.name = "sandrow";
    run.shaped = true;
    run.leafKind = "cake";
    // The limit: 24 (above the 20 mbps line) until second 7, 18 after.
    for (int t = 1; t <= 10; ++t) {
        lab::KernelSecond second;
        second.t = t;
        second.capacityMbps = 20;
        second.limitMbps = t < 7 ? 24 : 18;
        run.seconds.push_back(second);
        second.limitMbps = 10000;  // lifted
        unshaped.seconds.push_back(second);
    }
    // Three probes from the gateway's own address, one from elsewhere, one
    // outside the phase.
    run.probes = {
        {2, 0, 6, wan}, {5, 1, 9, wan}, {6, 0, 6, wan}, {8, 2, 12, lab::Ipv4("10.99.1.2")}};
    lab::PhaseFigures f = lab::FiguresOf(run, scenario.phases[1], wan);
    EXPECT_DOUBLE_EQ(f.onsetS, 3);  // below the line from the row of second 7
    EXPECT_DOUBLE_EQ(f.limitStartMbps, 24);
    EXPECT_DOUBLE_EQ(f.limitEndMbps, 18);
    EXPECT_EQ(f.probesOwn, 2u);
    EXPECT_EQ(f.probesOther, 1u);
    // Below from the phase's first row: onset 0; never below: none.
    EXPECT_DOUBLE_EQ(lab::FiguresOf(run, lab::Phase{"late", 7, 10}, wan).onsetS, 0);
    EXPECT_LT(lab::FiguresOf(unshaped, scenario.phases[1], wan).onsetS, 0);

    lab::KernelWorldFacts facts{"6.1.0-test", wan};
    const std::string json = lab::KernelSummaryJson(scenario, {unshaped, run}, facts);
    EXPECT_EQ(json.substr(0, 85),
              "{\"kernel\": \"6.1.0-test\", \"leaf\": {\"line\": \"cake\"}, \"rtt_ms\": "
              "{\"line\": 20},\n \"runs\": [");
    EXPECT_NE(json.find("{\"name\": \"saturated\", \"gateways\": [{\"name\": \"line\", "
                        "\"capacity_mbps\": 20, \"goodput_pct\": 0, "),
              std::string::npos)
        << json;
    // The unshaped run's lifted limit and missing onset are nulls; the
    // shaped run's figures are numbers.
    EXPECT_NE(json.find("\"limit_start_mbps\": null, \"limit_end_mbps\": null, \"onset_s\": "
                        "null, \"probes_own_interface\": 0"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"limit_start_mbps\": 24, \"limit_end_mbps\": 18, \"onset_s\": 3, "
                        "\"probes_own_interface\": 2, \"probes_other_interface\": 1}"),
              std::string::npos)
        << json;
    EXPECT_EQ(std::count(json.begin(), json.end(), '{'), std::count(json.begin(), json.end(), '}'));
    EXPECT_EQ(json.back(), '\n');
}

// ---- end to end ----

class KernelLabRun : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the kernel lab needs root for its namespaces and qdiscs";
        }
    }
    test::TempDir tmp_;
};

TEST_F(KernelLabRun, RunsWithoutAndWithSandrowAndLeavesBothRecords) {
    constexpr int kDuration = 26;
    test::WriteFile(tmp_.file("k.ini"), KernelWorld(kDuration));
    const std::string dir = tmp_.file("run");
    ASSERT_EQ(labtest::RunLab({"--kernel", tmp_.file("k.ini"), "--out", dir}, tmp_.file("lab.out"),
                              2 * kDuration + 40),
              0)
        << test::ReadFile(tmp_.file("lab.out"));

    const std::string summary = test::ReadFile(dir + "/summary.txt");
    EXPECT_NE(summary.find("unshaped: corvane-service exit code 0, its tree removed"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("sandrow: corvane-service exit code 0, its tree removed; sandrow exit "
                           "code 0"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("targets in the saturated phase"), std::string::npos) << summary;
    // sandrow ran on the router and found its gateway through the kernel backend.
    const std::string console = test::ReadFile(dir + "/console.txt");
    EXPECT_NE(console.find("Found internet gateway(s) 1 / 1"), std::string::npos) << console;
    EXPECT_NE(console.find("Monitoring internet traffic..."), std::string::npos) << console;

    // Without shaping the downloads fill the line and its buffer: the line's
    // capacity is delivered and the meter sees the queue.
    auto rows = labtest::Rows(test::ReadFile(dir + "/state.csv"));
    double maxAdded = 0, maxGoodput = 0;
    for (const auto& row : rows) {
        maxGoodput = std::max(maxGoodput, labtest::Number(row, "unshaped_goodput_mbps"));
        maxAdded = std::max(maxAdded, labtest::Number(row, "unshaped_added_ms"));
    }
    EXPECT_GE(rows.size(), kDuration - 2u);
    EXPECT_GT(maxGoodput, 17.0) << "the unshaped downloads did not fill a 20 mbps line";
    EXPECT_GT(maxAdded, 100.0) << "no queue built in the line's buffer";
}

}  // namespace
