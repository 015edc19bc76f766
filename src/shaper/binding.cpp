// The binding in use, installed at start-up (D-Bus) or by a test (in memory),
// and the service's interfaces bound through it.
#include "shaper/binding.h"

#include <utility>

#include "log/logger.h"

ComPtr<IBandwidthControlManager> g_pIBandwidthControlManager;
ComPtr<IFactoryManager> g_pIFactoryManager;
ComPtr<INetworkManager> g_pINetworkManager;
ComPtr<IConfigurationManager> g_pIConfigurationManager;
ComPtr<IRulesManager> g_pIRulesManager;

namespace {

// Before anything is installed the service simply is not there.
class NoService : public ServiceBinding {
  public:
    bool Running() override { return false; }
    HRESULT CreateInstance(ComPtr<IBandwidthControlManager>* out) override {
        out->reset();
        return E_FAIL;
    }
};

NoService gNoService;
ServiceBinding* gServiceBinding = nullptr;

// One Get... step of the binding: a raised error leaves the global as it
// was; an answer replaces it (an empty answer empties it). True only when the
// call succeeded with an interface.
template <typename T, typename Source>
bool BindStep(ComPtr<T>& target, Source& source, HRESULT (Source::*get)(ComPtr<T>*)) {
    try {
        ComPtr<T> got;
        ThrowIfFailed((source.*get)(&got));
        target = std::move(got);
        return target != nullptr;
    } catch (const ComError&) {
        return false;
    }
}

}  // namespace

ServiceBinding& CurrentServiceBinding() {
    return gServiceBinding != nullptr ? *gServiceBinding : gNoService;
}

void SetServiceBinding(ServiceBinding* binding) {
    gServiceBinding = binding;
}

bool AnyShaperInterfaceUnbound() {
    return !g_pIBandwidthControlManager || !g_pINetworkManager || !g_pIConfigurationManager ||
           !g_pIRulesManager;
}

HRESULT InitTarnelHelper() {
    if (!AnyShaperInterfaceUnbound()) return S_OK;

    g_pIBandwidthControlManager.reset();
    HRESULT created;
    try {
        created = CurrentServiceBinding().CreateInstance(&g_pIBandwidthControlManager);
    } catch (const ComError& e) {
        created = e.Error();
    }
    if (FAILED(created) || !g_pIBandwidthControlManager) {
        g_pIBandwidthControlManager.reset();
        LogDebug("InitTarnelHelper: g_pIBandwidthControlManager.CreateInstance() failed");
        return E_FAIL;
    }

    HRESULT initialized;
    try {
        initialized = ThrowIfFailed(g_pIBandwidthControlManager->Initialize(0, 1, 0, L"", L""));
    } catch (const ComError&) {
        LogDebug("InitTarnelHelper: g_pIBandwidthControlManager->Initialize() failed");
        return E_FAIL;
    }

    if (!BindStep(g_pIFactoryManager, *g_pIBandwidthControlManager,
                  &IBandwidthControlManager::GetFactoryManager)) {
        LogDebug("InitTarnelHelper: g_pIBandwidthControlManager->GetFactoryManager() failed");
        return E_FAIL;
    }
    if (!BindStep(g_pINetworkManager, *g_pIFactoryManager, &IFactoryManager::GetNetworkManager)) {
        LogDebug("InitTarnelHelper: g_pIFactoryManager->GetNetworkManager() failed");
        return E_FAIL;
    }
    if (!BindStep(g_pIConfigurationManager, *g_pIFactoryManager,
                  &IFactoryManager::GetConfigurationManager)) {
        LogDebug("InitTarnelHelper: g_pIFactoryManager->GetConfigurationManager() failed");
        return E_FAIL;
    }
    if (!BindStep(g_pIRulesManager, *g_pIFactoryManager, &IFactoryManager::GetRulesManager)) {
        LogDebug("InitTarnelHelper: g_pIFactoryManager->GetRulesManager() failed");
        return E_FAIL;
    }
    return initialized;
}

void ResetBindingForTest() {
    g_pIBandwidthControlManager.reset();
    g_pIFactoryManager.reset();
    g_pINetworkManager.reset();
    g_pIConfigurationManager.reset();
    g_pIRulesManager.reset();
}
