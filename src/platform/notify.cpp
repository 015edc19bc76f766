// The service manager's notification socket, through libsystemd.
#include "platform/notify.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

bool gReadySent = false;
std::string gStatus;  // as last sent
// Read from WATCHDOG_USEC once: half the interval, in µs; 0 for no watchdog.
bool gWatchdogKnown = false;
uint64_t gPingEveryUs = 0;
bool gPinged = false;
Clock::time_point gLastPing;

uint64_t PingEveryUs() {
    if (!gWatchdogKnown) {
        gWatchdogKnown = true;
        uint64_t usec = 0;
        // > 0 only when the watchdog is meant for this very process (WATCHDOG_PID).
        gPingEveryUs = sd_watchdog_enabled(0, &usec) > 0 ? (usec + 1) / 2 : 0;
    }
    return gPingEveryUs;
}

}  // namespace

void NotifyReady() {
    if (gReadySent) return;
    gReadySent = true;
    sd_notify(0, "READY=1");
}

void NotifyStatus(const std::string& text) {
    if (text == gStatus) return;
    gStatus = text;
    sd_notifyf(0, "STATUS=%s", text.c_str());
}

void NotifyStopping() {
    sd_notify(0, "STOPPING=1");
}

int MsUntilWatchdogPing() {
    const uint64_t every = PingEveryUs();
    if (every == 0) return -1;
    if (!gPinged) return 0;
    const auto since =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - gLastPing);
    const auto sinceUs = static_cast<uint64_t>(since.count());
    if (sinceUs >= every) return 0;
    // Rounded up, so that a poll that waits this long finds the ping due.
    return static_cast<int>((every - sinceUs + 999) / 1000);
}

void PingWatchdogIfDue() {
    if (MsUntilWatchdogPing() != 0) return;
    gPinged = true;
    gLastPing = Clock::now();
    sd_notify(0, "WATCHDOG=1");
}

void ResetNotifyForTest() {
    gReadySent = false;
    gStatus.clear();
    gWatchdogKnown = false;
    gPingEveryUs = 0;
    gPinged = false;
}

}  // namespace platform
