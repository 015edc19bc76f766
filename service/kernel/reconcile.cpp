// The kernel backend's life with the kernel after start: the events that
// tell of others' changes, the looks they schedule, and the repairs with a
// back-off when the kernel refuses.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <algorithm>

#include "service/kernel/gateway_state.h"

namespace corvane {

using namespace kernel_timing;

void KernelBackend::Reconcile(Gateway& g, const Snapshot& all) {
    g.due.reset();
    std::string problem;
    Outcome outcome = Ensure(g, all, &problem);
    if (outcome == Outcome::Built) {
        if (!g.built || g.changes > 0) {
            ServiceLog(g.config.interface + ": shaping tree " +
                       (g.built ? "repaired (" + std::to_string(g.changes) +
                                      (g.changes == 1 ? " change)" : " changes)")
                                : std::string("whole again")) +
                       ", download at " + LimitText(g.downloadBps) + ", upload at " +
                       LimitText(g.uploadBps));
        }
        g.built = true;
        g.problem.clear();
        g.backoff = {};
        return;
    }
    if (outcome == Outcome::Unseen) {
        // The look itself failed (a time-out, a dump cut short by a change):
        // nothing says the tree is wrong, so it stays, and a look follows.
        if (problem != g.problem) {
            ServiceLog(g.config.interface + ": could not look, trying again: " + problem);
            g.problem = problem;
        }
        Retry(g);
        return;
    }
    // Never half a tree: what of it stands goes, until it can be whole.
    std::vector<std::string> problems;
    Teardown(g, &problems);
    if (problem != g.problem) {
        ServiceLog(g.config.interface + ": not shaped: " + problem);
        g.problem = problem;
    }
    for (const std::string& p : problems) ServiceLog(g.config.interface + ": " + p);
    // The kernel refused: tried again later, whatever events come.
    if (outcome == Outcome::Failed) Retry(g);
    // Waiting (no interface, a foreign qdisc): the next event tells.
}

void KernelBackend::Retry(Gateway& g) {
    g.backoff = g.backoff == Clock::duration{}
                    ? Clock::duration(kFirstRetry)
                    : std::min<Clock::duration>(2 * g.backoff, kMaxRetry);
    g.retryAt = system_.now() + g.backoff;
    g.due = g.retryAt;
}

void KernelBackend::Schedule(Gateway& g, Clock::duration delay) {
    Clock::time_point at = std::max(system_.now() + delay, g.retryAt);
    if (!g.due || at < *g.due) g.due = at;
}

void KernelBackend::OnEvent(const nlmsghdr* message) {
    // What the backend did itself it knows: only others' changes are news.
    if (system_.requestPort != 0 && message->nlmsg_pid == system_.requestPort) return;
    int index = 0;
    std::string name;
    switch (message->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK: {
            const auto* ifi =
                static_cast<const ifinfomsg*>(nl::FamilyHeader(message, sizeof(ifinfomsg)));
            if (ifi == nullptr) return;
            index = ifi->ifi_index;
            nl::ForEachAttribute(message, sizeof(ifinfomsg), [&name](const nlattr* attr) {
                if (nl::AttributeType(attr) == IFLA_IFNAME) name = nl::AttributeText(attr);
            });
            break;
        }
        case RTM_NEWQDISC:
        case RTM_DELQDISC:
        case RTM_DELTCLASS:
        case RTM_NEWTFILTER:
        case RTM_DELTFILTER: {
            // A class change is a limit set: it tells nothing new.
            const auto* tcm = static_cast<const tcmsg*>(nl::FamilyHeader(message, sizeof(tcmsg)));
            if (tcm == nullptr) return;
            index = tcm->tcm_ifindex;
            break;
        }
        default:
            return;
    }
    for (auto& g : gateways_) {
        bool ours = (index != 0 && (index == g->wanIndex || index == g->ifbIndex)) ||
                    (!name.empty() && (name == g->config.interface || name == g->ifbName));
        if (ours) Schedule(*g, kEventSettle);
    }
}

int KernelBackend::WatchFd() {
    return events_ ? events_->fd() : -1;
}

int KernelBackend::MsUntilWork() {
    if (!started_) return -1;
    Clock::time_point next = nextSweep_;
    for (auto& g : gateways_) {
        if (g->due && *g->due < next) next = *g->due;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - system_.now());
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void KernelBackend::Work() {
    if (!started_) return;
    if (events_) {
        bool complete = events_->Drain([this](const nlmsghdr* m) { OnEvent(m); });
        if (!complete) {
            for (auto& g : gateways_) Schedule(*g, kEventSettle);  // events were lost
        }
    }
    Clock::time_point now = system_.now();
    if (now >= nextSweep_) {
        nextSweep_ = now + kSweepInterval;
        for (auto& g : gateways_) Schedule(*g, Clock::duration{});
    }
    const bool due = std::any_of(gateways_.begin(), gateways_.end(),
                                 [now](const auto& g) { return g->due && *g->due <= now; });
    if (!due) return;
    const Snapshot all = TakeSnapshot();
    for (auto& g : gateways_) {
        if (g->due && *g->due <= now) Reconcile(*g, all);
    }
}
}  // namespace corvane
