// An in-memory Corvane network service: scripted answers per method, and a
// record of every call.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/registry_params.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "shaper/binding.h"
#include "shaper/gateways.h"
#include "shaper/limits.h"
#include "slots/isp_ctx.h"
#include "support/test_support.h"

namespace fake {

struct Gateway {  // one element of GetNetworkInfoList; bandwidth -1 = not set
    std::wstring mac;
    int32_t id;
    int64_t uploadBps, downloadBps;
};
struct Interface {  // one element of GetNetworkInterfaceList
    std::wstring mac;
    int32_t deviceId, gatewayId;
};
struct Traffic {  // one process or domain; cumulative counters in bits
    std::wstring name;
    int32_t deviceId;
    int64_t upload, download;
};
// A method's answer: a failure is raised as the service's wrappers raise it,
// unless `raise` is false, when it comes back as a plain result.
struct Answer {
    HRESULT hr = S_OK;
    bool raise = true;
};
struct LimitCall {
    std::wstring mac;
    int64_t uploadBps, downloadBps;
};

struct ServiceState {
    bool running = true;
    std::vector<Gateway> gateways;
    std::vector<Interface> interfaces;
    std::vector<Traffic> processes, domains;
    std::map<std::string, Answer> answers;  // by method name, e.g. "GetNetworkInfoList"
    // CreateInstance and Get...Manager methods that answer S_OK and an empty pointer.
    std::set<std::string> nullInterfaces;
    // Run over each reply before it is handed out: other types, short or missing arrays.
    std::function<void(NetworkInfoArrays&)> editNetworkInfo;
    std::function<void(NetworkInterfaceArrays&)> editInterfaces;
    std::function<void(TrafficListArrays&)> editProcesses, editDomains;

    std::vector<std::string> calls;  // method names in call order
    std::vector<LimitCall> limitCalls;

