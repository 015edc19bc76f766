// D-Bus stands in for COM: one lazily made connection to the system bus (or
// the bus of DBUS_SYSTEM_BUS_ADDRESS), method calls with a time-out, and every
// sdbus-c++ failure turned into Unavailable here and nowhere else.
#include "platform/bus.h"

#include <sdbus-c++/sdbus-c++.h>
#include <map>
#include <memory>
#include <mutex>

namespace platform {
namespace bus {
namespace {

constexpr const char* kDaemonName = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";
constexpr const char* kDaemonInterface = "org.freedesktop.DBus";
// The service hands out a handful of object paths; a misbehaving one that
// hands out endless new paths must not make the proxy cache grow without end.
constexpr size_t kMaxCachedProxies = 64;

// Guards the connection and the proxies: only the main thread is meant to call
// in, but a second caller must not corrupt them.
std::mutex gBusMutex;
std::unique_ptr<sdbus::IConnection> gConnection;
// Proxies by destination and path. They only borrow the connection, so they go
// before it does.
std::map<std::string, std::unique_ptr<sdbus::IProxy>> gProxies;

void DropConnectionLocked() {
    gProxies.clear();
    gConnection.reset();
}

// The proxy for an object, on the connection, both made when first needed.
sdbus::IProxy& ProxyLocked(const std::string& destination, const std::string& path) {
    if (!gConnection) gConnection = sdbus::createSystemBusConnection();
    std::string key = destination + '\n' + path;
    auto it = gProxies.find(key);
    if (it != gProxies.end()) return *it->second;
    if (gProxies.size() >= kMaxCachedProxies) gProxies.clear();
    auto proxy = sdbus::createProxy(*gConnection, destination, path);
    return *gProxies.emplace(key, std::move(proxy)).first->second;
}

void AppendArg(sdbus::MethodCall& call, const Arg& arg) {
    std::visit([&call](const auto& value) { call << value; }, arg);
}

// Reads one array kind straight out of the variant that holds it (no copy of
// the variant on the way: the traffic lists of a tick are large).
template <typename Vector>
void ReadVariantArray(sdbus::MethodReply& reply, const std::string& contents, Value::Kind kind,
                      Vector* out, Value* value) {
    reply.enterVariant(contents);
    reply >> *out;
    reply.exitVariant();
    value->kind = kind;
}

// Opens a variant into the array kinds that the service sends.
Value ReadVariant(sdbus::MethodReply& reply, const std::string& contents) {
    Value value;
    if (contents == "as") {
        ReadVariantArray(reply, contents, Value::Kind::StringArray, &value.strings, &value);
    } else if (contents == "ai") {
        ReadVariantArray(reply, contents, Value::Kind::Int32Array, &value.int32s, &value);
    } else if (contents == "ab") {
        ReadVariantArray(reply, contents, Value::Kind::BoolArray, &value.bools, &value);
    } else if (contents == "ax") {
        ReadVariantArray(reply, contents, Value::Kind::Int64Array, &value.int64s, &value);
    } else {
        sdbus::Variant other;
        reply >> other;
        value.kind = Value::Kind::OtherVariant;
    }
    return value;
}

std::vector<Value> DecodeReply(sdbus::MethodReply& reply) {
    std::vector<Value> values;
    for (;;) {
        std::string type;
        std::string contents;
        reply.peekType(type, contents);
        // At the end sd-bus reports the type as a NUL character.
        if (type.empty() || type[0] == '\0') break;
        Value value;
        if (type == "i") {
            value.kind = Value::Kind::Int32;
            reply >> value.int32;
        } else if (type == "o") {
            sdbus::ObjectPath path;
            reply >> path;
            value.kind = Value::Kind::ObjectPath;
            value.path = path;
        } else if (type == "v") {
            value = ReadVariant(reply, contents);
        } else {
            // No value of the contract has another type; the message API
            // cannot step over an arbitrary value, so decoding stops here.
            values.push_back(value);
            break;
        }
        values.push_back(std::move(value));
    }
    return values;
}

}  // namespace

bool NameHasOwner(const char* name) {
    std::lock_guard<std::mutex> lock(gBusMutex);
    try {
        sdbus::IProxy& proxy = ProxyLocked(kDaemonName, kDaemonPath);
        auto call = proxy.createMethodCall(kDaemonInterface, "NameHasOwner");
        call << std::string(name);
        auto reply = proxy.callMethod(call, kCallTimeout);
        bool owned = false;
        reply >> owned;
        return owned;
    } catch (const std::exception&) {
        DropConnectionLocked();
        return false;
    }
}

std::vector<Value> Call(const std::string& path, const char* interface, const char* method,
                        const std::vector<Arg>& args, std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(gBusMutex);
    try {
        sdbus::IProxy& proxy = ProxyLocked(kServiceName, path);
        auto call = proxy.createMethodCall(interface, method);
        for (const Arg& arg : args) AppendArg(call, arg);
        auto reply = proxy.callMethod(call, timeout);
        return DecodeReply(reply);
    } catch (const sdbus::Error& e) {
        // Error replies (ServiceUnknown, NoReply, Timeout, UnknownMethod, the
        // service's own), a bus that is not there or went away, a malformed
        // reply: to the caller, all of them mean the service is unavailable.
        // The connection is left in an unknown state: the bus may have gone,
        // or a late reply to a timed-out call may still come and would sit
        // unread in the connection's queue (nobody runs an event loop on it).
        // A new connection at the next call covers both, for one Hello.
        DropConnectionLocked();
        throw Unavailable(e.getName() + ": " + e.getMessage());
    }
}

void ResetForTest() {
    std::lock_guard<std::mutex> lock(gBusMutex);
    DropConnectionLocked();
}

}  // namespace bus

int32_t CoInitialize() {
    return 0;
}

// Shutdown releases the runtime: the bus connection goes.
void CoUninitialize() {
    bus::ResetForTest();
}

}  // namespace platform
