// The aperture monitor loop.
#include "core/monitor.h"

#include "core/process.h"
#include "platform/clock.h"

// Placeholder until the monitor-loop issue lands: no server is sought and no
// gateway probed; it only waits, one second at a time, for the abort test.
int32_t DoApertureMonitor() {
    for (;;) {
        if (AbortRequested()) return 0;
        platform::Sleep(1000);
        if (AbortRequested()) return 0;
    }
}