    HRESULT Enter(const std::string& method) {
        calls.push_back(method);
        auto it = answers.find(method);
        if (it == answers.end()) return S_OK;
        if (FAILED(it->second.hr) && it->second.raise) throw ComError(it->second.hr);
        return it->second.hr;
    }
};
using State = std::shared_ptr<ServiceState>;
using Script = std::function<void(ServiceState&)>;

inline Script Raise(const std::string& method, HRESULT hr, bool raise = true) {
    return [=](ServiceState& s) { s.answers[method] = {hr, raise}; };
}

template <typename Row, typename T>
SafeArray Column(const std::vector<Row>& rows, T Row::*field) {
    std::vector<T> values;
    for (const Row& row : rows) values.push_back(row.*field);
    return SafeArray(std::move(values));
}
template <typename T>
SafeArray Same(size_t n, T value) {
    return SafeArray(std::vector<T>(n, value));
}

// One object stands for all five interfaces: the code under test holds each
// through its own pointer, and they all answer from the one state.
class Objects : public IBandwidthControlManager,
                public IFactoryManager,
                public INetworkManager,
                public IRulesManager,
                public IConfigurationManager {
  public:
    explicit Objects(State s) : s_(std::move(s)) {}

    template <typename Iface>
    static HRESULT HandOut(const State& s, const std::string& method, ComPtr<Iface>* out) {
        HRESULT hr = s->Enter(method);
        if (FAILED(hr)) return hr;
        out->reset();
        if (s->nullInterfaces.count(method) == 0) *out = std::make_shared<Objects>(s);
        return hr;
    }

    HRESULT Initialize(int32_t, int32_t, int32_t, const std::wstring&,
                       const std::wstring&) override {
        return s_->Enter("Initialize");
    }
    HRESULT GetFactoryManager(ComPtr<IFactoryManager>* out) override {
        return HandOut(s_, "GetFactoryManager", out);
    }
    HRESULT GetConfigurationManager(ComPtr<IConfigurationManager>* out) override {
        return HandOut(s_, "GetConfigurationManager", out);
    }
    HRESULT GetNetworkManager(ComPtr<INetworkManager>* out) override {
        return HandOut(s_, "GetNetworkManager", out);
    }
    HRESULT GetRulesManager(ComPtr<IRulesManager>* out) override {
        return HandOut(s_, "GetRulesManager", out);
    }
    HRESULT PrepareLimitChange(int32_t) override { return s_->Enter("PrepareLimitChange"); }

    // The arrays that the code does not read hold empty texts and zeros.
    HRESULT GetProcessList(int16_t, TrafficListArrays* out) override {
        return List("GetProcessList", s_->processes, s_->editProcesses, out);
    }
    HRESULT GetDomainList(int16_t, TrafficListArrays* out) override {
        return List("GetDomainList", s_->domains, s_->editDomains, out);
    }
    HRESULT GetNetworkInterfaceList(NetworkInterfaceArrays* out) override {
        HRESULT hr = s_->Enter("GetNetworkInterfaceList");
        if (FAILED(hr)) return hr;
        const auto& i = s_->interfaces;
        *out = {Column(i, &Interface::mac),      Same(i.size(), std::wstring()),
                Column(i, &Interface::deviceId), Column(i, &Interface::gatewayId),
                Same(i.size(), int32_t{0}),      Same(i.size(), true)};
        if (s_->editInterfaces) s_->editInterfaces(*out);
        return hr;
    }
    // As the service does, a successful change becomes the gateway's figures.
    HRESULT SetGatewayLimits(const std::wstring& mac, int64_t up, int64_t down) override {
        s_->limitCalls.push_back({mac, up, down});
        HRESULT hr = s_->Enter("SetGatewayLimits");
        for (Gateway& g : s_->gateways) {
            if (g.mac == mac && SUCCEEDED(hr)) g.uploadBps = up, g.downloadBps = down;
        }
        return hr;
    }
    HRESULT GetNetworkInfoList(NetworkInfoArrays* out) override {
        HRESULT hr = s_->Enter("GetNetworkInfoList");
        if (FAILED(hr)) return hr;
        const auto& g = s_->gateways;
        const size_t n = g.size();
        *out = {Column(g, &Gateway::mac),
                Same(n, std::wstring()),
                Column(g, &Gateway::id),
                Same(n, true),
                Same(n, std::wstring()),
                Same(n, std::wstring()),
                Column(g, &Gateway::uploadBps),
                Column(g, &Gateway::downloadBps),
                Same(n, int64_t{0})};
        if (s_->editNetworkInfo) s_->editNetworkInfo(*out);
        return hr;
    }

  private:
    HRESULT List(const std::string& method, const std::vector<Traffic>& t,
                 const std::function<void(TrafficListArrays&)>& edit, TrafficListArrays* out) {
        HRESULT hr = s_->Enter(method);
        if (FAILED(hr)) return hr;
        const size_t n = t.size();
        *out = {Column(t, &Traffic::name),     Same(n, std::wstring()),
                Same(n, std::wstring()),       Same(n, true),
                Column(t, &Traffic::deviceId), Same(n, int32_t{0}),
                Column(t, &Traffic::upload),   Column(t, &Traffic::download),
                Same(n, int64_t{0}),           Same(n, int64_t{0})};
        if (edit) edit(*out);
        return hr;
    }
    State s_;
};

class Service : public ServiceBinding {
  public:
    Service() { SetServiceBinding(this); }
    ~Service() override { SetServiceBinding(nullptr); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    bool Running() override { return state->running; }
    HRESULT CreateInstance(ComPtr<IBandwidthControlManager>* out) override {
        out->reset();
        return Objects::HandOut(state, "CreateInstance", out);
    }

    State state = std::make_shared<ServiceState>();
};

// Tests over the shaper logic: the log in a scratch directory, the fake
// service installed, the slots as the monitor leaves them before discovery,
// and every module's globals reset afterwards.
class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetShaperForTest();
        ResetConfigForTest();
        ReinitIspContexts();
        platform::gPerfFrequency = platform::kPerfFrequency;
        InitLogger();
    }
    void TearDown() override {
        ResetShaperForTest();
        ResetIspContextsForTest();
        ResetConfigForTest();
        platform::ResetClockForTest();
        ResetLoggerForTest();
    }

    ServiceState& S() { return *service_.state; }
    std::vector<std::string> Log() const { return test::LogMessages("aperture.log"); }
    bool Logged(const std::string& line) const {
        auto log = Log();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    // The lines logged since MarkLog.
    void MarkLog() { mark_ = Log().size(); }
    std::vector<std::string> LogSinceMark() const {
        auto log = Log();
        return {log.begin() + static_cast<std::ptrdiff_t>(mark_), log.end()};
    }

    test::TempDir dir_;
    test::ScopedChdir cwd_{dir_.path()};
    Service service_;
    size_t mark_ = 0;
};

}  // namespace fake
