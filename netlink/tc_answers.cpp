// The parsers of the kernel's qdisc, class and filter answers, with their
// statistics, and the listings built on them.
#include "netlink/tc.h"

// netinet/in.h before the linux/ headers, so that those defer to glibc.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/gen_stats.h>
#include <linux/if_ether.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <linux/tc_act/tc_mirred.h>

#include <cstdio>

namespace nl::tc {
namespace {

void ReadStats(const nlattr* stats2, Stats* out) {
    nl::ForEachNested(stats2, [out](const nlattr* attr) {
        switch (nl::AttributeType(attr)) {
            case TCA_STATS_BASIC: {
                gnet_stats_basic basic;
                nl::ReadPayload(attr, &basic);
                out->bytes = basic.bytes;
                break;
            }
            case TCA_STATS_QUEUE: {
                gnet_stats_queue queue;
                nl::ReadPayload(attr, &queue);
                out->backlog = queue.backlog;
                out->drops = queue.drops;
                break;
            }
            default:
                break;
        }
    });
}

// The tcmsg of a tc answer of `type`, or nullptr.
const tcmsg* TcHeader(const nlmsghdr* message, uint16_t type) {
    if (message->nlmsg_type != type) return nullptr;
    return static_cast<const tcmsg*>(nl::FamilyHeader(message, sizeof(tcmsg)));
}

void ReadQdiscOptions(const nlattr* options, Qdisc* q) {
    if (q->kind == "bfifo" || q->kind == "pfifo") {
        tc_fifo_qopt fifo;
        nl::ReadPayload(options, &fifo);
        q->fifoLimit = fifo.limit;
    } else if (q->kind == "cake") {
        bool raw = false;
        int32_t overhead = 0;
        nl::ForEachNested(options, [&](const nlattr* attr) {
            uint32_t value = 0;
            switch (nl::AttributeType(attr)) {
                case TCA_CAKE_BASE_RATE64:
                    nl::ReadPayload(attr, &q->cakeRate);
                    break;
                case TCA_CAKE_INGRESS:
                    nl::ReadPayload(attr, &value);
                    q->cakeIngress = value != 0;
                    break;
                case TCA_CAKE_RAW:
                    raw = true;
                    break;
                case TCA_CAKE_OVERHEAD:
                    nl::ReadPayload(attr, &overhead);
                    break;
                case TCA_CAKE_MPU:
                    nl::ReadPayload(attr, &q->cakeFraming.mpu);
                    break;
                case TCA_CAKE_ATM:
                    nl::ReadPayload(attr, &value);
                    q->cakeFraming.linkLayer = value == CAKE_ATM_ATM   ? LinkLayer::Atm
                                               : value == CAKE_ATM_PTM ? LinkLayer::Ptm
                                                                       : LinkLayer::Ethernet;
                    break;
                default:
                    break;
            }
        });
        if (!raw) q->cakeFraming.overhead = overhead;
    } else if (q->kind == "htb") {
        nl::ForEachNested(options, [q](const nlattr* attr) {
            if (nl::AttributeType(attr) == TCA_HTB_INIT) {
                tc_htb_glob glob;
                nl::ReadPayload(attr, &glob);
                q->htbDefault = glob.defcls;
            }
        });
    }
}

void ReadHtbClassOptions(const nlattr* options, Class* c) {
    uint64_t rate64 = 0;
    uint64_t ceil64 = 0;
    nl::ForEachNested(options, [&](const nlattr* attr) {
        switch (nl::AttributeType(attr)) {
            case TCA_HTB_PARMS: {
                tc_htb_opt opt;
                nl::ReadPayload(attr, &opt);
                c->rateBytes = opt.rate.rate;
                c->ceilBytes = opt.ceil.rate;
                c->quantum = opt.quantum;
                c->overhead = opt.rate.overhead;
                c->mpu = opt.rate.mpu;
                c->atm = opt.rate.linklayer == TC_LINKLAYER_ATM;
                break;
            }
            case TCA_HTB_RATE64:
                nl::ReadPayload(attr, &rate64);
                break;
            case TCA_HTB_CEIL64:
                nl::ReadPayload(attr, &ceil64);
                break;
            default:
                break;
        }
    });
    if (rate64 != 0) c->rateBytes = rate64;
    if (ceil64 != 0) c->ceilBytes = ceil64;
}

// The device a filter's mirred action redirects to, and that action's cookie.
void ReadRedirect(const nlattr* actions, Filter* filter) {
    nl::ForEachNested(actions, [filter](const nlattr* action) {
        std::string kind;
        std::string cookie;
        const nlattr* options = nullptr;
        nl::ForEachNested(action, [&](const nlattr* attr) {
            if (nl::AttributeType(attr) == TCA_ACT_KIND) kind = nl::AttributeText(attr);
            if (nl::AttributeType(attr) == TCA_ACT_OPTIONS) options = attr;
            if (nl::AttributeType(attr) == TCA_ACT_COOKIE) {
                cookie.assign(static_cast<const char*>(nl::Payload(attr)), nl::PayloadLength(attr));
            }
        });
        if (kind != "mirred" || options == nullptr) return;
        nl::ForEachNested(options, [&](const nlattr* attr) {
            if (nl::AttributeType(attr) != TCA_MIRRED_PARMS) return;
            tc_mirred parms;
            nl::ReadPayload(attr, &parms);
            if (parms.eaction != TCA_EGRESS_REDIR) return;
            filter->redirectTo = static_cast<int>(parms.ifindex);
            filter->cookie = cookie;
        });
    });
}

template <typename T>
nl::Result List(nl::Transport& transport, nl::Message request, int ifindex,
                bool (*parse)(const nlmsghdr*, T*), std::vector<T>* out) {
    // A dump may list every device: only this one's are kept.
    return nl::DumpInto(
        transport, request,
        [&](const nlmsghdr* answer, T* item) {
            return parse(answer, item) && item->ifindex == ifindex;
        },
        out);
}

}  // namespace

bool ParseQdisc(const nlmsghdr* message, Qdisc* qdisc) {
    const tcmsg* tcm = TcHeader(message, RTM_NEWQDISC);
    if (tcm == nullptr) return false;
    *qdisc = Qdisc{};
    qdisc->ifindex = tcm->tcm_ifindex;
    qdisc->handle = tcm->tcm_handle;
    qdisc->parent = tcm->tcm_parent;
    const nlattr* options = nullptr;
    nl::ForEachAttribute(message, sizeof(tcmsg), [&](const nlattr* attr) {
        switch (nl::AttributeType(attr)) {
            case TCA_KIND:
                qdisc->kind = nl::AttributeText(attr);
                break;
            case TCA_OPTIONS:
                options = attr;
                break;
            case TCA_STATS2:
                ReadStats(attr, &qdisc->stats);
                break;
            default:
                break;
        }
    });
    // The options are read by kind, and the kind may come after them.
    if (options != nullptr) ReadQdiscOptions(options, qdisc);
    return true;
}

bool ParseClass(const nlmsghdr* message, Class* cls) {
    const tcmsg* tcm = TcHeader(message, RTM_NEWTCLASS);
    if (tcm == nullptr) return false;
    *cls = Class{};
    cls->ifindex = tcm->tcm_ifindex;
    cls->handle = tcm->tcm_handle;
    cls->parent = tcm->tcm_parent;
    const nlattr* options = nullptr;
    nl::ForEachAttribute(message, sizeof(tcmsg), [&](const nlattr* attr) {
        switch (nl::AttributeType(attr)) {
            case TCA_KIND:
                cls->kind = nl::AttributeText(attr);
                break;
            case TCA_OPTIONS:
                options = attr;
                break;
            case TCA_STATS2:
                ReadStats(attr, &cls->stats);
                break;
            default:
                break;
        }
    });
    if (options != nullptr && cls->kind == "htb") ReadHtbClassOptions(options, cls);
    return true;
}

bool ParseFilter(const nlmsghdr* message, Filter* filter) {
    const tcmsg* tcm = TcHeader(message, RTM_NEWTFILTER);
    if (tcm == nullptr) return false;
    *filter = Filter{};
    filter->ifindex = tcm->tcm_ifindex;
    filter->parent = tcm->tcm_parent;
    filter->handle = tcm->tcm_handle;
    filter->pref = static_cast<uint16_t>(tcm->tcm_info >> 16);
    filter->protocol = ntohs(static_cast<uint16_t>(tcm->tcm_info & 0xFFFF));
    const nlattr* options = nullptr;
    nl::ForEachAttribute(message, sizeof(tcmsg), [&](const nlattr* attr) {
        if (nl::AttributeType(attr) == TCA_KIND) filter->kind = nl::AttributeText(attr);
        if (nl::AttributeType(attr) == TCA_OPTIONS) options = attr;
    });
    if (options != nullptr && filter->kind == "u32") {
        nl::ForEachNested(options, [filter](const nlattr* attr) {
            if (nl::AttributeType(attr) == TCA_U32_ACT) ReadRedirect(attr, filter);
        });
    }
    return true;
}

nl::Result ListQdiscs(nl::Transport& transport, int ifindex, std::vector<Qdisc>* out) {
    return List(transport, DumpQdiscs(ifindex), ifindex, &ParseQdisc, out);
}

nl::Result ListAllQdiscs(nl::Transport& transport, std::vector<Qdisc>* out) {
    nl::Message request = DumpQdiscs(0);
    return nl::DumpInto(transport, request, &ParseQdisc, out);
}

nl::Result ListClasses(nl::Transport& transport, int ifindex, std::vector<Class>* out) {
    return List(transport, DumpClasses(ifindex), ifindex, &ParseClass, out);
}

nl::Result ListFilters(nl::Transport& transport, int ifindex, uint32_t parent,
                       std::vector<Filter>* out) {
    nl::Result r = List(transport, DumpFilters(ifindex, parent), ifindex, &ParseFilter, out);
    // A device without that parent has no filters to list.
    if (r.error == EINVAL || r.error == ENOENT) r = nl::Result{0, {}, r.what};
    return r;
}

std::string HandleText(uint32_t handle) {
    if (handle == kRootParent) return "root";
    char text[16];
    if ((handle & 0xFFFF) == 0) {
        std::snprintf(text, sizeof text, "%x:", handle >> 16);
    } else {
        std::snprintf(text, sizeof text, "%x:%x", handle >> 16, handle & 0xFFFF);
    }
    return text;
}

}  // namespace nl::tc
