// Link, address and route messages of rtnetlink, and the parser of the
// kernel's link answers.
#include "netlink/links.h"

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

namespace nl::links {
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
            link->txBytes = stats.tx_bytes;
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

}  // namespace nl::links
