#include "service/kernel/plan.h"

#include <algorithm>

#include "service/kernel/ownership.h"

namespace corvane::plan {
namespace {

const char* RootKind(tc::Leaf leaf) {
    return leaf == tc::Leaf::Cake ? "cake" : "htb";
}

void Add(std::vector<Step>* steps, nl::Message message, bool change = true) {
    steps->push_back(Step{std::move(message), change});
}

// A root of ours from a run with another leaf goes: a kind cannot be
// changed in place.
const tc::Qdisc* DropRootOfOtherKind(const Device& d, const Shaper& s, std::vector<Step>* steps) {
    const tc::Qdisc* root = own::FindQdisc(d.qdiscs, tc::kRootParent);
    if (root != nullptr && root->handle == tc::kRootHandle && root->kind != RootKind(s.leaf)) {
        Add(steps, tc::DeleteQdisc(d.index, tc::kRootParent, tc::kRootHandle,
                                   "removing the " + root->kind + " qdisc of " + d.name));
        return nullptr;
    }
    return root;
}

void NewShaper(const Device& d, const Shaper& s, const tc::Qdisc* root, std::vector<Step>* steps) {
    // The kernel's default gives way by itself; a foreign one only to
    // Replace (the look let it pass: replace = yes).
    const tc::Mode mode = own::IsDefault(root) ? tc::Mode::Create : tc::Mode::Replace;
    if (s.leaf == tc::Leaf::Cake) {
        Add(steps, tc::LeafQdisc(d.index, s.leaf, s.rateBytes, s.ingress, mode, d.name, s.framing));
        return;
    }
    Add(steps, tc::HtbRoot(d.index, mode, d.name));
    Add(steps, tc::HtbClass(d.index, s.rateBytes, tc::Mode::Create, d.name, s.framing), false);
    Add(steps, tc::LeafQdisc(d.index, s.leaf, s.rateBytes, s.ingress, tc::Mode::Create, d.name),
        false);
}

void KeepCake(const Device& d, const Shaper& s, const tc::Qdisc& root, std::vector<Step>* steps) {
    // Cake reports no link header: its overhead counts from the packet.
    tc::Framing wanted = s.framing;
    wanted.headerBytes = 0;
    if (root.cakeRate == s.rateBytes && root.cakeFraming == wanted) return;
    Add(steps, tc::LeafQdisc(d.index, s.leaf, s.rateBytes, s.ingress, tc::Mode::Change, d.name,
                             s.framing));
}

void KeepHtb(const Device& d, const Shaper& s, std::vector<Step>* steps) {
    auto cls = std::find_if(d.classes.begin(), d.classes.end(),
                            [](const tc::Class& c) { return c.handle == tc::kClassHandle; });
    const uint64_t htbRate = tc::HtbRate(s.rateBytes, s.framing);
    if (cls == d.classes.end()) {
        Add(steps, tc::HtbClass(d.index, s.rateBytes, tc::Mode::Create, d.name, s.framing));
    } else if (cls->rateBytes != htbRate || cls->ceilBytes != htbRate ||
               cls->overhead != tc::HtbOverhead(s.framing) || cls->mpu != s.framing.mpu ||
               cls->atm != (s.framing.linkLayer == tc::LinkLayer::Atm)) {
        Add(steps, tc::HtbClass(d.index, s.rateBytes, tc::Mode::Change, d.name, s.framing));
    }
    const tc::Qdisc* leaf = own::FindQdiscByHandle(d.qdiscs, tc::kLeafHandle);
    if (leaf != nullptr &&
        (leaf->parent != tc::kClassHandle || leaf->kind != tc::LeafKind(s.leaf))) {
        Add(steps,
            tc::DeleteQdisc(d.index, leaf->parent, tc::kLeafHandle,
                            "removing the " + leaf->kind + " qdisc of " + d.name),
            false);
        leaf = nullptr;
    }
    if (leaf == nullptr) {
        Add(steps,
            tc::LeafQdisc(d.index, s.leaf, s.rateBytes, s.ingress, tc::Mode::Create, d.name));
    } else if (s.leaf == tc::Leaf::Bfifo && leaf->fifoLimit != tc::FifoBytes(s.rateBytes)) {
        Add(steps,
            tc::LeafQdisc(d.index, s.leaf, s.rateBytes, s.ingress, tc::Mode::Change, d.name));
    }
}

}  // namespace

bool NeedsClasses(const std::vector<tc::Qdisc>& qdiscs, tc::Leaf leaf) {
    const tc::Qdisc* root = own::FindQdisc(qdiscs, tc::kRootParent);
    return leaf != tc::Leaf::Cake && root != nullptr && root->handle == tc::kRootHandle &&
           root->kind == RootKind(leaf);
}

void ShaperSteps(const Device& device, const Shaper& shaper, std::vector<Step>* steps) {
    const tc::Qdisc* root = DropRootOfOtherKind(device, shaper, steps);
    if (root == nullptr || root->handle != tc::kRootHandle) {
        NewShaper(device, shaper, root, steps);
    } else if (shaper.leaf == tc::Leaf::Cake) {
        KeepCake(device, shaper, *root, steps);
    } else {
        KeepHtb(device, shaper, steps);
    }
}

void RedirectSteps(const Device& wan, const std::vector<tc::Filter>& filters, int ifbIndex,
                   const std::string& ifbName, std::vector<Step>* steps) {
    const tc::Qdisc* ingress = own::FindQdisc(wan.qdiscs, tc::kIngressParent);
    bool foreignIngress = false;
    // A foreign ingress qdisc is replaced (replace = yes: the look let it pass).
    if (ingress != nullptr && ingress->kind != "clsact" &&
        !own::OwnIngress(*ingress, filters, true)) {
        Add(steps, tc::DeleteQdisc(wan.index, tc::kIngressParent, ingress->handle,
                                   "removing the ingress qdisc of " + wan.name));
        foreignIngress = true;
    }
    if (ingress == nullptr || foreignIngress) Add(steps, tc::IngressQdisc(wan.index, wan.name));
    const std::vector<tc::Filter> none;
    const std::vector<tc::Filter>& left = foreignIngress ? none : filters;
    const bool redirected = std::any_of(left.begin(), left.end(), [ifbIndex](const tc::Filter& f) {
        return own::OurRedirect(f) && f.redirectTo == ifbIndex;
    });
    if (redirected) return;
    // A redirect to an IFB that was made anew points at nothing: replaced.
    if (std::any_of(left.begin(), left.end(),
                    [](const tc::Filter& f) { return f.pref == tc::kRedirectPref; })) {
        Add(steps, tc::DeleteFilters(wan.index, wan.name), false);
    }
    Add(steps, tc::RedirectFilter(wan.index, ifbIndex, wan.name, ifbName));
}

std::vector<Step> TreeSteps(const Tree& tree) {
    std::vector<Step> steps;
    ShaperSteps(tree.ifb, tree.download, &steps);
    RedirectSteps(tree.wan, tree.filters, tree.ifb.index, tree.ifb.name, &steps);
    ShaperSteps(tree.wan, tree.upload, &steps);
    return steps;
}

std::vector<nl::Message> RateSteps(int ifindex, const std::string& dev, const Shaper& s) {
    std::vector<nl::Message> steps;
    if (s.leaf == tc::Leaf::Cake) {
        steps.push_back(tc::LeafQdisc(ifindex, s.leaf, s.rateBytes, s.ingress, tc::Mode::Change,
                                      dev, s.framing));
        return steps;
    }
    steps.push_back(tc::HtbClass(ifindex, s.rateBytes, tc::Mode::Change, dev, s.framing));
    if (s.leaf == tc::Leaf::Bfifo) {
        steps.push_back(
            tc::LeafQdisc(ifindex, s.leaf, s.rateBytes, s.ingress, tc::Mode::Change, dev));
    }
    return steps;
}

}  // namespace corvane::plan
