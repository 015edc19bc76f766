// Serving a backend on D-Bus under com.corvane.NetworkService: the five
// interfaces at their object paths, faults applied, one thread, one poll loop.
#pragma once

#include <string>

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

// Connects to the bus of DBUS_SYSTEM_BUS_ADDRESS (else the system bus),
// exports the objects, takes the name and answers calls until `stopFd`
// becomes readable (the backend's own work runs in the same loop); then
// releases the name and returns true. Returns false
// with *error set when the bus cannot be reached, the name is taken or the
// bus goes away.
bool ServeOnBus(Backend& backend, int stopFd, std::string* error);

}  // namespace corvane
