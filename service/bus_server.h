// Serving a backend on D-Bus under com.corvane.NetworkService: the five
// interfaces at their object paths, one thread, one poll loop.
#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/backend.h"

namespace corvane {

inline constexpr const char* kBusName = "com.corvane.NetworkService";
inline constexpr const char* kRootPath = "/com/corvane/NetworkService";
inline constexpr const char* kFactoryPath = "/com/corvane/NetworkService/FactoryManager";
inline constexpr const char* kNetworkPath = "/com/corvane/NetworkService/NetworkManager";
inline constexpr const char* kRulesPath = "/com/corvane/NetworkService/RulesManager";
inline constexpr const char* kConfigurationPath =
    "/com/corvane/NetworkService/ConfigurationManager";
// At the root path: read-only properties about the shaping itself.
inline constexpr const char* kStatusInterface = "com.corvane.ShaperStatus";

// A misbehaviour to put into one answer, for tests of the service's clients.
struct Fault {
    std::optional<HResult> hresult;      // answered instead of the real result
    int wrongTypeArray = 0;              // this array (from 1) goes with another element type
    bool nullPath = false;               // the interface path is "/" (a null pointer)
    std::chrono::milliseconds stall{0};  // the answer leaves this much later
};

// Where the faults come from. The shipped service has none: only the tests'
// and the lab's build of it pass one.
class FaultSource {
  public:
    virtual ~FaultSource() = default;
    // The fault for this call of `method`; asked once per call, so that a
    // source can fault only the first few calls.
    virtual Fault NextFault(Method method) = 0;
};

// Work of its own that the service's loop serves beside the bus and the
// backend (the metrics, say): on the same thread, so it needs no locks and
// reads the backend directly.
class LoopTask {
  public:
    virtual ~LoopTask() = default;
    // Appends the descriptors to watch, with their events; asked before every poll.
    virtual void AddFds(std::vector<pollfd>* fds) = 0;
    // ms until the task wants to run anyway; -1 never.
    virtual int MsUntilWork() = 0;
    // After every poll: the task's own entries, in the order it added them,
    // with revents filled in.
    virtual void Work(std::span<const pollfd> fds) = 0;
};

// Connects to the bus of DBUS_SYSTEM_BUS_ADDRESS (else the system bus),
// exports the objects, takes the name and answers calls until `stopFd`
// becomes readable (the backend's own work runs in the same loop); then
// releases the name and returns true. Returns false
// with *error set when the bus cannot be reached, the name is taken or the
// bus goes away. The tasks run in the same loop. Once the name is owned the
// service manager hears READY=1, and its watchdog is pinged from the loop.
bool ServeOnBus(Backend& backend, int stopFd, std::string* error,
                std::span<LoopTask* const> tasks = {}, FaultSource* faults = nullptr);

}  // namespace corvane
