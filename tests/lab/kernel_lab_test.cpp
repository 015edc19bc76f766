// The kernel lab: its scenarios, its figures per phase, and a short run end
// to end as root (both runs, the real service and sandrow, real TCP).
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "lab/lab_support.h"
#include "lab/results.h"
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
           "[registry]\nVormProbeMonthBudgetMB = 0\nFloorPercentage = 50\nDebugLevel = 4\n"
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
    const lab::SimLine& line = s.sim.lines.front();
    // The ISP's buffer holds at least 150 ms at the first capacity.
    EXPECT_GE(line.bufferBytes * 8 / (line.capacity.front().mbps * 1e6), 0.150);
    ASSERT_EQ(s.phases.size(), 4u);
    EXPECT_EQ(s.phases[1].name, "saturated");
    EXPECT_TRUE(s.kernel.runUnshaped && s.kernel.runSandrow) << "both runs by default";
    // One run alone, as a tuning study's point makes it.
    std::string once = KernelWorld(30);
    once.insert(once.find("[kernel]\n") + 9, "runs = sandrow\n");
    ASSERT_TRUE(lab::ParseScenario(once, "k.ini", &s, &error)) << error;
    EXPECT_FALSE(s.kernel.runUnshaped);
    EXPECT_TRUE(s.kernel.runSandrow);
    once.replace(once.find("runs = sandrow"), 14, "runs = twice");
    EXPECT_FALSE(lab::ParseScenario(once, "k.ini", &s, &error));
    EXPECT_NE(error.find("'twice' is not both, unshaped or sandrow (key 'runs' in [kernel])"),
              std::string::npos)
        << error;

    // `text` inserted before `before` in the one-line world.
    auto with = [](const std::string& before, const std::string& text) {
        std::string world = KernelWorld(30);
        return world.insert(world.find(before), text);
    };
    std::string fixed = KernelWorld(30);
    fixed.replace(fixed.find("4:greedy"), 8, "4:7.5");
    std::string simulated = labtest::kMinimal;
    simulated.insert(simulated.find("capacity"), "rtt_ms = 5\n");
    const std::pair<std::string, std::string> refused[] = {
        {KernelWorld(30, "[server f]\naddress = 127.0.2.9\ndelay_ms = 1\nlat = 0\nlon = 0\n"),
         "56: '127.0.2.9' is not an address of the benchmark network 198.18.0.0/15 ('address' "
         "in [server f])"},
        {KernelWorld(30,
                     "[gateway b]\nmac = b\nid = 4\ndownload_mbps = 1\nupload_mbps = 1\n"
                     "capacity = 0:5\n[gateway c]\nmac = c\nid = 5\ndownload_mbps = 1\n"
                     "upload_mbps = 1\ncapacity = 0:5\n[gateway d]\nmac = d\nid = 6\n"
                     "download_mbps = 1\nupload_mbps = 1\ncapacity = 0:5\n[gateway e]\n"
                     "mac = e\nid = 7\ndownload_mbps = 1\nupload_mbps = 1\ncapacity = 0:5\n"),
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
    ASSERT_TRUE(lab::ParseScenario(with("buffer_bytes", "rtt_ms = 12.5\nleaf = fq_codel\n"),
                                   "k.ini", &s, &error))
        << error;
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

// One line of a run: the capacity, the limit and the goodput in seconds 1-10.
lab::KernelLineRecord Line(double capacity, double limitUntil7, double limitAfter,
                           double goodputUntil5, double goodputAfter) {
    lab::KernelLineRecord line;
    for (int t = 1; t <= 10; ++t) {
        lab::KernelSecond s;
        s.t = t;
        s.capacityMbps = capacity;
        s.limitMbps = t < 7 ? limitUntil7 : limitAfter;
        s.goodputMbps = t <= 5 ? goodputUntil5 : goodputAfter;
        line.seconds.push_back(s);
    }
    return line;
}

TEST(KernelFigures, PhasesSplitGoodputLatencyLossAndLimit) {
    lab::KernelRunRecord run;
    run.lines.push_back(Line(20, 24, 18, 15, 19));
    lab::KernelLineRecord& line = run.lines[0];
    line.idleRttMs = 1.0;
    // One echo every 0.1 s: 201 ms added in the first half, 11 ms in the
    // second, and two lost.
    for (int i = 0; i < 100; ++i) {
        double at = i / 10.0;
        double rtt = at < 5 ? 202 : 12;
        if (i == 30 || i == 70) rtt = -1;
        line.meter.push_back({at, rtt});
    }
    lab::PhaseFigures f = lab::FiguresOf(run, 0, lab::Phase{"saturated", 0, 10});
    EXPECT_DOUBLE_EQ(f.goodputShare, (5 * 15 + 5 * 19) / 200.0);
    EXPECT_EQ(f.lost, 2u);
    EXPECT_EQ(f.answered, 98u);
    EXPECT_DOUBLE_EQ(f.addedP95Ms, 201);
    EXPECT_DOUBLE_EQ(f.settledP95Ms, 11);
    EXPECT_DOUBLE_EQ(f.limitMinMbps, 18);
    EXPECT_DOUBLE_EQ(f.limitMaxMbps, 24);
    // A phase sees only its own seconds and samples.
    lab::PhaseFigures late = lab::FiguresOf(run, 0, lab::Phase{"late", 5, 10});
    EXPECT_DOUBLE_EQ(late.goodputShare, 19.0 / 20);
    EXPECT_DOUBLE_EQ(late.addedMedianMs, 11);
    EXPECT_DOUBLE_EQ(lab::MedianRtt(line.meter, 0, 5), 202);

    // state.csv: one row a second, both runs side by side, no value for a
    // lifted limit; with two lines every column is the line's.
    lab::Scenario scenario;
    std::string error;
    ASSERT_TRUE(lab::ParseScenario(KernelWorld(30), "k.ini", &scenario, &error)) << error;
    lab::KernelRunRecord unshaped = run;
    unshaped.name = "unshaped";
    unshaped.lines[0].seconds[0].limitMbps = 10000;
    run.name = "sandrow";
    std::string csv = lab::KernelStateCsv(scenario, {unshaped, run});
    std::istringstream rows(csv);
    std::string header, first;
    std::getline(rows, header);
    std::getline(rows, first);
    EXPECT_EQ(header.substr(0, 55), "t,capacity_mbps,loaded,unshaped_goodput_mbps,unshaped_l");
    EXPECT_NE(header.find(",sandrow_limit_mbps,"), std::string::npos);
    EXPECT_EQ(first.substr(0, 14), "1,20,0,15,,,0,");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 11);

    scenario.sim.lines.push_back(scenario.sim.lines[0]);
    scenario.sim.lines[1].name = "lte";
    unshaped.lines.push_back(Line(8, 10000, 10000, 7, 7));
    run.lines.push_back(Line(8, 9, 7, 6, 7));
    csv = lab::KernelStateCsv(scenario, {unshaped, run});
    rows.str(csv);
    rows.clear();
    std::getline(rows, header);
    std::getline(rows, first);
    EXPECT_EQ(header.substr(0, 32), "t,line_capacity_mbps,line_loaded");
    EXPECT_NE(header.find(",lte_capacity_mbps,lte_loaded,lte_unshaped_goodput_mbps,"),
              std::string::npos);
    EXPECT_EQ(std::count(header.begin(), header.end(), ','), 2 * 14);
    // The lte block of the first row: capacity 8, its unshaped columns, then
    // the shaped run's goodput 6 and limit 9.
    EXPECT_NE(first.find(",8,0,7,,,0,0,0,6,9,"), std::string::npos) << first;
    // The plot reads each line's block: lte's limit is column 2 + 14 + 9.
    const std::string plot = lab::KernelGnuplotScript(scenario);
    EXPECT_NE(plot.find("using 1:25 with steps"), std::string::npos) << plot;
    EXPECT_NE(plot.find("multiplot layout 4,1"), std::string::npos);
    // With sandrow's run alone its columns follow the capacity's at once:
    // lte's limit is column 2 + 8 + 3, and nothing is drawn as unshaped.
    scenario.kernel.runUnshaped = false;
    const std::string alone = lab::KernelGnuplotScript(scenario);
    EXPECT_NE(alone.find("using 1:13 with steps lw 2 lc rgb '#d62728'"), std::string::npos)
        << alone;
    EXPECT_EQ(alone.find("without"), std::string::npos) << alone;
    EXPECT_NE(lab::KernelStatusLine(scenario, run, 0).find(" | lte: capacity 8, limit 9,"),
              std::string::npos)
        << lab::KernelStatusLine(scenario, run, 0);
}

// sandrow's log line for a probe of gateway `id`, `ms` after its start.
std::string SentProbe(int id, int ms) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%07d<Tue Dec  8 10:14:52 2026-%07d>~<DEBUG>:[ap 21.8182, G %d, p's 1][IDLE] "
                  "Sent Probe [this hour 1]\n",
                  ms, ms, id);
    return text;
}

