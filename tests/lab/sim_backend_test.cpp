// The lab's sim backend on a hand-driven clock: the bottleneck buffer, the
// counters, the schedules, the limits, and its [gateway] sections. (Served
// on the bus, it is the lab's: see LabRun.)
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "lab/sim_backend.h"

namespace {

using lab::DemandKind;
using lab::SimBackend;
using lab::SimConfig;
using lab::SimLine;

constexpr double kMbit = 1e6;

// The sim's clock: `seconds`, as the test moves it.
SimBackend::ElapsedFn Clock(const double& seconds) {
    return [&seconds] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(seconds));
    };
}

// One line "l" (G 3 on device 11, a 100 mbps link) with these schedules,
// buffer and configured download (-1: none).
SimConfig One(const std::string& capacity, const std::string& demand, int64_t bufferBytes,
              double downloadMbps, double processShare = 0) {
    SimLine line;
    line.name = "l";
    line.gateway.mac = "02-00-00-00-00-01";
    line.gateway.id = 3;
    line.gateway.downloadBps = downloadMbps < 0 ? -1 : static_cast<int64_t>(downloadMbps * kMbit);
    line.gateway.uploadBps = 5000000;
    line.gateway.linkSpeedBps = 100000000;
    line.iface.mac = "02-00-00-00-01-01";
    line.iface.deviceId = 11;
    line.iface.gatewayId = 3;
    std::string error;
    EXPECT_TRUE(lab::ParseCapacitySchedule(capacity, &line.capacity, &error)) << error;
    EXPECT_TRUE(lab::ParseDemandSchedule(demand, &line.demand, &error)) << error;
    line.bufferBytes = bufferBytes;
    line.processShare = processShare;
    SimConfig config;
    config.lines.push_back(std::move(line));
    return config;
}

int64_t ListedDownload(SimBackend& sim) {
    std::vector<corvane::Gateway> gateways;
    EXPECT_EQ(sim.GetGateways(&gateways), corvane::kOk);
    return gateways.at(0).downloadBps;
}

TEST(SimBackend, BufferFillsAboveCapacityAndDrainsBelowIt) {
    // 10 mbps line, 1 Mbit buffer, greedy demand shaped to 12 mbps: the
    // buffer gains 2 Mbit/s and is full after 0.5 s (100 ms of queue). At
    // 1 s the limit drops to 8 mbps: the queue drains at 2 Mbit/s, empty at
    // 1.5 s, after which the line carries the 8 mbps that arrive.
    double now = 0;
    SimBackend sim(One("0:10", "0:greedy", 125000, 12), Clock(now), [](auto&) {});
    struct Step {
        double t, bufferMbit, deliveredMbit, droppedMbit, queueMs;
    };
    const Step steps[] = {
        {0.25, 0.5, 2.5, 0, 50},
        {0.5, 1.0, 5.0, 0, 100},
        {1.0, 1.0, 10.0, 1.0, 100},
        // The limit is 8 mbps from here on.
        {1.25, 0.5, 12.5, 1.0, 50},
        {1.5, 0.0, 15.0, 1.0, 0},
        {2.0, 0.0, 19.0, 1.0, 0},
    };
    bool changed = false;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.t);
        if (s.t > 1 && !changed) {
            ASSERT_EQ(sim.SetGatewayLimits("02-00-00-00-00-01", 5000000, 8000000), corvane::kOk);
            changed = true;
        }
        now = s.t;
        lab::LineSnapshot snap = sim.Snapshot(0);
        EXPECT_NEAR(snap.bufferBytes * 8 / kMbit, s.bufferMbit, 1e-9);
        EXPECT_NEAR(snap.deliveredBits / kMbit, s.deliveredMbit, 1e-9);
        EXPECT_NEAR(snap.droppedBits / kMbit, s.droppedMbit, 1e-9);
        EXPECT_NEAR(snap.queueDelaySeconds * 1000, s.queueMs, 1e-6);
        EXPECT_NEAR(sim.QueueDelaySeconds(0) * 1000, s.queueMs, 1e-6);
        EXPECT_NEAR(snap.offeredMbps, changed ? 8 : 12, 1e-9);
        EXPECT_NEAR(snap.limitMbps, changed ? 8 : 12, 1e-9);
        EXPECT_EQ(snap.limitChanges, changed ? 1 : 0);
    }
}

