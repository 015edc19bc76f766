// The binding in use, installed at start-up (D-Bus) or by a test (in memory).
#include "shaper/binding.h"

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

}  // namespace

ServiceBinding& CurrentServiceBinding() {
    return gServiceBinding != nullptr ? *gServiceBinding : gNoService;
}

void SetServiceBinding(ServiceBinding* binding) {
    gServiceBinding = binding;
}
