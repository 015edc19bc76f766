// The kernel lab's scenarios. Its figures: results_test; a run end to end:
// RouterLabRun.
#include <gtest/gtest.h>

#include "lab/lab_support.h"
#include "lab/scenario.h"

namespace {

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
    const std::pair<std::string, std::string> refused[] = {
        {with("flows", "runs = twice\n"),
         "4: 'twice' is not both, unshaped or sandrow (key 'runs' in [kernel])"},
        {KernelWorld(30, "[server f]\naddress = 127.0.2.9\ndelay_ms = 1\nlat = 0\nlon = 0\n"),
         "56: '127.0.2.9' is not an address of the benchmark network 198.18.0.0/15 ('address' "
         "in [server f])"},
        {KernelWorld(30, "[events]\n10 = service_stop\n"),
         "0: the kernel lab stages no event '10 = service_stop'"},
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

}  // namespace
