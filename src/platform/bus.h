// The component runtime of the shaper service: D-Bus. Calls go to the
// service's well-known name on the bus that DBUS_SYSTEM_BUS_ADDRESS names
// (else the system bus), so bound objects keep working across restarts of the
// service. Only the main thread calls in.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// The runtime needs no start-up: the bus connection is made on first use and
// remade after it was lost. S_OK.
int32_t CoInitialize();
void CoUninitialize();

namespace bus {

inline constexpr const char* kServiceName = "com.corvane.NetworkService";
inline constexpr const char* kRootPath = "/com/corvane/NetworkService";
inline constexpr std::chrono::milliseconds kCallTimeout{5000};

// An in value: n, i, x or s.
using Arg = std::variant<int16_t, int32_t, int64_t, std::string>;

// One out value of a reply. Variants are opened: a `v` holding `as`, `ai`,
// `ab` or `ax` arrives as that array kind; any other content as OtherVariant.
struct Value {
    enum class Kind {
        Int32,
        ObjectPath,
        StringArray,
        Int32Array,
        BoolArray,
        Int64Array,
        OtherVariant,
        Other
    };
    Kind kind = Kind::Other;
    int32_t int32 = 0;
    std::string path;  // ObjectPath; "/" is a null interface pointer
    std::vector<std::string> strings;
    std::vector<int32_t> int32s;
    std::vector<bool> bools;
    std::vector<int64_t> int64s;
};

// A D-Bus error reply, a bus that cannot be reached or went away, or no reply
// within the time-out. what() names the D-Bus error.
class Unavailable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// True when the bus is reachable and `name` has an owner. Never throws.
bool NameHasOwner(const char* name = kServiceName);

// Calls interface.method(args) on the object `path` of kServiceName and
// returns the reply's values in order (the first is the HRESULT `i`). Throws
// Unavailable.
std::vector<Value> Call(const std::string& path, const char* interface, const char* method,
                        const std::vector<Arg>& args,
                        std::chrono::milliseconds timeout = kCallTimeout);

// Drops the connection, so that the next use connects afresh to the bus that
// DBUS_SYSTEM_BUS_ADDRESS names then (tests switch between private buses).
void ResetForTest();

}  // namespace bus
}  // namespace platform
