// Talking to the service manager: "started", what it waits for, "stopping"
// and the watchdog's pings. Outside systemd (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <string>

namespace platform {

// Start-up is done; sent once per process, later calls do nothing.
void NotifyReady();
// What the process does or waits for now, as `systemctl status` shows it;
// sent only when it differs from the last one.
void NotifyStatus(const std::string& text);
// The process is on its way out; the manager waits for it without restarting.
void NotifyStopping();

// Pings the watchdog when half of its interval has passed since the last ping
// (or none was sent yet). Cheap enough to call on every turn of a main loop;
// call it from that loop only, so that a hung loop stops the pings.
void PingWatchdogIfDue();
// Milliseconds until the next ping falls due: 0 when due now, -1 when the
// manager asked for no watchdog. For a poll loop's timeout.
int MsUntilWatchdogPing();

// Forgets the pings sent and what the environment said, so that a test can
// set NOTIFY_SOCKET / WATCHDOG_USEC and start over.
void ResetNotifyForTest();

}  // namespace platform
