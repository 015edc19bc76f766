// Link, address and route messages of rtnetlink, and the parser of the
// kernel's link answers.
#include "service/kernel/links.h"

// netinet/in.h before the other linux/ headers, so that those defer to
// glibc's definitions; linux/if.h rather than net/if.h for IFF_LOWER_UP.
#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/if.h>

#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane::links {
namespace {

void ReadLinkAttribute(const nlattr* attr, Link* link) {
    switch (nl::AttributeType(attr)) {
        case IFLA_IFNAME:
            link->name = nl::AttributeText(attr);
            break;
        case IFLA_IFALIAS:
            link->alias = nl::AttributeText(attr);
            break;
        case IFLA_ADDRESS: {
            const auto* p = static_cast<const uint8_t*>(nl::Payload(attr));
            link->address.assign(p, p + nl::PayloadLength(attr));
            break;
        }
        case IFLA_MTU:
            nl::ReadPayload(attr, &link->mtu);
            break;
        case IFLA_LINKINFO:
            nl::ForEachNested(attr, [link](const nlattr* info) {
                if (nl::AttributeType(info) == IFLA_INFO_KIND) link->kind = nl::AttributeText(info);
            });
            break;
        case IFLA_STATS64: {
            rtnl_link_stats64 stats;
            nl::ReadPayload(attr, &stats);
            link->rxBytes = stats.rx_bytes;
            link->txBytes = stats.tx_bytes;
            link->rxPackets = stats.rx_packets;
            link->txPackets = stats.tx_packets;
            link->rxDropped = stats.rx_dropped;
            link->txDropped = stats.tx_dropped;
            break;
        }
        default:
            break;
    }
}

nl::Message LinkRequest(uint16_t type, uint16_t flags, int index, std::string what) {
    nl::Message m(type, flags, std::move(what));
    auto* ifi = m.Body<ifinfomsg>();
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = index;
    return m;
}

nl::Result Find(nl::Transport& transport, nl::Message request, std::optional<Link>* link) {
    link->reset();
    nl::Result r = transport.Request(request, [link](const nlmsghdr* answer) {
        Link found;
        if (ParseLink(answer, &found)) *link = std::move(found);
    });
    // No such device: an answer, not a failure.
    if (r.error == ENODEV) r = nl::Result{0, {}, r.what};
    return r;
}

}  // namespace

bool Link::up() const {
    return (flags & IFF_UP) != 0;
}

bool Link::running() const {
    return (flags & IFF_UP) != 0 && (flags & IFF_LOWER_UP) != 0;
}

uint32_t Link::headerBytes() const {
    return type == ARPHRD_ETHER ? ETH_HLEN : 0;
}

bool ParseLink(const nlmsghdr* message, Link* link) {
    const auto* ifi = static_cast<const ifinfomsg*>(nl::FamilyHeader(message, sizeof(ifinfomsg)));
    if (message->nlmsg_type != RTM_NEWLINK || ifi == nullptr) return false;
    *link = Link{};
    link->index = ifi->ifi_index;
    link->flags = ifi->ifi_flags;
    link->type = ifi->ifi_type;
    nl::ForEachAttribute(message, sizeof(ifinfomsg),
                         [link](const nlattr* attr) { ReadLinkAttribute(attr, link); });
    return true;
}

std::string MacText(const std::vector<uint8_t>& address) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : address) {
        if (!text.empty()) text.push_back('-');
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0xF]);
    }
    return text;
}

nl::Result ListLinks(nl::Transport& transport, std::vector<Link>* links) {
    nl::Message request = LinkRequest(RTM_GETLINK, NLM_F_DUMP, 0, "listing the links");
    return nl::DumpInto(transport, request, &ParseLink, links);
}

nl::Message GetLinkByName(std::string_view name) {
    nl::Message m = LinkRequest(RTM_GETLINK, 0, 0, "reading the link " + std::string(name));
    m.PutString(IFLA_IFNAME, name);
    return m;
}

nl::Message GetLinkByIndex(int index) {
    return LinkRequest(RTM_GETLINK, 0, index, "reading the link #" + std::to_string(index));
}

nl::Message NewIfb(std::string_view name, std::string_view alias, uint32_t mtu) {
    nl::Message m = LinkRequest(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, 0,
                                "creating the IFB device " + std::string(name));
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_get_payload(m.header()));
    ifi->ifi_flags = IFF_UP;
    ifi->ifi_change = IFF_UP;
    m.PutString(IFLA_IFNAME, name);
    m.PutString(IFLA_IFALIAS, alias);
    if (mtu != 0) m.PutU32(IFLA_MTU, mtu);
    nlattr* info = m.Nest(IFLA_LINKINFO);
    m.PutString(IFLA_INFO_KIND, "ifb");
    m.EndNest(info);
    return m;
}

