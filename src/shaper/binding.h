// Finding and binding the Corvane network service. Start-up installs the
// D-Bus binding; tests install an in-memory one. InitTarnelHelper binds the
// service's interfaces through it into the globals below.
#pragma once

#include "shaper/interfaces.h"

class ServiceBinding {
  public:
    virtual ~ServiceBinding() = default;
    // The service is running (its well-known name has an owner).
    virtual bool Running() = 0;
    // Creates the service's root object: S_OK with *out set, or a failure
    // code with *out empty.
    virtual HRESULT CreateInstance(ComPtr<IBandwidthControlManager>* out) = 0;
};

// The binding in use. Until one is installed, the service is never found
// and creating it fails with E_FAIL.
ServiceBinding& CurrentServiceBinding();
// nullptr uninstalls. The binding must outlive its installation.
void SetServiceBinding(ServiceBinding* binding);

// The named-mutex test of the service: true while it runs.
inline bool CorvaneServiceRunning() {
    return CurrentServiceBinding().Running();
}

// The service's interfaces; empty until InitTarnelHelper binds them.
extern ComPtr<IBandwidthControlManager> g_pIBandwidthControlManager;
extern ComPtr<IFactoryManager> g_pIFactoryManager;
extern ComPtr<INetworkManager> g_pINetworkManager;
extern ComPtr<IConfigurationManager> g_pIConfigurationManager;
extern ComPtr<IRulesManager> g_pIRulesManager;

// Binds the service's interfaces; S_OK at once when they are already bound,
// E_FAIL (with a log line naming the step) when a step fails, else the result
// of Initialize.
HRESULT InitTarnelHelper();

// True when any of the bandwidth-control, network, configuration or rules
// interface is unbound: the monitor then binds afresh.
bool AnyShaperInterfaceUnbound();

// Tests: the five interfaces above emptied (the installed binding stays).
void ResetBindingForTest();
