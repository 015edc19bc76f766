// A kernel in memory for the kernel backend's tree logic: tc objects kept as
// the requests that made them (request and answer share one layout), missing
// kinds, failures on demand, and a log of every request.
#pragma once

#include <linux/gen_stats.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "netlink/links.h"
#include "netlink/netlink.h"
#include "netlink/tc.h"

namespace kerneltest {

namespace tc = nl::tc;

inline constexpr const char* kMac = "02-00-00-00-00-01";

// A bare qdisc of `kind`, as another tool adds one.
inline nl::Message BareQdisc(int ifindex, uint32_t parent, uint32_t handle,
                             const std::string& kind) {
    nl::Message m(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, "adding a " + kind + " qdisc");
    auto* t = m.Body<tcmsg>();
    t->tcm_ifindex = ifindex;
    t->tcm_parent = parent;
    t->tcm_handle = handle;
    m.PutString(TCA_KIND, kind);
    return m;
}

class FakeKernel : public nl::Transport {
  public:
    struct Device {
        int index = 0;
        std::string name;
        std::string kind;
        std::string alias;
        uint32_t flags = 0;
        uint64_t txBytes = 0;  // what a link answer says it sent
    };
    struct Logged {
        uint16_t type = 0;
        uint16_t flags = 0;
        tc::Qdisc qdisc;  // for qdisc requests
        tc::Class cls;    // for class requests
    };

    FakeKernel() { AddDevice("wan0", "veth"); }

    int AddDevice(const std::string& name, const std::string& kind, const std::string& alias = "") {
        Device d{nextIndex_++, name, kind, alias, IFF_UP | IFF_LOWER_UP, 0};
        devices_[name] = d;
        return d.index;
    }
    void SetTxBytes(const std::string& name, uint64_t bytes) { devices_.at(name).txBytes = bytes; }
    // A device deleted (from outside), with everything on it.
    void RemoveDevice(const std::string& name) {
        const int index = devices_.at(name).index;
        devices_.erase(name);
        for (Store_t* s : {&qdiscs_, &classes_, &filters_}) {
            Erase(s, [&](const tcmsg* t) { return t->tcm_ifindex == index; });
        }
    }
    // TCA_STATS2 of qdisc dumps, by device index and handle.
    std::map<std::pair<int, uint32_t>, tc::Stats> qdiscStats;

    std::set<std::string> missingKinds;  // answered "Specified qdisc kind is unknown"
    bool noIfb = false;
    // Fails the request whose words contain this text (EPERM).
    std::string failWhen;
    std::vector<Logged> log;

    const std::map<std::string, Device>& devices() const { return devices_; }
    std::vector<tc::Qdisc> Qdiscs(int ifindex) const {
        return Parsed(qdiscs_, ifindex, &tc::ParseQdisc);
    }
    std::vector<tc::Class> Classes(int ifindex) const {
        return Parsed(classes_, ifindex, &tc::ParseClass);
    }
    int IndexOf(const std::string& name) const {
        auto it = devices_.find(name);
        return it == devices_.end() ? 0 : it->second.index;
    }
    size_t ObjectCount() const { return qdiscs_.size() + classes_.size() + filters_.size(); }

    nl::Result Request(nl::Message& message, const nl::OnMessage& given) override {
        const nl::OnMessage each = given ? given : [](const nlmsghdr*) {};
        nl::Result r;
        r.what = message.what();
        const nlmsghdr* h = message.header();
        Logged entry{h->nlmsg_type, h->nlmsg_flags, {}, {}};
        tc::ParseQdisc(h, &entry.qdisc);
        tc::ParseClass(h, &entry.cls);
        log.push_back(entry);
        if (!failWhen.empty() && message.what().find(failWhen) != std::string::npos)
            return Fail(r, EPERM);
        switch (h->nlmsg_type) {
            case RTM_GETLINK:
                return GetLink(h, each, r);
            case RTM_NEWLINK:
                return NewLink(h, r);
            case RTM_DELLINK:
                return DelLink(h, r);
            case RTM_NEWQDISC:
                return NewTc(&qdiscs_, h, message, r, true);
            case RTM_NEWTCLASS:
                return NewTc(&classes_, h, message, r, false);
            case RTM_NEWTFILTER: {
                // As u32 numbers it: the key node 800::800 of its table.
                std::vector<uint8_t> bytes = message.Bytes();
                auto* t = reinterpret_cast<tcmsg*>(bytes.data() + NLMSG_HDRLEN);
                if (t->tcm_handle == 0) t->tcm_handle = 0x80000800;
                filters_.push_back(std::move(bytes));
                return r;
            }
            case RTM_DELQDISC:
                return DelQdisc(h, r);
            case RTM_DELTFILTER: {
                auto* t = Tcm(h);
                Erase(&filters_, [&](const tcmsg* o) {
                    return o->tcm_ifindex == t->tcm_ifindex &&
                           o->tcm_info >> 16 == t->tcm_info >> 16;
                });
                return r;
            }
            case RTM_GETQDISC:
                return DumpQdiscs(each, r);
            case RTM_GETTCLASS:
                return Dump(classes_, each, r);
            case RTM_GETTFILTER:
                return Dump(filters_, each, r);
            default:
                return Fail(r, EOPNOTSUPP);
        }
    }

