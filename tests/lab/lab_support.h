// What the lab's tests share: scenarios to read and a run of sandrow-lab.
#pragma once

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "lab/processes.h"
#include "lab/scenario.h"
#include "support/test_support.h"

namespace labtest {

inline const std::string kMinimal =
    "[run]\nduration = 30\n"
    "[gateway g]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 40\nupload_mbps = 10\n"
    "capacity = 0:30, 10:20\ndemand = 0:idle, 5:greedy\n"
    "[server a]\naddress = 127.0.2.1\ndelay_ms = 5\nlat = 1\nlon = 2\n"
    "[server b]\naddress = 127.0.2.2\ndelay_ms = 7\nlat = 3\nlon = 4\nline = g\n";

// Five servers at `net`.1 to .5, 6 to 20 ms away, the median one 12 ms.
inline std::string FiveServers(const std::string& net) {
    const char* places[] = {"6\nlat = 52.5\nlon = 13.4", "9\nlat = 52.4\nlon = 13.1",
                            "12\nlat = 51.3\nlon = 12.4", "15\nlat = 53.5\nlon = 10.0",
                            "20\nlat = 50.1\nlon = 14.4"};
    std::string servers;
    for (int i = 0; i < 5; ++i) {
        servers += "[server " + std::string(1, char('a' + i)) + "]\naddress = " + net +
                   std::to_string(i + 1) + "\ndelay_ms = " + places[i] + "\n";
    }
    return servers;
}

// One 24 mbps line "line" on a 20 mbps capacity that drops to 15 at 16 s,
// loaded from 4 s to 22 s, and four phases along those steps.
inline std::string KernelWorld(int duration, const std::string& more = "") {
    return "[run]\nduration = " + std::to_string(duration) +
           "\n[kernel]\nflows = 2\n"
           "[gateway line]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 24\n"
           "upload_mbps = 10\ncapacity = 0:20, 16:15\ndemand = 0:idle, 4:greedy, 22:idle\n"
           "buffer_bytes = 400000\n"
           "[directory]\nprimary = 198.18.1.1\nsecondary = 198.18.1.2\n"
           "[collector]\naddress = 198.18.3.1\n" +
           FiveServers("198.18.2.") +
           "[registry]\nVormProbeMonthBudgetMB = 0\nFloorPercentage = 50\nDebugLevel = 4\n"
           "[phase idle start]\nstart = 0\n[phase saturated]\nstart = 4\n"
           "[phase capacity drop]\nstart = 16\n[phase idle recovery]\nstart = 22\n" +
           more;
}

// The scenario read from `text`; a text it refuses fails the test.
inline lab::Scenario Parsed(const std::string& text, const std::string& file = "t.ini") {
    lab::Scenario s;
    std::string error;
    EXPECT_TRUE(lab::ParseScenario(text, file, &s, &error)) << error;
    return s;
}

// Whether `text` holds `part`; a failure shows the whole text.
inline ::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no '" << part << "' in:\n" << text;
}

// Runs sandrow-lab with `args`, its output into `outFile`, killed after
// `timeoutS`; its exit code, or minus the signal that ended it.
inline int RunLab(const std::vector<std::string>& args, const std::string& outFile, int timeoutS) {
    lab::ChildProcess::Options options;
    options.argv = {SANDROW_LAB_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = lab::EnvironmentWith({});
    options.outputPath = outFile;
    lab::ChildProcess child;
    std::string error;
    if (!child.Start(options, &error)) return 127;
    if (std::optional<int> code = child.Wait(std::chrono::seconds(timeoutS))) return *code;
    bool killed = false;
    return child.Stop(SIGKILL, std::chrono::seconds(5), &killed);
}

// The rows of a CSV file as columns by name; a trailing comma is an empty field.
inline std::vector<std::map<std::string, std::string>> Rows(const std::string& csv) {
    std::vector<std::map<std::string, std::string>> rows;
    std::istringstream in(csv);
    std::string line;
    std::vector<std::string> names;
    for (bool header = true; std::getline(in, line); header = false) {
        std::istringstream s(line + ",");
        std::map<std::string, std::string> row;
        std::string field;
        for (size_t i = 0; std::getline(s, field, ','); ++i) {
            if (header) names.push_back(field);
            if (!header && i < names.size()) row[names[i]] = field;
        }
        if (!header) rows.push_back(row);
    }
    return rows;
}

inline double Number(const std::map<std::string, std::string>& row, const char* column) {
    auto it = row.find(column);
    return it == row.end() || it->second.empty() ? -1 : std::stod(it->second);
}

}  // namespace labtest
