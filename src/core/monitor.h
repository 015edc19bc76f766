// The aperture monitor loop.
#pragma once

#include <cstdint>

// Runs until an abort is requested. Returns 1 when it stopped while finding a
// server or gateways, 0 when it stopped at the top of a monitoring tick.
int32_t DoApertureMonitor();