  private:
    using Store_t = std::vector<std::vector<uint8_t>>;

    static const tcmsg* Tcm(const nlmsghdr* h) {
        return static_cast<const tcmsg*>(nl::FamilyHeader(h, sizeof(tcmsg)));
    }
    static const nlmsghdr* Header(const std::vector<uint8_t>& bytes) {
        return reinterpret_cast<const nlmsghdr*>(bytes.data());
    }
    static const tcmsg* Tcm(const std::vector<uint8_t>& bytes) { return Tcm(Header(bytes)); }
    static nl::Result Fail(nl::Result r, int error, const char* extack = "") {
        r.error = error;
        r.extack = extack;
        return r;
    }
    static std::string Name(const nlmsghdr* h) {
        std::string name;
        nl::ForEachAttribute(h, sizeof(ifinfomsg), [&](const nlattr* a) {
            if (nl::AttributeType(a) == IFLA_IFNAME) name = nl::AttributeText(a);
        });
        return name;
    }
    static void Erase(Store_t* store, const std::function<bool(const tcmsg*)>& match) {
        std::erase_if(*store, [&](const std::vector<uint8_t>& b) { return match(Tcm(b)); });
    }
    template <typename T>
    static std::vector<T> Parsed(const Store_t& store, int ifindex,
                                 bool (*parse)(const nlmsghdr*, T*)) {
        std::vector<T> out;
        for (const auto& b : store) {
            T item;
            if (parse(Header(b), &item) && item.ifindex == ifindex) out.push_back(item);
        }
        return out;
    }
    static nl::Result Dump(const Store_t& store, const nl::OnMessage& each, nl::Result r) {
        for (const auto& b : store) each(Header(b));
        return r;
    }

    // Each qdisc as stored, with its statistics nested as the kernel does.
    nl::Result DumpQdiscs(const nl::OnMessage& each, nl::Result r) const {
        for (const auto& b : qdiscs_) {
            const tcmsg* t = Tcm(b);
            auto stats = qdiscStats.find({t->tcm_ifindex, t->tcm_handle});
            if (stats == qdiscStats.end()) {
                each(Header(b));
                continue;
            }
            gnet_stats_basic basic{stats->second.bytes, 0};
            gnet_stats_queue queue{0, stats->second.backlog, stats->second.drops, 0, 0};
            std::vector<uint8_t> bytes = b;
            auto put = [&bytes](uint16_t type, const void* data, size_t length) {
                nlattr a{static_cast<uint16_t>(NLA_HDRLEN + length), type};
                const auto* p = reinterpret_cast<const uint8_t*>(&a);
                bytes.insert(bytes.end(), p, p + NLA_HDRLEN);
                const auto* d = static_cast<const uint8_t*>(data);
                bytes.insert(bytes.end(), d, d + length);
                bytes.resize(NLA_ALIGN(bytes.size()));
            };
            const size_t nest = bytes.size();
            put(TCA_STATS2, nullptr, 0);
            put(TCA_STATS_BASIC, &basic, sizeof basic);
            put(TCA_STATS_QUEUE, &queue, sizeof queue);
            auto* outer = reinterpret_cast<nlattr*>(bytes.data() + nest);
            outer->nla_len = static_cast<uint16_t>(bytes.size() - nest);
            reinterpret_cast<nlmsghdr*>(bytes.data())->nlmsg_len =
                static_cast<uint32_t>(bytes.size());
            each(Header(bytes));
        }
        return r;
    }

    Device* Find(const nlmsghdr* h) {
        const auto* ifi = static_cast<const ifinfomsg*>(nl::FamilyHeader(h, sizeof(ifinfomsg)));
        const std::string name = Name(h);
        for (auto& [n, d] : devices_) {
            if ((ifi->ifi_index != 0 && d.index == ifi->ifi_index) || (!name.empty() && n == name))
                return &d;
        }
        return nullptr;
    }

