// Finding and binding the Corvane network service. Start-up installs the
// D-Bus binding; tests install an in-memory one.
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