nl::Message SetLinkUp(int index, bool up, std::string_view name) {
    nl::Message m =
        LinkRequest(RTM_NEWLINK, 0, index,
                    std::string(up ? "bringing up " : "bringing down ") + std::string(name));
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_get_payload(m.header()));
    ifi->ifi_flags = up ? IFF_UP : 0;
    ifi->ifi_change = IFF_UP;
    return m;
}

nl::Message SetAlias(int index, std::string_view alias, std::string_view name) {
    nl::Message m = LinkRequest(RTM_NEWLINK, 0, index, "setting the alias of " + std::string(name));
    m.PutString(IFLA_IFALIAS, alias);
    return m;
}

nl::Message DeleteLink(int index, std::string_view name) {
    return LinkRequest(RTM_DELLINK, 0, index, "deleting the device " + std::string(name));
}

nl::Result FindLink(nl::Transport& transport, std::string_view name, std::optional<Link>* link) {
    return Find(transport, GetLinkByName(name), link);
}

nl::Result FindLinkByIndex(nl::Transport& transport, int index, std::optional<Link>* link) {
    return Find(transport, GetLinkByIndex(index), link);
}

nl::Message NewVeth(std::string_view name, std::string_view peer, int peerNetnsFd,
                    uint32_t gsoMaxSegs) {
    nl::Message m =
        LinkRequest(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, 0,
                    "creating the veth pair " + std::string(name) + "/" + std::string(peer));
    m.PutString(IFLA_IFNAME, name);
    if (gsoMaxSegs != 0) m.PutU32(IFLA_GSO_MAX_SEGS, gsoMaxSegs);
    nlattr* info = m.Nest(IFLA_LINKINFO);
    m.PutString(IFLA_INFO_KIND, "veth");
    nlattr* data = m.Nest(IFLA_INFO_DATA);
    nlattr* peerInfo = m.Nest(VETH_INFO_PEER);
    // The peer's attributes follow an ifinfomsg of its own, inside the nest.
    m.Body<ifinfomsg>()->ifi_family = AF_UNSPEC;
    m.PutString(IFLA_IFNAME, peer);
    if (peerNetnsFd >= 0) m.PutU32(IFLA_NET_NS_FD, static_cast<uint32_t>(peerNetnsFd));
    if (gsoMaxSegs != 0) m.PutU32(IFLA_GSO_MAX_SEGS, gsoMaxSegs);
    m.EndNest(peerInfo);
    m.EndNest(data);
    m.EndNest(info);
    return m;
}

nl::Message AddAddress(int index, uint32_t address, int prefix) {
    nl::Message m(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL,
                  "adding an address to the link #" + std::to_string(index));
    auto* ifa = m.Body<ifaddrmsg>();
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = static_cast<uint8_t>(prefix);
    ifa->ifa_index = static_cast<uint32_t>(index);
    m.PutU32(IFA_LOCAL, address);
    m.PutU32(IFA_ADDRESS, address);
    return m;
}

nl::Message AddRoute(uint32_t destination, int prefix, uint32_t gateway, int index, uint32_t metric,
                     uint8_t table) {
    nl::Message m(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, "adding a route");
    auto* rtm = m.Body<rtmsg>();
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = static_cast<uint8_t>(prefix);
    rtm->rtm_table = table != 0 ? table : static_cast<uint8_t>(RT_TABLE_MAIN);
    rtm->rtm_protocol = RTPROT_BOOT;
    rtm->rtm_scope = gateway != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
    rtm->rtm_type = RTN_UNICAST;
    if (prefix > 0) m.PutU32(RTA_DST, destination);
    if (gateway != 0) m.PutU32(RTA_GATEWAY, gateway);
    m.PutU32(RTA_OIF, static_cast<uint32_t>(index));
    if (metric != 0) m.PutU32(RTA_PRIORITY, metric);
    return m;
}

nl::Message AddSourceRule(uint32_t source, uint8_t table) {
    nl::Message m(RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL,
                  "adding a rule for table " + std::to_string(table));
    auto* rule = m.Body<fib_rule_hdr>();
    rule->family = AF_INET;
    rule->src_len = 32;
    rule->table = table;
    rule->action = FR_ACT_TO_TBL;
    m.PutU32(FRA_SRC, source);
    return m;
}

}  // namespace corvane::links
