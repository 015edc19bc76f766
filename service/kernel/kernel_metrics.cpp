// The kernel backend's metrics: the limits in force, the bytes delivered,
// and the leaf queues' drops and backlog.
#include "service/kernel/gateway_state.h"
#include "service/kernel/ownership.h"

namespace corvane {

HResult KernelBackend::Metrics(std::vector<GatewayMetrics>* out) {
    out->clear();
    std::string problem;
    std::vector<tc::Qdisc> qdiscs;
    bool ok = Check(tc::ListAllQdiscs(t_, &qdiscs), &problem);
    for (auto it = gateways_.begin(); ok && it != gateways_.end(); ++it) {
        Gateway& g = **it;
        std::optional<links::Link> wan;
        std::optional<links::Link> ifb;
        if (!FindLinks(g, &wan, &ifb, &problem)) {
            ok = false;
            break;
        }
        const bool ifbOurs = ifb && own::OwnIfb(*ifb, g.config.interface);
        const int wanIndex = wan ? wan->index : 0;
        const int ifbIndex = ifbOurs ? ifb->index : 0;
        // Cake is the root itself; the other leaves sit in the HTB class.
        const uint32_t leafHandle = g.leaf == tc::Leaf::Cake ? tc::kRootHandle : tc::kLeafHandle;
        auto fill = [&](DirectionMetrics* d, int index, Counter* drops) {
            d->leafKind = tc::LeafKind(g.leaf);
            const tc::Qdisc* leaf = nullptr;
            for (const tc::Qdisc& q : qdiscs) {
                if (index != 0 && q.ifindex == index && q.handle == leafHandle &&
                    q.kind == d->leafKind) {
                    leaf = &q;
                }
            }
            d->leafDrops = drops->Update(leaf ? index : 0, leaf ? leaf->stats.drops : 0);
            if (leaf != nullptr) d->leafBacklogBytes = leaf->stats.backlog;
        };
        GatewayMetrics m;
        m.mac = g.config.mac;
        m.name = g.config.name;
        m.interface = g.config.interface;
        m.download.limitBps = g.downloadBps;
        m.upload.limitBps = g.uploadBps;
        m.download.deliveredBytes = g.download.Update(ifbIndex, ifbIndex != 0 ? ifb->txBytes : 0);
        m.upload.deliveredBytes = g.upload.Update(wanIndex, wanIndex != 0 ? wan->txBytes : 0);
        fill(&m.download, ifbIndex, &g.downloadDrops);
        fill(&m.upload, wanIndex, &g.uploadDrops);
        m.limitChanges = g.limitChanges;
        m.lastLimitChange = g.lastLimitChange;
        out->push_back(std::move(m));
    }
    // Asked once a second: a problem is logged when it begins, not every time.
    if (!ok) {
        if (problem != metricsProblem_) ServiceLog("metrics: " + problem);
        metricsProblem_ = problem;
        out->clear();
        return kFail;
    }
    if (!metricsProblem_.empty()) ServiceLog("metrics: readable again");
    metricsProblem_.clear();
    return kOk;
}
}  // namespace corvane
