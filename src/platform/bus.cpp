// D-Bus stands in for COM.
#include "platform/bus.h"

namespace platform {

int32_t CoInitialize() {
    return 0;
}
void CoUninitialize() {}

}  // namespace platform
