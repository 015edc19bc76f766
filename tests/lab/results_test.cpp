// What a lab run leaves: the spread and probe budget figures, the plot
// script over state.csv, and the summary per phase.
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

using labtest::kMinimal;

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
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::ParseScenario(kMinimal, "p.ini", &s, &error)) << error;
    std::string csv = lab::StateCsv(s, {lab::SecondRow{}});
    std::vector<std::string> columns;
    std::istringstream header(csv.substr(0, csv.find('\n')));
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
    lab::Scenario s;
    std::string error;
    ASSERT_TRUE(lab::ParseScenario(kMinimal + "[phase quiet]\nstart = 0\n[phase busy]\nstart = 5\n",
                                   "sum.ini", &s, &error))
        << error;
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
    for (const char* line : expected)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