TEST(KernelFigures, ProbesGoToTheGatewayThatLoggedThemLast) {
    const uint32_t fibre = lab::Ipv4("10.99.0.2"), lte = lab::Ipv4("10.98.0.2");
    lab::KernelRunRecord run;
    run.lines.resize(2);
    run.sandrowStartS = 2.0;
    // sandrow's clock starts 30 ms after the launch: G 3 logs at 2.100 s on
    // the run's clock, G 4 at 2.115 s; their requests arrive 1 ms later.
    // Before them, the server choice's requests.
    const std::string log = "0000001<Tue Dec  8 10:14:52 2026-0000005>~<DEBUG>:Registry path\n" +
                            SentProbe(3, 70) + SentProbe(4, 85) + SentProbe(3, 1070) +
                            SentProbe(4, 1085) + SentProbe(3, 2070) + SentProbe(4, 2085);
    run.probes = {{2.050, fibre, 9}, {2.090, fibre, 9}, {2.101, fibre, 9}, {2.116, lte, 9},
                  {3.101, fibre, 9}, {3.116, lte, 9},   {4.101, fibre, 9}, {4.116, fibre, 9}};
    lab::AttributeProbes(log, {3, 4}, &run);
    std::vector<int> lines;
    for (const lab::KernelProbe& p : run.probes) lines.push_back(p.line);
    EXPECT_EQ(lines, (std::vector<int>{-1, -1, 0, 1, 0, 1, 0, 1}));
    // The last probe of lte left through fibre: the one request on another
    // line than its gateway's.
    lab::PhaseFigures f = lab::FiguresOf(run, 1, lab::Phase{"all", 0, 10}, lte);
    EXPECT_EQ(f.probesOwn, 2u);
    EXPECT_EQ(f.probesOther, 1u);
    EXPECT_EQ(lab::FiguresOf(run, 0, lab::Phase{"all", 0, 10}, fibre).probesOwn, 3u);

    // Without probes in the log (a lower debug level), one line takes all;
    // two lines cannot be told apart.
    lab::AttributeProbes("", {3}, &run);
    EXPECT_EQ(run.probes.front().line, 0);
    lab::AttributeProbes("", {3, 4}, &run);
    EXPECT_EQ(run.probes.front().line, 0);  // left as it was
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
    unshaped.lines.push_back(Line(20, 10000, 10000, 0, 0));  // lifted
    unshaped.lines[0].leafKind = "htb";
    lab::KernelRunRecord run;
    run.name = "sandrow";
    run.shaped = true;
    // The limit: 24 (above the 20 mbps line) until second 7, 18 after.
    run.lines.push_back(Line(20, 24, 18, 0, 0));
    run.lines[0].leafKind = "cake";
    // Three probes of the gateway from its own address, one from elsewhere,
    // one outside the phase, one of no gateway (a server choice's).
    run.probes = {
        {2, wan, 0}, {5, wan, 0}, {6, wan, 0}, {8, lab::Ipv4("10.99.1.2"), 0}, {9, wan, -1}};
    lab::PhaseFigures f = lab::FiguresOf(run, 0, scenario.phases[1], wan);
    EXPECT_DOUBLE_EQ(f.onsetS, 3);  // below the line from the row of second 7
    EXPECT_DOUBLE_EQ(f.limitStartMbps, 24);
    EXPECT_DOUBLE_EQ(f.limitEndMbps, 18);
    EXPECT_EQ(f.probesOwn, 2u);
    EXPECT_EQ(f.probesOther, 1u);
    // Below from the phase's first row: onset 0; never below: none.
    EXPECT_DOUBLE_EQ(lab::FiguresOf(run, 0, lab::Phase{"late", 7, 10}, wan).onsetS, 0);
    EXPECT_LT(lab::FiguresOf(unshaped, 0, scenario.phases[1], wan).onsetS, 0);

    lab::KernelWorldFacts facts{"6.1.0-test", {wan}};
    std::string json = lab::KernelSummaryJson(scenario, {unshaped, run}, facts);
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

    // A second line: its leaf, round trip and figures beside the first's.
    scenario.sim.lines.push_back(scenario.sim.lines[0]);
    scenario.sim.lines[1].name = "lte";
    scenario.sim.lines[1].capacity.front().mbps = 8;
    scenario.kernel.lines.push_back({40, "auto"});
    unshaped.lines.push_back(Line(8, 10000, 10000, 0, 0));
    run.lines.push_back(Line(8, 9, 7, 0, 0));
    run.lines[1].leafKind = "fq_codel";
    run.probes.push_back({5, lab::Ipv4("10.98.0.2"), 1});
    facts.wanAddresses.push_back(lab::Ipv4("10.98.0.2"));
    json = lab::KernelSummaryJson(scenario, {unshaped, run}, facts);
    EXPECT_NE(json.find("\"leaf\": {\"line\": \"cake\", \"lte\": \"fq_codel\"}, \"rtt_ms\": "
                        "{\"line\": 20, \"lte\": 40}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"lte\", \"capacity_mbps\": 8, "), std::string::npos) << json;
    EXPECT_NE(json.find("\"limit_start_mbps\": 9, \"limit_end_mbps\": 7, \"onset_s\": 3, "
                        "\"probes_own_interface\": 1, \"probes_other_interface\": 0}"),
              std::string::npos)
        << json;
    EXPECT_EQ(std::count(json.begin(), json.end(), '{'), std::count(json.begin(), json.end(), '}'));
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

TEST_F(KernelLabRun, RunsTwoLinesWithoutAndWithSandrowAndEachProbeTakesItsGatewaysLine) {
    constexpr int kDuration = 26;
    test::WriteFile(tmp_.file("k.ini"),
                    KernelWorld(kDuration,
                                "[gateway lte]\nmac = 02-00-00-00-00-02\nid = 4\n"
                                "download_mbps = 10\nupload_mbps = 3\ncapacity = 0:8\n"
                                "demand = 0:idle, 4:greedy, 22:idle\nbuffer_bytes = 200000\n"));
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
    EXPECT_NE(summary.find("line lte: 8 mbps at first"), std::string::npos) << summary;
    // sandrow ran on the router and found both gateways through the kernel
    // backend; each one's probes left through its own line.
    const std::string console = test::ReadFile(dir + "/console.txt");
    EXPECT_NE(console.find("Found internet gateway(s) 2 / 2"), std::string::npos) << console;
    EXPECT_NE(console.find("Monitoring internet traffic..."), std::string::npos) << console;
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
        double maxAdded = 0, maxGoodput = 0;
        for (const auto& row : rows) {
            maxGoodput = std::max(
                maxGoodput,
                labtest::Number(row, (std::string(name) + "_unshaped_goodput_mbps").c_str()));
            maxAdded = std::max(
                maxAdded, labtest::Number(row, (std::string(name) + "_unshaped_added_ms").c_str()));
        }
        EXPECT_GT(maxGoodput, 0.85 * capacity) << name << ": the downloads did not fill the line";
        EXPECT_GT(maxAdded, 100.0) << name << ": no queue built in the line's buffer";
    }
}

}  // namespace
