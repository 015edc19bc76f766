// What a lab run leaves, in both worlds: the figures, the plot scripts over
// state.csv, the summaries, and which gateway each probe was for.
#include "lab/results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lab/lab_support.h"
#include "lab/scenario.h"

namespace {

using labtest::Holds;
using labtest::kMinimal;

// Line `n` of `text`, from 0.
std::string LineOf(const std::string& text, int n) {
    std::istringstream in(text);
    std::string line;
    while (n-- >= 0) std::getline(in, line);
    return line;
}

TEST(LabResults, SpreadAndProbeBudget) {
    struct SpreadCase {
        std::vector<double> values;
        double mean, p95;
    };
    const SpreadCase spreads[] = {
        {{}, 0, 0},
        {{5}, 5, 5},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 100}, 14.5, 19},
        {{3, 1, 2}, 2, 3},
    };
    for (const SpreadCase& c : spreads) {
        lab::Spread s = lab::SpreadOf(c.values);
        EXPECT_EQ(s.count, c.values.size());
        EXPECT_DOUBLE_EQ(s.mean, c.mean);
        EXPECT_DOUBLE_EQ(s.p95, c.p95);
    }
    // Budget in MB (-1: not in the registry), days in the month, probes an hour (-1: unlimited).
    const std::tuple<int, int, double> budgets[] = {
        {30, 31, 35},  // 26338 a month, 849 a day
        {1, 31, 1},    // 877 a month, 28 a day
        {30, 28, 39},  // 940 a day
        {0, 31, -1},  {-1, 30, -1},
    };
    for (const auto& [mb, days, perHour] : budgets) {
        lab::Scenario s;
        if (mb >= 0) s.registry = {{"VormProbeMonthBudgetMB", static_cast<uint32_t>(mb)}};
        EXPECT_EQ(lab::ProbesPerHour(s, days), perHour) << mb;
    }
}

TEST(LabResults, PlotScriptDrawsTheColumnsItNames) {
    const lab::Scenario s = labtest::Parsed(kMinimal);
    std::string csv = lab::StateCsv(s, {lab::SecondRow{}});
    std::vector<std::string> columns;
    std::istringstream header(LineOf(csv, 0));
    for (std::string column; std::getline(header, column, ',');) columns.push_back(column);
    std::string script = lab::GnuplotScript(s);
    const std::pair<std::string, const char*> drawn[] = {
        {"capacity_mbps", "'capacity"},      {"limit_mbps", "'limit"},
        {"delivered_mbps", "'delivered"},    {"queue_ms", "'queueing delay"},
        {"probe_ms", "'probe answer delay"},
    };
    for (const auto& [column, title] : drawn) {
        auto it = std::find(columns.begin(), columns.end(), column);
        ASSERT_NE(it, columns.end()) << column;
        std::string use = column == "probe_ms" ? "1:" : "$";
        use += std::to_string(it - columns.begin() + 1);
        size_t titleAt = script.find(title);
        ASSERT_NE(titleAt, std::string::npos) << title;
        size_t lineStart = script.rfind('\n', titleAt);
        EXPECT_NE(script.substr(lineStart, titleAt - lineStart).find(use), std::string::npos)
            << column << " should be drawn as " << title;
    }
    EXPECT_EQ(columns[1], "line") << "the script selects lines by column 2";
}