TEST(SimBackend, IntegratesExactlyAcrossScheduleSteps) {
    // One long look must give what many short looks give: the capacity and
    // demand steps fall inside the interval.
    // A limit of -1 is none: greedy then runs at the 100 mbps link.
    struct Case {
        const char *capacity, *demand;
        double limitMbps, at, deliveredMbit, capacityMbit;
    };
    const Case cases[] = {
        {"0:10, 1:20", "0:30", -1, 2.0, 30, 30},
        {"0:10", "0:idle, 1:4, 1.5:greedy", 6, 2.0, 2 + 3, 20},
        {"0:50", "0:0", -1, 1.0, 0, 50},
        {"0:20", "0:5, 0.5:idle", 40, 1.0, 2.5, 20},
    };
    for (const Case& c : cases) {
        double once = 0, often = 0;
        SimBackend a(One(c.capacity, c.demand, 0, c.limitMbps), Clock(once), [](auto&) {});
        SimBackend b(One(c.capacity, c.demand, 0, c.limitMbps), Clock(often), [](auto&) {});
        once = c.at;
        lab::LineSnapshot whole = a.Snapshot(0);
        for (int i = 1; i <= 40; ++i) {
            often = c.at * i / 40;
            b.Snapshot(0);
        }
        lab::LineSnapshot steps = b.Snapshot(0);
        EXPECT_NEAR(whole.deliveredBits / kMbit, c.deliveredMbit, 1e-6)
            << c.capacity << " " << c.demand;
        EXPECT_NEAR(whole.capacityBits / kMbit, c.capacityMbit, 1e-6) << c.capacity;
        EXPECT_NEAR(steps.deliveredBits, whole.deliveredBits, 1e-3)
            << c.capacity << " " << c.demand;
    }
}

TEST(SimBackend, CountersSplitDeliveredTrafficAndNeverGoBackEvenWithTheClock) {
    double now = 0;
    SimBackend sim(One("0:10", "0:7", 0, 40, 0.25), Clock(now), [](auto&) {});
    int64_t lastProcess = 0, lastDomain = 0;
    for (int i = 1; i <= 100; ++i) {
        now = i * 0.0137;
        std::vector<corvane::TrafficEntry> processes, domains;
        ASSERT_EQ(sim.GetTraffic(corvane::TrafficKind::Processes, &processes), corvane::kOk);
        ASSERT_EQ(sim.GetTraffic(corvane::TrafficKind::Domains, &domains), corvane::kOk);
        ASSERT_EQ(processes.size(), 1u);
        ASSERT_EQ(domains.size(), 1u);
        if (i == 1) {
            EXPECT_EQ(std::tie(processes[0].deviceId, domains[0].deviceId, domains[0].processId),
                      std::make_tuple(11, 11, 0));
            EXPECT_NE(processes[0].processId, 0);
        }
        EXPECT_GE(processes[0].downloadBits, lastProcess);
        EXPECT_GE(domains[0].downloadBits, lastDomain);
        lastProcess = processes[0].downloadBits;
        lastDomain = domains[0].downloadBits;
    }
    // 7 mbps for 1.37 s, a quarter counted for the process.
    EXPECT_NEAR(static_cast<double>(lastProcess), 7e6 * 1.37 * 0.25, 2);
    EXPECT_NEAR(static_cast<double>(lastProcess + lastDomain), 7e6 * 1.37, 2);
    // A clock that goes back is held: nothing is taken off, nothing counted twice.
    const double delivered = sim.Snapshot(0).deliveredBits;
    now = 1;
    EXPECT_EQ(sim.Snapshot(0).deliveredBits, delivered);
    now = 2.37;
    EXPECT_NEAR(sim.Snapshot(0).deliveredBits - delivered, 7e6, 1e-3);
}

TEST(SimBackend, GatewayListReportsTheLimitLastSet) {
    double now = 0;
    std::vector<std::string> log;
    SimBackend sim(One("0:30", "0:greedy", 1000, 40), Clock(now),
                   [&log](const std::string& text) { log.push_back(text); });
    EXPECT_EQ(ListedDownload(sim), 40000000) << "the configured bandwidth before any change";
    EXPECT_EQ(sim.SetGatewayLimits("02-00-00-00-00-99", 1, 2), corvane::kInvalidArg);
    EXPECT_EQ(sim.SetGatewayLimits("02-00-00-00-00-01", 1, -2), corvane::kInvalidArg);
    EXPECT_EQ(ListedDownload(sim), 40000000) << "refused limits change nothing";
    EXPECT_EQ(sim.SetGatewayLimits("02-00-00-00-00-01", 10000000, 33000000), corvane::kOk);
    EXPECT_EQ(ListedDownload(sim), 33000000);
    sim.ChangeDownloadBandwidth(0, 35000000);
    EXPECT_EQ(ListedDownload(sim), 35000000);
    now = 1;
    EXPECT_NEAR(sim.Snapshot(0).offeredMbps, 35, 1e-9) << "the line is shaped to the new figure";
    EXPECT_EQ(log.size(), 4u);

    std::vector<corvane::NetworkInterface> interfaces;
    ASSERT_EQ(sim.GetInterfaces(&interfaces), corvane::kOk);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].gatewayId, 3);
    EXPECT_EQ(interfaces[0].deviceId, 11);
}

