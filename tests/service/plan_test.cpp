// The kernel backend's plan, without a kernel: what a look found and the
// limits wanted in, the requests that make the tree whole out, in order.
#include <gtest/gtest.h>

#include <functional>

#include "service/kernel/plan.h"

namespace {

namespace tc = nl::tc;
namespace plan = corvane::plan;

constexpr int kWan = 2;
constexpr int kIfb = 3;
constexpr uint64_t kDown = 20000000 / 8;
constexpr uint64_t kUp = 4000000 / 8;

tc::Qdisc Qdisc(const char* kind, uint32_t handle, uint32_t parent) {
    tc::Qdisc q;
    q.kind = kind;
    q.handle = handle;
    q.parent = parent;
    return q;
}

// A device carrying our whole shaper at `rate`.
void Shaped(plan::Device* d, const plan::Shaper& s) {
    if (s.leaf == tc::Leaf::Cake) {
        tc::Qdisc cake = Qdisc("cake", tc::kRootHandle, tc::kRootParent);
        cake.cakeRate = s.rateBytes;
        d->qdiscs.push_back(cake);
        return;
    }
    d->qdiscs.push_back(Qdisc("htb", tc::kRootHandle, tc::kRootParent));
    tc::Qdisc leaf = Qdisc(tc::LeafKind(s.leaf), tc::kLeafHandle, tc::kClassHandle);
    leaf.fifoLimit = tc::FifoBytes(s.rateBytes);
    d->qdiscs.push_back(leaf);
    tc::Class c;
    c.handle = tc::kClassHandle;
    c.rateBytes = c.ceilBytes = tc::HtbRate(s.rateBytes, s.framing);
    d->classes.push_back(c);
}

tc::Filter Redirect(int to, std::string_view cookie = tc::kRedirectCookie) {
    tc::Filter f;
    f.pref = tc::kRedirectPref;
    f.kind = "u32";
    f.handle = 0x800800;
    f.redirectTo = to;
    f.cookie = cookie;
    return f;
}

plan::Tree Empty(tc::Leaf leaf) {
    plan::Tree t;
    t.ifb = {kIfb, "cvn-wan0", {}, {}};
    t.wan = {kWan, "wan0", {}, {}};
    t.download = {leaf, {}, kDown, true};
    t.upload = {leaf, {}, kUp, false};
    return t;
}

// Our whole tree, as a look finds it after a start.
plan::Tree Whole(tc::Leaf leaf) {
    plan::Tree t = Empty(leaf);
    Shaped(&t.ifb, t.download);
    Shaped(&t.wan, t.upload);
    t.wan.qdiscs.push_back(Qdisc("ingress", tc::kIngressHandle, tc::kIngressParent));
    t.filters.push_back(Redirect(kIfb));
    return t;
}

// One line a step; the steps that are not counted as changes say so.
std::string Show(const std::vector<plan::Step>& steps) {
    std::string text;
    for (const plan::Step& s : steps) {
        text += s.message.what() + (s.change ? "" : " (not counted)") + "\n";
    }
    return text;
}

TEST(KernelPlan, BuildsKeepsAndRepairsTheTreeFromWhatTheLookFound) {
    struct Row {
        const char* what;
        std::function<plan::Tree()> found;
        std::string steps;
    };
    const std::string redirect =
        "adding the ingress qdisc of wan0\nadding the filter that redirects wan0 to cvn-wan0\n";
    const Row rows[] = {
        {"nothing yet, HTB", [] { return Empty(tc::Leaf::FqCodel); },
         "adding the htb qdisc of cvn-wan0\n"
         "adding the htb class of cvn-wan0 at 20000000 bps (not counted)\n"
         "adding the fq_codel qdisc of cvn-wan0 (not counted)\n" +
             redirect +
             "adding the htb qdisc of wan0\n"
             "adding the htb class of wan0 at 4000000 bps (not counted)\n"
             "adding the fq_codel qdisc of wan0 (not counted)\n"},
        {"nothing yet, cake", [] { return Empty(tc::Leaf::Cake); },
         "adding the cake qdisc of cvn-wan0\n" + redirect + "adding the cake qdisc of wan0\n"},
        {"whole, bfifo", [] { return Whole(tc::Leaf::Bfifo); }, ""},
        {"whole, cake", [] { return Whole(tc::Leaf::Cake); }, ""},
        {"a new download limit",
         [] {
             plan::Tree t = Whole(tc::Leaf::Bfifo);
             t.download.rateBytes = kDown / 2;
             return t;
         },
         "changing the htb class of cvn-wan0 at 10000000 bps\n"
         "changing the bfifo qdisc of cvn-wan0\n"},
        {"a new framing, cake",
         [] {
             plan::Tree t = Whole(tc::Leaf::Cake);
             t.download.framing.overhead = 34;
             return t;
         },
         "changing the cake qdisc of cvn-wan0\n"},
        {"the class gone",
         [] {
             plan::Tree t = Whole(tc::Leaf::FqCodel);
             t.ifb.classes.clear();
             return t;
         },
         "adding the htb class of cvn-wan0 at 20000000 bps\n"},
        {"another leaf, or one out of its place",
         [] {
             plan::Tree t = Whole(tc::Leaf::FqCodel);
             t.ifb.qdiscs[1].kind = "sfq";
             t.wan.qdiscs[1].parent = tc::kRootHandle;
             return t;
         },
         "removing the sfq qdisc of cvn-wan0 (not counted)\n"
         "adding the fq_codel qdisc of cvn-wan0\n"
         "removing the fq_codel qdisc of wan0 (not counted)\n"
         "adding the fq_codel qdisc of wan0\n"},
        {"our root of another run's kind",
         [] {
             plan::Tree t = Whole(tc::Leaf::FqCodel);
             t.download.leaf = t.upload.leaf = tc::Leaf::Cake;
             return t;
         },
         "removing the htb qdisc of cvn-wan0\nadding the cake qdisc of cvn-wan0\n"
         "removing the htb qdisc of wan0\nadding the cake qdisc of wan0\n"},
        {"a foreign root and ingress (replace = yes)",
         [] {
             plan::Tree t = Empty(tc::Leaf::Cake);
             t.wan.qdiscs = {Qdisc("fq", 0x10000, tc::kRootParent),
                             Qdisc("ingress", tc::kIngressHandle, tc::kIngressParent)};
             t.filters = {Redirect(kIfb, "another-tool")};
             return t;
         },
         "adding the cake qdisc of cvn-wan0\nremoving the ingress qdisc of wan0\n" + redirect +
             "replacing the cake qdisc of wan0\n"},
        {"the kernel's default root",
         [] {
             plan::Tree t = Whole(tc::Leaf::Cake);
             t.wan.qdiscs[0] = Qdisc("mq", 0, tc::kRootParent);
             return t;
         },
         "adding the cake qdisc of wan0\n"},
        {"a clsact with others' filters, and our redirect to an IFB made anew",
         [] {
             plan::Tree t = Whole(tc::Leaf::Cake);
             t.wan.qdiscs[1].kind = "clsact";
             tc::Filter bpf;
             bpf.pref = 1;
             bpf.kind = "bpf";
             t.filters = {bpf, Redirect(kIfb + 10)};
             return t;
         },
         "deleting the redirect filter of wan0 (not counted)\n"
         "adding the filter that redirects wan0 to cvn-wan0\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(Show(plan::TreeSteps(r.found())), r.steps);
    }
}

}  // namespace
