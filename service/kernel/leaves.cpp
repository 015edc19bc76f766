// Which leaf queues the kernel has, tried on a scratch device, and the
// leaf each gateway's tree gets.
#include <algorithm>

#include "service/kernel/gateway_state.h"
#include "service/kernel/ownership.h"

namespace corvane {

// The leaf kinds are tried on a scratch IFB device: a kernel without IFB or
// HTB cannot shape at all.
bool KernelBackend::DetectLeaves(std::string* error) {
    available_.clear();
    std::string problem;
    std::optional<links::Link> scratch;
    if (!Check(links::FindLink(t_, scratch_, &scratch), error)) return false;
    if (scratch) {
        if (scratch->kind != "ifb" ||
            (!scratch->alias.empty() && scratch->alias != own::kScratchAlias)) {
            *error = "a device named " + scratch_ + " exists that corvane-service did not create";
            return false;
        }
        Send(links::DeleteLink(scratch->index, scratch_), &problem);  // left by a crash
    }
    if (!Send(links::NewIfb(scratch_, own::kScratchAlias, 0), &problem)) {
        *error = "the kernel cannot make IFB devices (" + problem + ")";
        return false;
    }
    if (!Check(links::FindLink(t_, scratch_, &scratch), error)) return false;
    if (!scratch) {
        *error = "the IFB device " + scratch_ + " vanished after its creation";
        return false;
    }
    const int index = scratch->index;
    Send(links::SetAlias(index, own::kScratchAlias, scratch_), &problem);
    bool ok = true;
    if (Send(tc::LeafQdisc(index, tc::Leaf::Cake, 1, true, tc::Mode::Create, scratch_), &problem)) {
        available_.push_back(tc::Leaf::Cake);
        Send(tc::DeleteQdisc(index, tc::kRootParent, tc::kRootHandle, "removing the trial cake"),
             &problem);
    }
    if (!Send(tc::HtbRoot(index, tc::Mode::Create, scratch_), &problem) ||
        !Send(tc::HtbClass(index, 1000000, tc::Mode::Create, scratch_), &problem)) {
        *error = "the kernel has no HTB queueing discipline (" + problem + ")";
        ok = false;
    }
    for (tc::Leaf leaf : {tc::Leaf::FqCodel, tc::Leaf::Sfq, tc::Leaf::Bfifo}) {
        if (!ok) break;
        if (Send(tc::LeafQdisc(index, leaf, 1000000, true, tc::Mode::Create, scratch_), &problem)) {
            available_.push_back(leaf);
            Send(tc::DeleteQdisc(index, tc::kClassHandle, tc::kLeafHandle, "removing a trial leaf"),
                 &problem);
        }
    }
    std::string removal;
    if (!Send(links::DeleteLink(index, scratch_), &removal)) {
        ServiceLog("cannot remove the scratch device: " + removal);
    }
    if (!ok) return false;
    if (available_.empty()) {
        *error = "the kernel has none of the leaf queues cake, fq_codel, sfq and bfifo";
        return false;
    }
    return true;
}

// The best leaf the kernel has serves every gateway that names none; one
// that names a leaf the kernel lacks is an error of the configuration.
bool KernelBackend::ChooseLeaves(std::string* error) {
    if (!DetectLeaves(error)) return false;
    std::vector<std::string> missing;
    for (tc::Leaf leaf : tc::kLeavesByPreference) {
        if (std::find(available_.begin(), available_.end(), leaf) == available_.end()) {
            missing.push_back(tc::LeafKind(leaf));
        }
    }
    const tc::Leaf best = available_.front();
    std::string choice = std::string("leaf queue: ") + tc::LeafKind(best);
    if (!missing.empty()) {
        choice += " (the kernel has no";
        for (size_t i = 0; i < missing.size(); ++i) {
            choice += (i == 0 ? " " : i + 1 == missing.size() ? " or " : ", ") + missing[i];
        }
        choice += ")";
    }
    ServiceLog(choice);
    for (auto& g : gateways_) {
        g->leaf = g->config.leaf.value_or(best);
        if (std::find(available_.begin(), available_.end(), g->leaf) == available_.end()) {
            *error = configPath_ + ":" + std::to_string(g->config.line) +
                     ": leaf = " + tc::LeafKind(g->leaf) + " in " + g->Where() +
                     ", but the kernel has no " + tc::LeafKind(g->leaf);
            return false;
        }
    }
    return true;
}

}  // namespace corvane
