// The kernel backend's trees: the look that tells whether a gateway may be
// shaped, building or repairing its tree by the plan, and removing it (also
// the trees of gateways no longer configured).
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "service/kernel/gateway_state.h"
#include "service/kernel/ownership.h"
#include "service/kernel/plan.h"

namespace corvane {

KernelBackend::Snapshot KernelBackend::TakeSnapshot() {
    Snapshot all;
    all.ok = Check(tc::ListAllQdiscs(t_, &all.qdiscs), &all.problem);
    return all;
}

KernelBackend::Look KernelBackend::Preflight(Gateway& g, const Snapshot& all, WanView* view,
                                             std::string* problem) {
    std::optional<links::Link> wan;
    if (!Check(links::FindLink(t_, g.config.interface, &wan), problem)) return Look::Unseen;
    if (!wan) {
        g.wanIndex = 0;
        *problem = "no interface " + g.config.interface + " (interface of " + g.Where() + ")";
        return Look::Absent;
    }
    g.wanIndex = wan->index;
    g.mtu = wan->mtu;
    g.framing.headerBytes = wan->headerBytes();
    std::optional<links::Link>& ifb = view->ifb;
    if (!Check(links::FindLink(t_, g.ifbName, &ifb), problem)) return Look::Unseen;
    if (ifb && !own::OwnIfb(*ifb, g.config.interface)) {
        *problem = "a device named " + g.ifbName + " exists that corvane-service did not create";
        return Look::MustNotShape;
    }
    if (!all.ok) {
        *problem = all.problem;
        return Look::Unseen;
    }
    std::vector<tc::Qdisc>& qdiscs = view->qdiscs;
    for (const tc::Qdisc& q : all.qdiscs) {
        if (q.ifindex == wan->index) qdiscs.push_back(q);
        if (ifb && q.ifindex == ifb->index) view->ifbQdiscs.push_back(q);
    }
    const std::string takeOver = "; set replace = yes in " + g.Where() + " to take it over";
    const tc::Qdisc* root = own::FindQdisc(qdiscs, tc::kRootParent);
    if (!own::IsDefault(root) && root->handle != tc::kRootHandle && !g.config.replace) {
        *problem = g.config.interface + " already has a root qdisc (" + own::QdiscText(*root) +
                   ") that corvane-service did not create" + takeOver;
        return Look::MustNotShape;
    }
    const tc::Qdisc* ingress = own::FindQdisc(qdiscs, tc::kIngressParent);
    if (ingress == nullptr) return Look::Fine;
    std::vector<tc::Filter>& filters = view->filters;
    if (!Check(tc::ListFilters(t_, wan->index, tc::kIngressHook, &filters), problem)) {
        return Look::Unseen;
    }
    if (ingress->kind == "clsact") {
        // Other tools' programs hang there: ours goes beside them, unless
        // one of theirs holds our place.
        if (!g.config.replace && own::ForeignAtOurPref(filters)) {
            *problem = g.config.interface + "'s clsact qdisc already has a filter at preference " +
                       std::to_string(tc::kRedirectPref) + " that corvane-service did not create" +
                       takeOver;
            return Look::MustNotShape;
        }
        return Look::Fine;
    }
    if (!g.config.replace) {
        if (!own::OwnIngress(*ingress, filters, ifb.has_value())) {
            *problem = g.config.interface + " already has an ingress qdisc (" +
                       own::QdiscText(*ingress) + ") that corvane-service did not create" +
                       takeOver;
            return Look::MustNotShape;
        }
    }
    return Look::Fine;
}

// The IFB of the gateway, made (and marked as ours) when the look found none.
bool KernelBackend::EnsureIfb(Gateway& g, std::optional<links::Link>* ifb, std::string* problem) {
    const std::string alias = own::kAliasPrefix + g.config.interface;
    if (*ifb) {
        if ((*ifb)->up()) return true;
        ++g.changes;
        return Send(links::SetLinkUp((*ifb)->index, true, g.ifbName), problem);
    }
    // Created up, then named as ours: the kernel takes no alias at creation.
    if (!Send(links::NewIfb(g.ifbName, alias, g.mtu), problem)) return false;
    ++g.changes;
    if (!Check(links::FindLink(t_, g.ifbName, ifb), problem)) return false;
    if (!*ifb) {
        *problem = g.ifbName + " vanished after its creation";
        return false;
    }
    if (!Send(links::SetAlias((*ifb)->index, alias, g.ifbName), problem)) {
        // Unmarked it would be no one's, and in the way of the next try.
        std::string ignored;
        Send(links::DeleteLink((*ifb)->index, g.ifbName), &ignored);
        return false;
    }
    return true;
}

KernelBackend::Outcome KernelBackend::Ensure(Gateway& g, const Snapshot& all,
                                             std::string* problem) {
    g.changes = 0;
    // What Preflight looked at is what is built on: the WAN's qdiscs and
    // filters do not change before this look changes them.
    WanView view;
    switch (Preflight(g, all, &view, problem)) {
        case Look::Fine:
            break;
        case Look::MustNotShape:
        case Look::Absent:
            return Outcome::Waiting;
        case Look::Unseen:
            return Outcome::Unseen;
    }
    g.linkSpeedBps = system_.linkSpeedBps(g.wanIndex);
    if (!EnsureIfb(g, &view.ifb, problem)) return Outcome::Failed;
    g.ifbIndex = view.ifb->index;
    plan::Tree tree;
    tree.ifb = {g.ifbIndex, g.ifbName, std::move(view.ifbQdiscs), {}};
    tree.wan = {g.wanIndex, g.config.interface, std::move(view.qdiscs), {}};
    tree.filters = std::move(view.filters);
    tree.download = ShaperFor(g, g.downloadBps, true);
    tree.upload = ShaperFor(g, g.uploadBps, false);
    for (plan::Device* device : {&tree.ifb, &tree.wan}) {
        if (plan::NeedsClasses(device->qdiscs, g.leaf) &&
            !Check(tc::ListClasses(t_, device->index, &device->classes), problem)) {
            return Outcome::Failed;
        }
    }
    for (plan::Step& step : plan::TreeSteps(tree)) {
        if (!Send(std::move(step.message), problem)) return Outcome::Failed;
        if (step.change) ++g.changes;
    }
    return Outcome::Built;
}

bool KernelBackend::ChangeRate(Gateway& g, int ifindex, const std::string& dev, int64_t bps,
                               bool ingress, std::string* problem) {
    for (nl::Message& m : plan::RateSteps(ifindex, dev, ShaperFor(g, bps, ingress))) {
        if (!Send(std::move(m), problem)) return false;
    }
    return true;
}

void KernelBackend::Teardown(Gateway& g, std::vector<std::string>* problems) {
    std::string problem;
    std::optional<links::Link> ifb;
    if (!Check(links::FindLink(t_, g.ifbName, &ifb), &problem)) problems->push_back(problem);
    const bool ifbOurs = ifb && own::OwnIfb(*ifb, g.config.interface);
    std::optional<links::Link> wan;
    if (!Check(links::FindLink(t_, g.config.interface, &wan), &problem)) {
        problems->push_back(problem);
    }
    if (wan) {
        const std::string& name = g.config.interface;
        std::vector<tc::Qdisc> qdiscs;
        if (!Check(tc::ListQdiscs(t_, wan->index, &qdiscs), &problem)) {
            problems->push_back(problem);
        }
        if (const tc::Qdisc* ingress = own::FindQdisc(qdiscs, tc::kIngressParent)) {
            std::vector<tc::Filter> filters;
            if (!Check(tc::ListFilters(t_, wan->index, tc::kIngressHook, &filters), &problem)) {
                problems->push_back(problem);
            } else if (own::OwnIngress(*ingress, filters, ifbOurs)) {
                if (!Send(tc::DeleteQdisc(wan->index, tc::kIngressParent, ingress->handle,
                                          "removing the ingress qdisc of " + name),
                          &problem)) {
                    problems->push_back(problem);
                }
            } else if (std::any_of(filters.begin(), filters.end(), own::OurRedirect)) {
                // A clsact, or someone else's filters beside ours: only ours
                // go (also when its IFB is gone: it points at nothing).
                if (!Send(tc::DeleteFilters(wan->index, name), &problem)) {
                    problems->push_back(problem);
                }
            }
        }
        const tc::Qdisc* root = own::FindQdisc(qdiscs, tc::kRootParent);
        if (root != nullptr && root->handle == tc::kRootHandle) {
            if (!Send(tc::DeleteQdisc(wan->index, tc::kRootParent, tc::kRootHandle,
                                      "removing the " + root->kind + " qdisc of " + name),
                      &problem)) {
                problems->push_back(problem);
            }
        }
    }
    if (ifbOurs && !Send(links::DeleteLink(ifb->index, g.ifbName), &problem)) {
        problems->push_back(problem);
    }
    g.built = false;
    g.ifbIndex = 0;
}

bool KernelBackend::RemoveAll(std::vector<std::string>* problems) {
    problems->clear();
    for (auto& g : gateways_) Teardown(*g, problems);
    return problems->empty();
}

void KernelBackend::RemoveOrphans(std::vector<std::string>* problems) {
    std::vector<links::Link> all;
    std::string problem;
    if (!Check(links::ListLinks(t_, &all), &problem)) {
        problems->push_back(problem);
        return;
    }
    const std::string prefix = own::kAliasPrefix;
    for (const links::Link& link : all) {
        if (link.kind != "ifb") continue;
        if (link.alias == own::kScratchAlias && link.name != scratch_) {
            // Another run's trial device; one whose process still runs is
            // in the middle of its own detection.
            int pid = 0;
            const std::string digits = link.name.substr(std::strlen(own::kScratchPrefix));
            std::from_chars(digits.data(), digits.data() + digits.size(), pid);
            if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM)) continue;
            if (!Send(links::DeleteLink(link.index, link.name), &problem)) {
                problems->push_back(problem);
            }
            continue;
        }
        if (link.alias.rfind(prefix, 0) != 0) continue;
        const std::string wan = link.alias.substr(prefix.size());
        const bool configured = std::any_of(gateways_.begin(), gateways_.end(), [&](auto& g) {
            return g->config.interface == wan || g->ifbName == link.name;
        });
        if (configured) continue;
        // A gateway taken out of the configuration: its IFB, the redirect
        // and the upload shaper on its WAN go, as at its own removal.
        Gateway orphan;
        orphan.config.interface = wan;
        orphan.config.name = wan;
        orphan.ifbName = link.name;
        Teardown(orphan, problems);
        ServiceLog(wan + ": removed the shaping of a gateway no longer configured");
    }
}

}  // namespace corvane
