// An in-memory Corvane network service for tests: scripted replies, answers and
// raised errors per method, and a record of every call.
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

#include "aperture/isp_ctx.h"
#include "config/registry_params.h"
#include "core/process.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "shaper/binding.h"
#include "shaper/gateways.h"
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

// What the fake's objects share; tests script and inspect it.
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
    // As the service does, a successful SetGatewayLimits becomes the gateway's figures.
    bool limitsUpdateGateways = true;

    std::vector<std::string> calls;  // method names in call order
    std::vector<LimitCall> limitCalls;
    std::vector<int32_t> prepareArguments;
    std::vector<int16_t> listSelectors;
    std::vector<std::wstring> initializeArguments;  // each call's five, joined by ","

    HRESULT Enter(const std::string& method) {
        calls.push_back(method);
        auto it = answers.find(method);
        if (it == answers.end()) return S_OK;
        if (FAILED(it->second.hr) && it->second.raise) throw ComError(it->second.hr);
        return it->second.hr;
    }
    size_t CallCount(const std::string& method) const {
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), method));
    }
};
using State = std::shared_ptr<ServiceState>;

// Hands out a new Impl, or nothing when scripted so, after the method's answer.
template <typename Impl, typename Iface>
HRESULT HandOut(const State& s, const std::string& method, ComPtr<Iface>* out) {
    HRESULT hr = s->Enter(method);
    if (FAILED(hr)) return hr;
    out->reset();
    if (s->nullInterfaces.count(method) == 0) *out = std::make_shared<Impl>(s);
    return hr;
}

// The array of one field over all rows.
template <typename T, typename Row, typename F>
SafeArray Column(const std::vector<Row>& rows, F field) {
    std::vector<T> values;
    for (const Row& row : rows) values.push_back(field(row));
    return SafeArray(std::move(values));
}

class ConfigurationManager : public IConfigurationManager {
  public:
    explicit ConfigurationManager(State s) : s_(std::move(s)) {}
    HRESULT PrepareLimitChange(int32_t value) override {
        s_->prepareArguments.push_back(value);
        return s_->Enter("PrepareLimitChange");
    }

  private:
    State s_;
};

class RulesManager : public IRulesManager {
  public:
    explicit RulesManager(State s) : s_(std::move(s)) {}
    HRESULT GetProcessList(int16_t selector, TrafficListArrays* arrays) override {
        return List("GetProcessList", selector, s_->processes, s_->editProcesses, arrays);
    }
    HRESULT GetDomainList(int16_t selector, TrafficListArrays* arrays) override {
        return List("GetDomainList", selector, s_->domains, s_->editDomains, arrays);
    }

  private:
    HRESULT List(const std::string& method, int16_t selector, const std::vector<Traffic>& rows,
                 const std::function<void(TrafficListArrays&)>& edit, TrafficListArrays* out) {
        s_->listSelectors.push_back(selector);
        HRESULT hr = s_->Enter(method);
        if (FAILED(hr)) return hr;
        using T = Traffic;
        *out = {Column<std::wstring>(rows, [](const T& t) { return t.name; }),
                Column<std::wstring>(rows, [](const T& t) { return L"C:\\" + t.name; }),
                Column<std::wstring>(rows, [](const T&) { return L""; }),
                Column<bool>(rows, [](const T&) { return true; }),
                Column<int32_t>(rows, [](const T& t) { return t.deviceId; }),
                Column<int32_t>(rows, [](const T&) { return 0; }),
                Column<int64_t>(rows, [](const T& t) { return t.upload; }),
                Column<int64_t>(rows, [](const T& t) { return t.download; }),
                Column<int64_t>(rows, [](const T&) { return 0; }),
                Column<int64_t>(rows, [](const T&) { return 0; })};
        if (edit) edit(*out);
        return hr;
    }
    State s_;
};

