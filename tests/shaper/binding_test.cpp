// Binding the service's interfaces against the in-memory service: each
// failing step, what stays bound, and binding afresh once the service behaves.
#include "shaper/binding.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "shaper/fake_service.h"

namespace {

using fake::ServiceState;

class Binding : public fake::ServiceTest {
  protected:
    // A fresh service, nothing bound; `script` arranges its answers.
    template <typename Script>
    void Restart(const Script& script) {
        ResetShaperForTest();
        *service_.state = ServiceState{};
        script(S());
    }
};

TEST_F(Binding, StopsAtTheFailingStepWithItsMessage) {
    // The method, its answer (0: an empty pointer), whether it raises, and the
    // pointers bound afterwards: Bandwidth control, Factory, Network, Configuration, Rules.
    const std::tuple<std::string, HRESULT, bool, std::string> cases[] = {
        {"CreateInstance", E_FAIL, false, "-----"},
        {"CreateInstance", 0, true, "-----"},
        {"Initialize", E_UNEXPECTED, true, "B----"},
        {"Initialize", E_FAIL, false, "B----"},
        {"GetFactoryManager", 0, true, "B----"},
        {"GetNetworkManager", RPC_S_SERVER_UNAVAILABLE_HR, true, "BF---"},
        {"GetConfigurationManager", 0, true, "BFN--"},
        {"GetRulesManager", E_FAIL, false, "BFNC-"},
    };
    auto bound = [] {
        return std::string{g_pIBandwidthControlManager ? 'B' : '-', g_pIFactoryManager ? 'F' : '-',
                           g_pINetworkManager ? 'N' : '-', g_pIConfigurationManager ? 'C' : '-',
                           g_pIRulesManager ? 'R' : '-'};
    };
    for (const auto& [method, hr, raise, expected] : cases) {
        SCOPED_TRACE(method + " " + std::to_string(hr));
        Restart([&](ServiceState& s) {
            if (hr == 0) s.nullInterfaces.insert(method);
            if (hr != 0) s.answers[method] = {hr, raise};
        });
        EXPECT_EQ(InitTarnelHelper(), E_FAIL);
        const std::string object = expected == "-----"   ? "g_pIBandwidthControlManager."
                                   : expected == "B----" ? "g_pIBandwidthControlManager->"
                                                         : "g_pIFactoryManager->";
        EXPECT_EQ(Log().back(), "<DEBUG>:InitTarnelHelper: " + object + method + "() failed");
        EXPECT_EQ(bound(), expected);
        // Once the service behaves, the next call binds everything afresh.
        *service_.state = ServiceState{};
        EXPECT_EQ(InitTarnelHelper(), S_OK);
        EXPECT_EQ(bound(), "BFNCR");
    }

    // Bound: Initialize's own success code; then nothing is called again.
    Restart([](ServiceState& s) { s.answers["Initialize"] = {1, true}; });
    EXPECT_EQ(InitTarnelHelper(), 1);
    EXPECT_EQ(InitTarnelHelper(), S_OK);
    EXPECT_EQ(S().calls.size(), 6u);
    g_pIFactoryManager.reset();  // not part of the binding test
    EXPECT_FALSE(AnyShaperInterfaceUnbound());
}

}  // namespace