TEST(SimSchedule, RefusesMalformedSchedules) {
    struct Case {
        const char* text;
        bool capacity;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"0:10, 5:2.5", true, ""},
        {"0:idle, 3:greedy, 9.5:12", false, ""},
        {"1:10", true, "the first step must be at 0 seconds, not 1"},
        {"0:10, 5:20, 5:30", true, "step times must rise: 5 after 5"},
        {"0:0", true, "'0' is not a capacity in mbps above 0"},
        {"0:10,", true, "'' is not TIME:VALUE"},
        {"0:Greedy", false, "'Greedy' is not idle, greedy or a rate in mbps"},
    };
    for (const Case& c : cases) {
        std::string error;
        bool ok = false;
        if (c.capacity) {
            std::vector<lab::RateStep> steps;
            ok = lab::ParseCapacitySchedule(c.text, &steps, &error);
        } else {
            std::vector<lab::DemandStep> steps;
            ok = lab::ParseDemandSchedule(c.text, &steps, &error);
        }
        EXPECT_EQ(ok, std::string(c.error).empty()) << c.text << ": " << error;
        if (!ok) {
            EXPECT_EQ(error, c.error) << c.text;
        }
    }
    std::vector<lab::DemandStep> demand;
    std::string error;
    ASSERT_TRUE(lab::ParseDemandSchedule("0:idle, 2:greedy, 4:3.5, 6:0", &demand, &error));
    const std::pair<double, const char*> at[] = {
        {0, "idle"}, {1.99, "idle"}, {2, "greedy"}, {5, "3.5 mbps"}, {7, "idle"}};
    for (const auto& [t, text] : at) {
        EXPECT_EQ(lab::DemandText(lab::DemandAt(demand, t)), text) << t;
    }
    EXPECT_EQ(lab::DemandAt(demand, 6).kind, DemandKind::Idle) << "a rate of 0 is idle";
}

TEST(SimConfig, ReadsGatewaySectionsAndNamesTheLineOfAProblem) {
    const std::string gateway =
        "[gateway g]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 40\nupload_mbps = 10\n"
        "capacity = 0:30\n";
    struct Case {
        std::string text;
        std::string error;  // after "FILE:"; empty: accepted
    };
    const Case cases[] = {
        {gateway + "[server s]\nanything = goes\n", ""},
        {"[gateway g]\nid = 3\n", "1: missing key 'mac' in [gateway g]"},
        {gateway + "colour = red\n", "7: unknown key 'colour' in [gateway g]"},
        {gateway + "capacity = 0:31\n", "7: 'capacity' given twice in [gateway g]"},
        {gateway + "process_share = 1.5\n",
         "7: process_share = 1.5 is out of range (0 to 1) in [gateway g]"},
        {gateway + "demand = 0:turbo\n",
         "1: demand in [gateway g]: 'turbo' is not idle, greedy or a rate in mbps"},
        {gateway + "\n[gateway h]\nmac = 02-00-00-00-00-02\nid = 3\ndownload_mbps = 1\n"
                   "upload_mbps = 1\ncapacity = 0:1\n",
         "8: id 3 is already used by [gateway g]"},
    };
    for (const Case& c : cases) {
        SimConfig config;
        std::vector<lab::ScenarioSection> sections;
        std::string error;
        if (lab::ReadScenarioSections(c.text, "f.ini", &sections, &error)) {
            try {
                lab::ReadSimLines(sections, &config);
            } catch (const lab::ScenarioError& e) {
                error = "f.ini:" + std::to_string(e.line) + ": " + e.message;
            }
        }
        if (c.error.empty()) {
            EXPECT_EQ(error, "");
            ASSERT_EQ(config.lines.size(), 1u);
            EXPECT_EQ(config.lines[0].gateway.downloadBps, 40000000);
            EXPECT_EQ(config.lines[0].iface.gatewayId, 3);
        } else {
            EXPECT_EQ(error, "f.ini:" + c.error) << c.text;
        }
    }
}

}  // namespace