    nl::Result GetLink(const nlmsghdr* h, const nl::OnMessage& each, nl::Result r) {
        if ((h->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP) {
            for (auto& [name, device] : devices_) Answer(device, each);
            return r;
        }
        Device* d = Find(h);
        if (d == nullptr) return Fail(r, ENODEV);
        Answer(*d, each);
        return r;
    }

    static void Answer(const Device& d, const nl::OnMessage& each) {
        nl::Message answer(RTM_NEWLINK, 0, "answer");
        auto* ifi = answer.Body<ifinfomsg>();
        ifi->ifi_index = d.index;
        ifi->ifi_type = ARPHRD_ETHER;
        ifi->ifi_flags = d.flags;
        answer.PutString(IFLA_IFNAME, d.name);
        if (!d.alias.empty()) answer.PutString(IFLA_IFALIAS, d.alias);
        nlattr* info = answer.Nest(IFLA_LINKINFO);
        answer.PutString(IFLA_INFO_KIND, d.kind);
        answer.EndNest(info);
        rtnl_link_stats64 stats{};
        stats.tx_bytes = d.txBytes;
        answer.PutBytes(IFLA_STATS64, &stats, sizeof stats);
        each(answer.header());
    }

    nl::Result NewLink(const nlmsghdr* h, nl::Result r) {
        if ((h->nlmsg_flags & NLM_F_CREATE) == 0) {
            Device* d = Find(h);
            if (d == nullptr) return Fail(r, ENODEV);
            const auto* ifi = static_cast<const ifinfomsg*>(nl::FamilyHeader(h, sizeof(ifinfomsg)));
            d->flags = (d->flags & ~ifi->ifi_change) | (ifi->ifi_flags & ifi->ifi_change);
            nl::ForEachAttribute(h, sizeof(ifinfomsg), [&](const nlattr* a) {
                if (nl::AttributeType(a) == IFLA_IFALIAS) d->alias = nl::AttributeText(a);
            });
            return r;
        }
        if (Find(h) != nullptr) return Fail(r, EEXIST);
        if (noIfb) return Fail(r, EOPNOTSUPP, "Unknown device type");
        AddDevice(Name(h), "ifb");  // like the kernel, it takes no alias at creation
        return r;
    }

    nl::Result DelLink(const nlmsghdr* h, nl::Result r) {
        Device* d = Find(h);
        if (d == nullptr) return Fail(r, ENODEV);
        RemoveDevice(std::string(d->name));
        return r;
    }

    nl::Result NewTc(Store_t* store, const nlmsghdr* h, const nl::Message& m, nl::Result r,
                     bool qdisc) {
        tc::Qdisc q;
        tc::Class c;
        std::string kind =
            qdisc ? (tc::ParseQdisc(h, &q), q.kind) : (tc::ParseClass(h, &c), c.kind);
        if (missingKinds.count(kind) != 0)
            return Fail(r, ENOENT, "Specified qdisc kind is unknown.");
        const tcmsg* t = Tcm(h);
        auto same = [&](const tcmsg* o) {
            return o->tcm_ifindex == t->tcm_ifindex && o->tcm_handle == t->tcm_handle;
        };
        bool exists = std::any_of(store->begin(), store->end(),
                                  [&](const std::vector<uint8_t>& b) { return same(Tcm(b)); });
        const bool create = (h->nlmsg_flags & NLM_F_CREATE) != 0;
        if (!create && !exists) return Fail(r, ENOENT);
        if (create && exists && (h->nlmsg_flags & NLM_F_EXCL) != 0) return Fail(r, EEXIST);
        Erase(store, same);
        if (qdisc) {
            // A qdisc grafted at a parent takes the place of the one there.
            Erase(store, [&](const tcmsg* o) {
                return o->tcm_ifindex == t->tcm_ifindex && o->tcm_parent == t->tcm_parent;
            });
        }
        store->push_back(m.Bytes());
        return r;
    }

    nl::Result DelQdisc(const nlmsghdr* h, nl::Result r) {
        const tcmsg* t = Tcm(h);
        size_t before = qdiscs_.size();
        const uint32_t major = t->tcm_handle & 0xFFFF0000;
        // Its children go with it (root and ingress are no one's children).
        auto child = [&](const tcmsg* o) {
            return o->tcm_parent != tc::kRootParent && o->tcm_parent != tc::kIngressParent &&
                   (o->tcm_parent & 0xFFFF0000) == major;
        };
        Erase(&qdiscs_, [&](const tcmsg* o) {
            return o->tcm_ifindex == t->tcm_ifindex && (o->tcm_handle == t->tcm_handle || child(o));
        });
        Erase(&classes_, [&](const tcmsg* o) {
            return o->tcm_ifindex == t->tcm_ifindex && (o->tcm_handle & 0xFFFF0000) == major;
        });
        if (t->tcm_parent == tc::kIngressParent) {
            Erase(&filters_, [&](const tcmsg* o) { return o->tcm_ifindex == t->tcm_ifindex; });
        }
        if (qdiscs_.size() == before) r.error = ENOENT;
        return r;
    }

    std::map<std::string, Device> devices_;
    int nextIndex_ = 2;
    Store_t qdiscs_;
    Store_t classes_;
    Store_t filters_;
};

}  // namespace kerneltest
