// What a backend of corvane-service provides: the machine's gateways, network
// interfaces and traffic counters, and the place where limits go. The D-Bus
// side (bus_server.h) is the same for every backend.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The service's status codes: negative is a failure.
using HResult = int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kFail = static_cast<HResult>(0x80004005);
inline constexpr HResult kUnexpected = static_cast<HResult>(0x8000FFFF);
inline constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057);

// Every method the service serves, over all five interfaces.
enum class Method {
    Initialize,
    GetFactoryManager,
    GetConfigurationManager,
    GetNetworkManager,
    GetRulesManager,
    GetNetworkInterfaceList,
    SetGatewayLimits,
    GetNetworkInfoList,
    GetProcessList,
    GetDomainList,
    PrepareLimitChange,
};
inline constexpr int kMethodCount = 11;

const char* MethodName(Method method);
std::optional<Method> MethodByName(std::string_view name);
// Number of out arrays (variants) after the HRESULT; 0 for the others.
int ArrayCount(Method method);
// True for the methods whose second out value is an interface path `o`.
bool ReturnsInterface(Method method);

struct Gateway {
    std::string mac;  // the text the client keys the gateway by
    std::string name;
    int32_t id = 0;  // negative: a bad gateway
    bool connected = true;
    std::string address;
    std::string description;
    int64_t uploadBps = -1;  // -1: not set
    int64_t downloadBps = -1;
    int64_t linkSpeedBps = 0;
};

struct NetworkInterface {
    std::string mac;  // hexadecimal bytes joined by '-'
    std::string name;
    int32_t deviceId = 0;
    int32_t gatewayId = 0;  // the gateway this interface reaches
    int32_t flags = 0;
    bool up = true;
};

// One process or domain with its cumulative counters.
struct TrafficEntry {
    std::string name;
    std::string path;  // executable path, or the domain's full name
    std::string description;
    bool active = true;
    int32_t deviceId = 0;   // interface that carried the traffic
    int32_t processId = 0;  // 0 for a domain
    int64_t uploadBits = 0;
    int64_t downloadBits = 0;
};

// What the metrics show of one direction of a gateway.
struct DirectionMetrics {
    int64_t limitBps = -1;                   // -1: no limit
    std::optional<uint64_t> deliveredBytes;  // a counter; unset when not known
    // The leaf queue that holds the packets under the limit ("bfifo",
    // "cake", ...); empty for a backend that shapes nothing.
    std::string leafKind;
    uint64_t leafDrops = 0;                    // a counter, kept across rebuilds of the leaf
    std::optional<uint64_t> leafBacklogBytes;  // unset while the leaf is not in place
};

// What the metrics show of one gateway.
struct GatewayMetrics {
    std::string mac;
    std::string name;
    std::string interface;  // the interface that reaches it; may be empty
    DirectionMetrics download;
    DirectionMetrics upload;
    // SetGatewayLimits calls that changed a limit; unset when not counted.
    std::optional<uint64_t> limitChanges;
    std::optional<std::chrono::system_clock::time_point> lastLimitChange;
};

// Which counters GetTraffic lists.
enum class TrafficKind { Processes, Domains };

// Called on the service's one thread only. Every backend answers the same
// four questions; the rest has defaults that fit a backend which shapes
// nothing of its own accord.
class Backend {
  public:
    virtual ~Backend() = default;

    // Array 8 of the gateway list is the download limit last set, once one was.
    virtual HResult GetGateways(std::vector<Gateway>* out) = 0;
    virtual HResult GetInterfaces(std::vector<NetworkInterface>* out) = 0;
    // The processes' or the domains' counters. The client's selector narrows
    // nothing: every backend lists all it counts.
    virtual HResult GetTraffic(TrafficKind kind, std::vector<TrafficEntry>* out) = 0;
    // Limits in bps; -1 lifts a limit.
    virtual HResult SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                     int64_t downloadBps) = 0;

    // The client's session set-up and its warning before a limit change:
    // nothing to do for a shaper that applies each limit as it comes.
    virtual HResult Initialize(int32_t, int32_t, int32_t, const std::string&, const std::string&) {
        return kOk;
    }
    virtual HResult PrepareLimitChange(int32_t) { return kOk; }

    // For a backend that follows the system: a descriptor that the service's
    // loop watches (-1: none), the ms until it wants to run anyway (-1:
    // never), and the work it does when either comes due.
    virtual int WatchFd() { return -1; }
    virtual int MsUntilWork() { return -1; }
    virtual void Work() {}

    // When the service stops: undo what the backend did to the system.
    virtual void Shutdown() {}

    // The queue that holds each gateway's packets under its limit, by gateway
    // MAC ("bfifo", "cake", ...); empty for a backend that shapes nothing.
    virtual std::map<std::string, std::string> LeafQueues() { return {}; }

    // Every gateway's figures for the metrics, read afresh. The default
    // shapes nothing: the limits of GetGateways, the interface of
    // GetInterfaces that reaches each gateway, no counters, no leaf.
    virtual HResult Metrics(std::vector<GatewayMetrics>* out);
};

// One line on standard error, "corvane-service: " and the text.
void ServiceLog(std::string_view text);

}  // namespace corvane