TEST(LabResults, SummaryPerPhase) {
    const lab::Scenario s =
        labtest::Parsed(kMinimal + "[phase quiet]\nstart = 0\n[phase busy]\nstart = 5\n");
    lab::RunRecord run;
    run.endedAt = 30;
    for (int i = 0; i <= 300; ++i) {
        double t = i / 10.0;
        bool busy = t >= 5;
        // Capacity 30 mbps; from 5 s the line carries 15 mbps with a queue of
        // 10 ms, the last tenth of the time 50 ms.
        run.samples.push_back(lab::Sample{t, 0, busy ? (t >= 27.5 ? 50.0 : 10.0) : 0.0, busy,
                                          busy ? (t - 5) * 15e6 : 0.0, t * 30e6});
    }
    for (int t = 1; t <= 30; ++t) {
        lab::SecondRow row;
        row.t = t;
        row.limitMbps = t <= 10 ? 40 : 33.5 - t * 0.1;
        run.rows.push_back(row);
    }
    run.probes = {{0.1, 0, 5}, {0.1, 1, 7}, {2, 0, 5}, {12, 0, 40}, {13, 0, -1}};
    lab::PostRecord post;
    post.at = 30.2;  // the report at exit counts for the last phase
    post.status = 404;
    post.form.probes = 3;
    run.posts.push_back(post);
    run.sandrow.started = true;
    run.sandrow.stoppedByLab = true;
    run.sandrow.exitCode = 0;
    run.sandrow.console = "LIMIT DETECTED\n[G 3]-----> x\n";
    std::string text = lab::SummaryText(s, run);
    const char* expected[] = {
        "Phase \"quiet\" (0-5 s)",
        "delivered / capacity: 0 / 150 Mbit (0 %)",
        "probes: 1 (+2 for the server choice); budget: unlimited",
        "Phase \"busy\" (5-30 s)",
        "delivered / capacity: 375 / 750 Mbit (50 %)",
        "queueing delay under load: mean 14 ms, p95 50 ms",
        "shaper limit: 40 to 40 mbps, 40 at the end",
        "shaper limit: 30.5 to 40 mbps, 30.5 at the end",
        "probes: 2, 1 not answered; budget: unlimited",
        "reports: 1 [answered 404 at 30.2 s: 3 probes]",
        "1 limits detected, 1 moves down",
        "stopped with SIGINT, exit code 0",
        "collector: 1 reports, 0 probes delivered (answered 200), 3 in refused reports",
    };
    for (const char* line : expected) EXPECT_TRUE(Holds(text, line));
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

// Two runs over the 20 mbps line "line": unshaped, its limit lifted, and
// sandrow's, its limit 24 (above the line) until second 7 and 18 after.
class KernelFigures : public ::testing::Test {
  protected:
    KernelFigures() {
        unshaped_.name = "unshaped";
        unshaped_.lines.push_back(Line(20, 10000, 10000, 15, 19));
        run_.name = "sandrow";
        run_.shaped = true;
        run_.lines.push_back(Line(20, 24, 18, 15, 19));
    }
    // A second line, "lte" of 8 mbps, in the scenario and both runs.
    void AddLte(lab::Scenario* scenario) {
        scenario->sim.lines.push_back(scenario->sim.lines[0]);
        scenario->sim.lines[1].name = "lte";
        scenario->sim.lines[1].capacity.front().mbps = 8;
        unshaped_.lines.push_back(Line(8, 10000, 10000, 7, 7));
        run_.lines.push_back(Line(8, 9, 7, 6, 7));
    }

    lab::KernelRunRecord unshaped_, run_;
};

TEST_F(KernelFigures, PhasesSplitGoodputLatencyLossAndLimit) {
    lab::KernelLineRecord& line = run_.lines[0];
    line.idleRttMs = 1.0;
    // One echo every 0.1 s: 201 ms added in the first half, 11 ms in the
    // second, and two lost.
    for (int i = 0; i < 100; ++i) {
        double at = i / 10.0;
        double rtt = at < 5 ? 202 : 12;
        if (i == 30 || i == 70) rtt = -1;
        line.meter.push_back({at, rtt});
    }
    lab::PhaseFigures f = lab::FiguresOf(run_, 0, lab::Phase{"saturated", 0, 10});
    EXPECT_DOUBLE_EQ(f.goodputShare, (5 * 15 + 5 * 19) / 200.0);
    EXPECT_EQ(f.lost, 2u);
    EXPECT_EQ(f.answered, 98u);
    EXPECT_DOUBLE_EQ(f.addedP95Ms, 201);
    EXPECT_DOUBLE_EQ(f.settledP95Ms, 11);
    EXPECT_DOUBLE_EQ(f.limitMinMbps, 18);
    EXPECT_DOUBLE_EQ(f.limitMaxMbps, 24);
    // A phase sees only its own seconds and samples.
    lab::PhaseFigures late = lab::FiguresOf(run_, 0, lab::Phase{"late", 5, 10});
    EXPECT_DOUBLE_EQ(late.goodputShare, 19.0 / 20);
    EXPECT_DOUBLE_EQ(late.addedMedianMs, 11);
    EXPECT_DOUBLE_EQ(lab::MedianRtt(line.meter, 0, 5), 202);

    // state.csv: one row a second, both runs side by side, no value for a
    // lifted limit; with two lines every column is the line's.
    lab::Scenario scenario = labtest::Parsed(labtest::KernelWorld(30));
    std::string csv = lab::KernelStateCsv(scenario, {unshaped_, run_});
    EXPECT_EQ(csv.substr(0, 55), "t,capacity_mbps,loaded,unshaped_goodput_mbps,unshaped_l");
    EXPECT_TRUE(Holds(LineOf(csv, 0), ",sandrow_limit_mbps,"));
    EXPECT_EQ(LineOf(csv, 1).substr(0, 14), "1,20,0,15,,,0,");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 11);

    AddLte(&scenario);
    csv = lab::KernelStateCsv(scenario, {unshaped_, run_});
    const std::string header = LineOf(csv, 0);
    EXPECT_EQ(header.substr(0, 32), "t,line_capacity_mbps,line_loaded");
    EXPECT_TRUE(Holds(header, ",lte_capacity_mbps,lte_loaded,lte_unshaped_goodput_mbps,"));
    EXPECT_EQ(std::count(header.begin(), header.end(), ','), 2 * 14);
    // The first row: the time once, then per line its capacity and load, the
    // unshaped run's six columns and the shaped run's (for lte: goodput 6,
    // limit 9).
    EXPECT_EQ(LineOf(csv, 1), "1,20,0,15,,,0,0,0,15,24,,0,0,0,8,0,7,,,0,0,0,6,9,,0,0,0");
    // The plot reads each line's block: lte's limit is column 2 + 14 + 9.
    EXPECT_TRUE(Holds(lab::KernelGnuplotScript(scenario), "using 1:25 with steps"));
    // With sandrow's run alone its columns follow the capacity's at once:
    // lte's limit is column 2 + 8 + 3, and nothing is drawn as unshaped.
    scenario.kernel.runUnshaped = false;
    const std::string alone = lab::KernelGnuplotScript(scenario);
    EXPECT_TRUE(Holds(alone, "using 1:13 with steps lw 2 lc rgb '#d62728'"));
    EXPECT_EQ(alone.find("without"), std::string::npos) << alone;
    EXPECT_TRUE(Holds(lab::KernelStatusLine(scenario, run_, 0), " | lte: capacity 8, limit 9,"));
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

TEST_F(KernelFigures, ProbesGoToTheGatewayThatLoggedThemLast) {
    const uint32_t fibre = lab::Ipv4("10.99.0.2"), lte = lab::Ipv4("10.98.0.2");
    run_.lines.resize(2);
    run_.sandrowStartS = 2.0;
    // sandrow's clock starts 30 ms after the launch: G 3 logs at 2.100 s on
    // the run's clock, G 4 at 2.115 s; their requests arrive 1 ms later.
    // Before them, the server choice's requests.
    const std::string log = "0000001<Tue Dec  8 10:14:52 2026-0000005>~<DEBUG>:Registry path\n" +
                            SentProbe(3, 70) + SentProbe(4, 85) + SentProbe(3, 1070) +
                            SentProbe(4, 1085) + SentProbe(3, 2070) + SentProbe(4, 2085);
    run_.probes = {{2.050, fibre, 9}, {2.090, fibre, 9}, {2.101, fibre, 9}, {2.116, lte, 9},
                   {3.101, fibre, 9}, {3.116, lte, 9},   {4.101, fibre, 9}, {4.116, fibre, 9}};
    lab::AttributeProbes(log, {3, 4}, &run_);
    std::vector<int> lines;
    for (const lab::KernelProbe& p : run_.probes) lines.push_back(p.line);
    EXPECT_EQ(lines, (std::vector<int>{-1, -1, 0, 1, 0, 1, 0, 1}));
    // The last probe of lte left through fibre: the one request on another
    // line than its gateway's.
    lab::PhaseFigures f = lab::FiguresOf(run_, 1, lab::Phase{"all", 0, 10}, lte);
    EXPECT_EQ(f.probesOwn, 2u);
    EXPECT_EQ(f.probesOther, 1u);
    EXPECT_EQ(lab::FiguresOf(run_, 0, lab::Phase{"all", 0, 10}, fibre).probesOwn, 3u);

    // Without probes in the log (a lower debug level), one line takes all.
    lab::AttributeProbes("", {3}, &run_);
    EXPECT_EQ(run_.probes.front().line, 0);
}

TEST_F(KernelFigures, OnsetLimitsAndProbesPerLineAndTheJsonSummary) {
    std::string text = labtest::KernelWorld(30);
    lab::Scenario scenario = labtest::Parsed(text.insert(text.find("buffer"), "rtt_ms = 20\n"));
    scenario.phases = {{"idle start", 0, 4}, {"saturated", 4, 10}};
    const uint32_t wan = lab::Ipv4("10.99.0.2");
    unshaped_.lines[0].leafKind = "htb";
    run_.lines[0].leafKind = "cake";
    // Three probes of the gateway from its own address, one from elsewhere,
    // one outside the phase, one of no gateway (a server choice's).
    run_.probes = {
        {2, wan, 0}, {5, wan, 0}, {6, wan, 0}, {8, lab::Ipv4("10.99.1.2"), 0}, {9, wan, -1}};
    lab::PhaseFigures f = lab::FiguresOf(run_, 0, scenario.phases[1], wan);
    EXPECT_DOUBLE_EQ(f.onsetS, 3);  // below the line from the row of second 7
    EXPECT_DOUBLE_EQ(f.limitStartMbps, 24);
    EXPECT_DOUBLE_EQ(f.limitEndMbps, 18);
    EXPECT_EQ(f.probesOwn, 2u);
    EXPECT_EQ(f.probesOther, 1u);
    // Below from the phase's first row: onset 0; never below: none.
    EXPECT_DOUBLE_EQ(lab::FiguresOf(run_, 0, lab::Phase{"late", 7, 10}, wan).onsetS, 0);
    EXPECT_LT(lab::FiguresOf(unshaped_, 0, scenario.phases[1], wan).onsetS, 0);

    lab::KernelWorldFacts facts{"6.1.0-test", {wan}};
    std::string json = lab::KernelSummaryJson(scenario, {unshaped_, run_}, facts);
    EXPECT_EQ(json.substr(0, 85),
              "{\"kernel\": \"6.1.0-test\", \"leaf\": {\"line\": \"cake\"}, \"rtt_ms\": "
              "{\"line\": 20},\n \"runs\": [");
    // The saturated phase's goodput: 15 + 5 * 19 of 6 * 20 mbps. The unshaped
    // run's lifted limit and missing onset are nulls; the shaped run's
    // figures are numbers.
    for (const char* part :
         {"{\"name\": \"saturated\", \"gateways\": [{\"name\": \"line\", \"capacity_mbps\": 20, "
          "\"goodput_pct\": 91.67, ",
          "\"limit_start_mbps\": null, \"limit_end_mbps\": null, \"onset_s\": null, "
          "\"probes_own_interface\": 0",
          "\"limit_start_mbps\": 24, \"limit_end_mbps\": 18, \"onset_s\": 3, "
          "\"probes_own_interface\": 2, \"probes_other_interface\": 1}"}) {
        EXPECT_TRUE(Holds(json, part));
    }

    // A second line: its leaf, round trip and figures beside the first's.
    AddLte(&scenario);
    scenario.kernel.lines.push_back({40, "auto"});
    run_.lines[1].leafKind = "fq_codel";
    run_.probes.push_back({5, lab::Ipv4("10.98.0.2"), 1});
    facts.wanAddresses.push_back(lab::Ipv4("10.98.0.2"));
    json = lab::KernelSummaryJson(scenario, {unshaped_, run_}, facts);
    for (const char* part :
         {"\"leaf\": {\"line\": \"cake\", \"lte\": \"fq_codel\"}, \"rtt_ms\": {\"line\": 20, "
          "\"lte\": 40}",
          "{\"name\": \"lte\", \"capacity_mbps\": 8, ",
          "\"limit_start_mbps\": 9, \"limit_end_mbps\": 7, \"onset_s\": 3, "
          "\"probes_own_interface\": 1, \"probes_other_interface\": 0}"}) {
        EXPECT_TRUE(Holds(json, part));
    }
    EXPECT_EQ(std::count(json.begin(), json.end(), '{'), std::count(json.begin(), json.end(), '}'));
}

}  // namespace