class NetworkManager : public INetworkManager {
  public:
    explicit NetworkManager(State s) : s_(std::move(s)) {}
    HRESULT GetNetworkInterfaceList(NetworkInterfaceArrays* out) override {
        HRESULT hr = s_->Enter("GetNetworkInterfaceList");
        if (FAILED(hr)) return hr;
        using I = Interface;
        const auto& rows = s_->interfaces;
        *out = {Column<std::wstring>(rows, [](const I& i) { return i.mac; }),
                Column<std::wstring>(rows, [](const I& i) { return L"eth" + i.mac; }),
                Column<int32_t>(rows, [](const I& i) { return i.deviceId; }),
                Column<int32_t>(rows, [](const I& i) { return i.gatewayId; }),
                Column<int32_t>(rows, [](const I&) { return 0; }),
                Column<bool>(rows, [](const I&) { return true; })};
        if (s_->editInterfaces) s_->editInterfaces(*out);
        return hr;
    }
    HRESULT SetGatewayLimits(const std::wstring& mac, int64_t up, int64_t down) override {
        s_->limitCalls.push_back({mac, up, down});
        HRESULT hr = s_->Enter("SetGatewayLimits");
        for (Gateway& g : s_->gateways) {
            if (g.mac == mac && SUCCEEDED(hr) && s_->limitsUpdateGateways) {
                g.uploadBps = up;
                g.downloadBps = down;
            }
        }
        return hr;
    }
    HRESULT GetNetworkInfoList(NetworkInfoArrays* out) override {
        HRESULT hr = s_->Enter("GetNetworkInfoList");
        if (FAILED(hr)) return hr;
        using G = Gateway;
        const auto& rows = s_->gateways;
        *out = {Column<std::wstring>(rows, [](const G& g) { return g.mac; }),
                Column<std::wstring>(rows, [](const G& g) { return L"ISP " + g.mac; }),
                Column<int32_t>(rows, [](const G& g) { return g.id; }),
                Column<bool>(rows, [](const G&) { return true; }),
                Column<std::wstring>(rows, [](const G&) { return L"192.0.2.1"; }),
                Column<std::wstring>(rows, [](const G&) { return L""; }),
                Column<int64_t>(rows, [](const G& g) { return g.uploadBps; }),
                Column<int64_t>(rows, [](const G& g) { return g.downloadBps; }),
                Column<int64_t>(rows, [](const G&) { return 1000000000; })};
        if (s_->editNetworkInfo) s_->editNetworkInfo(*out);
        return hr;
    }

  private:
    State s_;
};

class FactoryManager : public IFactoryManager {
  public:
    explicit FactoryManager(State s) : s_(std::move(s)) {}
    HRESULT GetConfigurationManager(ComPtr<IConfigurationManager>* out) override {
        return HandOut<ConfigurationManager>(s_, "GetConfigurationManager", out);
    }
    HRESULT GetNetworkManager(ComPtr<INetworkManager>* out) override {
        return HandOut<NetworkManager>(s_, "GetNetworkManager", out);
    }
    HRESULT GetRulesManager(ComPtr<IRulesManager>* out) override {
        return HandOut<RulesManager>(s_, "GetRulesManager", out);
    }

  private:
    State s_;
};

class BandwidthControlManager : public IBandwidthControlManager {
  public:
    explicit BandwidthControlManager(State s) : s_(std::move(s)) {}
    HRESULT Initialize(int32_t a, int32_t b, int32_t c, const std::wstring& d,
                       const std::wstring& e) override {
        s_->initializeArguments.push_back(std::to_wstring(a) + L"," + std::to_wstring(b) + L"," +
                                          std::to_wstring(c) + L"," + d + L"," + e);
        return s_->Enter("Initialize");
    }
    HRESULT GetFactoryManager(ComPtr<IFactoryManager>* out) override {
        return HandOut<FactoryManager>(s_, "GetFactoryManager", out);
    }

  private:
    State s_;
};

// The service binding, installed for the life of the object.
class Service : public ServiceBinding {
  public:
    Service() { SetServiceBinding(this); }
    ~Service() override { SetServiceBinding(nullptr); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    bool Running() override { return state->running; }
    HRESULT CreateInstance(ComPtr<IBandwidthControlManager>* out) override {
        out->reset();
        return HandOut<BandwidthControlManager>(state, "CreateInstance", out);
    }

    State state = std::make_shared<ServiceState>();
};

// A high-resolution counter (100 ns ticks) that moves only when told.
class ManualClock : public platform::ClockSource {
  public:
    ManualClock() { platform::SetClockSourceForTest(this); }
    ~ManualClock() override { platform::SetClockSourceForTest(nullptr); }
    void AdvanceSeconds(double s) { ticks_ += static_cast<int64_t>(s * platform::kPerfFrequency); }
    int64_t PerformanceCounter() override { return ticks_; }
    uint64_t TickCount64() override { return static_cast<uint64_t>(ticks_ / 10000); }
    platform::LocalTime Local() override { return {2026, 1, 4, 1, 12, 0, 0, 0}; }
    std::string Ctime() override { return "Thu Jan  1 12:00:00 2026"; }
    uint64_t ProcessClockMs() override { return 0; }
    void Sleep(uint32_t ms) override { ticks_ += int64_t{ms} * 10000; }

  private:
    int64_t ticks_ = 1000 * platform::kPerfFrequency;
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
        gPerfFrequency = platform::kPerfFrequency;
        InitLogger();
    }
    void TearDown() override {
        ResetShaperForTest();
        ResetIspContextsForTest();
        ResetConfigForTest();
        ResetCoreForTest();
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
