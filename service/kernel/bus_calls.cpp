// The kernel backend's calls from the bus: the gateways and interfaces it
// shapes, their traffic counters, and the limits the monitor sets.
#include <algorithm>
#include <limits>

#include "service/kernel/gateway_state.h"
#include "service/kernel/ownership.h"

namespace corvane {
namespace {

int64_t Bits(uint64_t bytes) {
    constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
    return bytes > static_cast<uint64_t>(kInt64Max) / 8 ? kInt64Max
                                                        : static_cast<int64_t>(bytes * 8);
}

}  // namespace

bool KernelBackend::FindLinks(const Gateway& g, std::optional<links::Link>* wan,
                              std::optional<links::Link>* ifb, std::string* problem) {
    return Check(links::FindLink(t_, g.config.interface, wan), problem) &&
           (ifb == nullptr || Check(links::FindLink(t_, g.ifbName, ifb), problem));
}

HResult KernelBackend::GetGateways(std::vector<corvane::Gateway>* out) {
    out->clear();
    for (auto& g : gateways_) {
        std::optional<links::Link> wan;
        std::string problem;
        if (!FindLinks(*g, &wan, nullptr, &problem)) {
            ServiceLog("GetNetworkInfoList: " + problem);
            return kFail;
        }
        corvane::Gateway e;
        e.mac = g->config.mac;
        e.name = g->config.name;
        e.id = g->config.id;
        e.connected = wan && wan->running();
        e.address = g->config.address;
        e.description = g->config.description.empty() ? "download shaped through " + g->ifbName
                                                      : g->config.description;
        e.uploadBps = g->config.uploadBps;
        e.downloadBps = g->reportedDownloadBps;
        e.linkSpeedBps = g->linkSpeedBps;
        out->push_back(std::move(e));
    }
    return kOk;
}

HResult KernelBackend::GetInterfaces(std::vector<NetworkInterface>* out) {
    out->clear();
    for (auto& g : gateways_) {
        std::optional<links::Link> wan;
        std::string problem;
        if (!FindLinks(*g, &wan, nullptr, &problem)) {
            ServiceLog("GetNetworkInterfaceList: " + problem);
            return kFail;
        }
        NetworkInterface n;
        if (!wan) {
            // Listed, and down: a WAN that is gone, or not there yet.
            n.name = g->config.interface;
            n.gatewayId = g->config.id;
            n.up = false;
            out->push_back(std::move(n));
            continue;
        }
        n.mac = links::MacText(wan->address);
        n.name = wan->name;
        n.deviceId = wan->index;
        n.gatewayId = g->config.id;
        n.flags = static_cast<int32_t>(wan->flags);
        n.up = wan->up();
        out->push_back(std::move(n));
    }
    return kOk;
}

// One process entry per WAN: its download is what the IFB delivered, its
// upload what the WAN sent. Traffic is counted per interface, not per domain.
HResult KernelBackend::GetTraffic(TrafficKind kind, std::vector<TrafficEntry>* out) {
    out->clear();
    if (kind == TrafficKind::Domains) return kOk;
    for (auto& g : gateways_) {
        std::optional<links::Link> wan;
        std::optional<links::Link> ifb;
        std::string problem;
        if (!FindLinks(*g, &wan, &ifb, &problem)) {
            ServiceLog("GetProcessList: " + problem);
            return kFail;
        }
        if (!wan) continue;
        bool ifbOurs = ifb && own::OwnIfb(*ifb, g->config.interface);
        TrafficEntry e;
        e.name = g->config.interface;
        e.path = g->ifbName;
        e.description = "all traffic of " + g->config.interface;
        e.active = wan->running();
        e.deviceId = wan->index;
        e.processId = 0;
        e.uploadBits = Bits(g->upload.Update(wan->index, wan->txBytes));
        e.downloadBits =
            Bits(g->download.Update(ifbOurs ? ifb->index : 0, ifbOurs ? ifb->txBytes : 0));
        out->push_back(std::move(e));
    }
    return kOk;
}

HResult KernelBackend::SetGatewayLimits(const std::string& gatewayMac, int64_t uploadBps,
                                        int64_t downloadBps) {
    std::string line = "SetGatewayLimits " + gatewayMac + " up=" + std::to_string(uploadBps) +
                       " down=" + std::to_string(downloadBps);
    auto it = std::find_if(gateways_.begin(), gateways_.end(),
                           [&](const auto& g) { return g->config.mac == gatewayMac; });
    if (it == gateways_.end() || uploadBps < -1 || downloadBps < -1) {
        ServiceLog(line + ": refused (" +
                   (it == gateways_.end() ? "no such gateway" : "a limit below -1") + ")");
        return kInvalidArg;
    }
    Gateway& g = **it;
    const int64_t downloadBefore = g.downloadBps, uploadBefore = g.uploadBps;
    // Counted once per call that changed a limit in force.
    auto stored = [&](HResult result) {
        if (g.downloadBps != downloadBefore || g.uploadBps != uploadBefore) {
            ++g.limitChanges;
            g.lastLimitChange = system_.wallNow();
        }
        g.reportedDownloadBps = g.downloadBps;
        return result;
    };
    if (!g.built) {
        ServiceLog(line + ": kept for when " + g.config.interface + " is shaped again");
        g.downloadBps = downloadBps;
        g.uploadBps = uploadBps;
        return stored(kOk);
    }
    // Each direction's limit is stored once the kernel has taken it: a
    // repair then restores exactly the limits in force.
    std::string problem;
    bool ok = true;
    if (downloadBps != g.downloadBps) {
        ok = ChangeRate(g, g.ifbIndex, g.ifbName, downloadBps, true, &problem);
        if (ok) g.downloadBps = downloadBps;
    }
    if (ok && uploadBps != g.uploadBps) {
        ok = ChangeRate(g, g.wanIndex, g.config.interface, uploadBps, false, &problem);
        if (ok) g.uploadBps = uploadBps;
    }
    if (!ok) {
        ServiceLog(line + ": failed: " + problem);
        Schedule(g, kernel_timing::kEventSettle);  // the tree may be damaged: a look soon
        return stored(kFail);
    }
    ServiceLog(line);
    return stored(kOk);
}

std::map<std::string, std::string> KernelBackend::LeafQueues() {
    std::map<std::string, std::string> leaves;
    for (auto& g : gateways_) leaves[g->config.mac] = tc::LeafKind(g->leaf);
    return leaves;
}

std::vector<bool> KernelBackend::Shaped() const {
    std::vector<bool> shaped;
    for (const auto& g : gateways_) shaped.push_back(g->built);
    return shaped;
}
}  // namespace corvane
