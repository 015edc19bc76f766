// The service's method table and its log line, shared by every backend.
#include "service/backend.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace corvane {
namespace {

struct MethodInfo {
    Method method;
    const char* name;
    int arrays;
    bool returnsInterface;
};

constexpr std::array<MethodInfo, kMethodCount> kMethods{{
    {Method::Initialize, "Initialize", 0, false},
    {Method::GetFactoryManager, "GetFactoryManager", 0, true},
    {Method::GetConfigurationManager, "GetConfigurationManager", 0, true},
    {Method::GetNetworkManager, "GetNetworkManager", 0, true},
    {Method::GetRulesManager, "GetRulesManager", 0, true},
    {Method::GetNetworkInterfaceList, "GetNetworkInterfaceList", 6, false},
    {Method::SetGatewayLimits, "SetGatewayLimits", 0, false},
    {Method::GetNetworkInfoList, "GetNetworkInfoList", 9, false},
    {Method::GetProcessList, "GetProcessList", 10, false},
    {Method::GetDomainList, "GetDomainList", 10, false},
    {Method::PrepareLimitChange, "PrepareLimitChange", 0, false},
}};

const MethodInfo& Info(Method method) {
    return kMethods[static_cast<size_t>(method)];
}

}  // namespace

const char* MethodName(Method method) {
    return Info(method).name;
}

std::optional<Method> MethodByName(std::string_view name) {
    for (const MethodInfo& info : kMethods) {
        if (name == info.name) return info.method;
    }
    return std::nullopt;
}

int ArrayCount(Method method) {
    return Info(method).arrays;
}

bool ReturnsInterface(Method method) {
    return Info(method).returnsInterface;
}

HResult Backend::Metrics(std::vector<GatewayMetrics>* out) {
    out->clear();
    std::vector<Gateway> gateways;
    std::vector<NetworkInterface> interfaces;
    if (HResult hr = GetGateways(&gateways); hr < 0) return hr;
    if (HResult hr = GetInterfaces(&interfaces); hr < 0) return hr;
    for (const Gateway& g : gateways) {
        GatewayMetrics m;
        m.mac = g.mac;
        m.name = g.name;
        for (const NetworkInterface& n : interfaces) {
            if (n.gatewayId == g.id) {
                m.interface = n.name;
                break;
            }
        }
        m.download.limitBps = g.downloadBps;
        m.upload.limitBps = g.uploadBps;
        out->push_back(std::move(m));
    }
    return kOk;
}

void ServiceLog(std::string_view text) {
    std::string line = "corvane-service: ";
    line.append(text);
    line.push_back('\n');
    // One write per line, so lines of a shared stderr never interleave.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace corvane
