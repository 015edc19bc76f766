// The requests that make a gateway's shaping tree what it must be, planned
// from what a look found. Planning is pure, so that every decision can be
// tested without a kernel; the backend sends the steps in order and stops at
// the first the kernel refuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netlink/tc.h"

namespace corvane {
namespace tc = ::nl::tc;
}  // namespace corvane

namespace corvane::plan {

struct Step {
    nl::Message message;
    // Counted as a change of the tree (a repair, in the log). Removing a
    // stale entry right before its new one is not counted again, nor are the
    // class and leaf that come with a new root.
    bool change = true;
};

// One device of the tree, as the look found it.
struct Device {
    int index = 0;
    std::string name;
    std::vector<tc::Qdisc> qdiscs;
    std::vector<tc::Class> classes;  // needed only where NeedsClasses says so
};

// The shaper a device must carry.
struct Shaper {
    tc::Leaf leaf = tc::Leaf::Bfifo;
    tc::Framing framing;
    uint64_t rateBytes = 0;
    bool ingress = false;  // the IFB's: what cake drops there counts against its rate
};

// Whether a device's classes must be read before planning its shaper: our
// HTB root stands and its class is kept, or changed in place.
bool NeedsClasses(const std::vector<tc::Qdisc>& qdiscs, tc::Leaf leaf);

// The root qdisc, class and leaf queue of one device.
void ShaperSteps(const Device& device, const Shaper& shaper, std::vector<Step>* steps);

// The WAN's ingress qdisc (a clsact stays, with whatever else it holds) and
// the filter that redirects its packets to the IFB. `filters` are those on
// the WAN's ingress hook.
void RedirectSteps(const Device& wan, const std::vector<tc::Filter>& filters, int ifbIndex,
                   const std::string& ifbName, std::vector<Step>* steps);

// A whole tree, once its IFB exists and is up: the download shaper on the
// IFB, the redirect, and the upload shaper at the WAN's root.
struct Tree {
    Device ifb;
    Device wan;
    std::vector<tc::Filter> filters;  // the WAN's, on its ingress hook
    Shaper download;
    Shaper upload;
};
std::vector<Step> TreeSteps(const Tree& tree);

// A new limit on a whole tree, changed in place so that the queue and the
// packets in it stay: cake's rate, or HTB's class (and a bfifo's size).
std::vector<nl::Message> RateSteps(int ifindex, const std::string& dev, const Shaper& shaper);

}  // namespace corvane::plan
