// The component runtime of the shaper service. On Linux the service lives on
// D-Bus; the connection is made when the shaper interfaces are bound, so the
// runtime's start-up has nothing to set up and cannot fail.
#pragma once

#include <cstdint>

namespace platform {

int32_t CoInitialize();  // S_OK
void CoUninitialize();

}  // namespace platform
