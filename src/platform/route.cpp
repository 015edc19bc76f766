// The interface and IPv4 route tables over rtnetlink: one short-lived netlink
// socket per call, answers read until the kernel says the dump is done; libmnl
// walks the attributes.
#include "platform/route.h"

// netinet/in.h before the linux/ headers, so that linux/in6.h defers to glibc.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <libmnl/libmnl.h>
#include <linux/if_link.h>
#include <linux/ipv6.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <new>
#include <optional>

#include "netlink/netlink.h"

namespace platform {
namespace {

RouteSource* gRouteSource = nullptr;

// The protocol number of the routes sandrow makes ("sandrow" in
// rt_protos.d), told apart from an administrator's ("boot", 3) so that a
// route a crashed run left behind can be found and removed.
constexpr uint8_t kSandrowRouteProtocol = 83;

// One request on a fresh rtnetlink socket; a dump runs again when a change
// interrupted it, `restart` dropping what was gathered. 0 or an errno.
int RunRequest(
    nl::Message& request, const nl::OnMessage& each, const std::function<void()>& restart = [] {}) {
    nl::Socket socket;
    if (int error = socket.Open(NETLINK_ROUTE); error != 0) return error;
    const bool dump = (request.header()->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    return (dump ? nl::Dump(socket, request, each, restart) : socket.Request(request, each)).error;
}

// ---- links ----

int OnLinkAttribute(const nlattr* attr, void* data) {
    auto* row = static_cast<IfRow*>(data);
    if (mnl_attr_get_type(attr) == IFLA_ADDRESS) {
        size_t length = std::min<size_t>(mnl_attr_get_payload_len(attr), kMaxPhysAddrLength);
        std::memcpy(row->physAddr, mnl_attr_get_payload(attr), length);
        row->physAddrLength = static_cast<uint32_t>(length);
    }
    return MNL_CB_OK;
}

void OnLink(const nlmsghdr* nlh, std::vector<IfRow>* rows) {
    const auto* ifi = static_cast<const ifinfomsg*>(nl::FamilyHeader(nlh, sizeof(ifinfomsg)));
    if (nlh->nlmsg_type != RTM_NEWLINK || ifi == nullptr) return;
    IfRow row{};
    row.index = static_cast<uint32_t>(ifi->ifi_index);
    mnl_attr_parse(nlh, sizeof(ifinfomsg), OnLinkAttribute, &row);
    rows->push_back(row);
}

// Which families a link has on, from its IFLA_AF_SPEC.
struct LinkFamilies {
    bool found = false;
    bool inet = false;
    bool inet6 = false;
};

int OnInet6Attribute(const nlattr* attr, void* data) {
    auto* families = static_cast<LinkFamilies*>(data);
    if (mnl_attr_get_type(attr) != IFLA_INET6_CONF) return MNL_CB_OK;
    // An array of s32 sysctl values indexed by DEVCONF_*.
    size_t count = mnl_attr_get_payload_len(attr) / sizeof(int32_t);
    if (count > DEVCONF_DISABLE_IPV6) {
        int32_t disabled;
        std::memcpy(&disabled,
                    static_cast<const char*>(mnl_attr_get_payload(attr)) +
                        DEVCONF_DISABLE_IPV6 * sizeof(int32_t),
                    sizeof disabled);
        if (disabled != 0) families->inet6 = false;
    }
    return MNL_CB_OK;
}

int OnAfSpecAttribute(const nlattr* attr, void* data) {
    auto* families = static_cast<LinkFamilies*>(data);
    switch (mnl_attr_get_type(attr)) {
        case AF_INET:
            families->inet = true;  // the link has an IPv4 device (absent below 68 bytes MTU)
            break;
        case AF_INET6:
            families->inet6 = true;
            mnl_attr_parse_nested(attr, OnInet6Attribute, data);
            break;
        default:
            break;
    }
    return MNL_CB_OK;
}

int OnLinkFamilyAttribute(const nlattr* attr, void* data) {
    if (mnl_attr_get_type(attr) == IFLA_AF_SPEC) {
        mnl_attr_parse_nested(attr, OnAfSpecAttribute, data);
    }
    return MNL_CB_OK;
}

void OnLinkFamilies(const nlmsghdr* nlh, LinkFamilies* families) {
    if (nlh->nlmsg_type != RTM_NEWLINK || nl::FamilyHeader(nlh, sizeof(ifinfomsg)) == nullptr) {
        return;
    }
    families->found = true;
    mnl_attr_parse(nlh, sizeof(ifinfomsg), OnLinkFamilyAttribute, families);
}

// ---- routes ----

// One IPv4 route of the main table as the kernel lists it.
struct KernelRoute {
    const rtmsg* rtm = nullptr;
    uint32_t table = 0;
    uint32_t dest = 0;
    uint32_t gateway = 0;
    uint32_t oif = 0;
    uint32_t priority = 0;
    const nlattr* multipath = nullptr;
};

int OnRouteAttribute(const nlattr* attr, void* data) {
    auto* route = static_cast<KernelRoute*>(data);
    switch (mnl_attr_get_type(attr)) {
        case RTA_TABLE:
            if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) route->table = mnl_attr_get_u32(attr);
            break;
        case RTA_DST:
            if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) route->dest = mnl_attr_get_u32(attr);
            break;
        case RTA_GATEWAY:
            if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) {
                route->gateway = mnl_attr_get_u32(attr);
            }
            break;
        case RTA_OIF:
            if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) route->oif = mnl_attr_get_u32(attr);
            break;
        case RTA_PRIORITY:
            if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) {
                route->priority = mnl_attr_get_u32(attr);
            }
            break;
        case RTA_MULTIPATH:
            route->multipath = attr;
            break;
        default:
            break;
    }
    return MNL_CB_OK;
}

// Parses an RTM_NEWROUTE; nullopt for routes other than unicast routes of the
// main table (local, broadcast, cached and unreachable ones).
std::optional<KernelRoute> ParseMainRoute(const nlmsghdr* nlh) {
    KernelRoute route;
    route.rtm = static_cast<const rtmsg*>(nl::FamilyHeader(nlh, sizeof(rtmsg)));
    if (nlh->nlmsg_type != RTM_NEWROUTE || route.rtm == nullptr) return std::nullopt;
    if (route.rtm->rtm_family != AF_INET || route.rtm->rtm_type != RTN_UNICAST ||
        (route.rtm->rtm_flags & RTM_F_CLONED) != 0) {
        return std::nullopt;
    }
    route.table = route.rtm->rtm_table;
    mnl_attr_parse(nlh, sizeof(rtmsg), OnRouteAttribute, &route);
    if (route.table != RT_TABLE_MAIN) return std::nullopt;
    return route;
}

// Calls f(gateway, ifindex) for each next hop: the route's own, or each of a
// multipath route.
template <typename F>
void ForEachNextHop(const KernelRoute& route, F f) {
    if (route.multipath == nullptr) {
        f(route.gateway, route.oif);
        return;
    }
    const char* at = static_cast<const char*>(mnl_attr_get_payload(route.multipath));
    size_t left = mnl_attr_get_payload_len(route.multipath);
    while (left >= sizeof(rtnexthop)) {
        rtnexthop hop;
        std::memcpy(&hop, at, sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > left) break;
        uint32_t gateway = 0;
        // The hop's own attributes follow its header.
        size_t attrOffset = RTNH_ALIGN(sizeof(rtnexthop));
        while (attrOffset + sizeof(nlattr) <= hop.rtnh_len) {
            nlattr attr;
            std::memcpy(&attr, at + attrOffset, sizeof attr);
            if (attr.nla_len < sizeof(nlattr) || attrOffset + attr.nla_len > hop.rtnh_len) break;
            if ((attr.nla_type & NLA_TYPE_MASK) == RTA_GATEWAY &&
                attr.nla_len >= sizeof(nlattr) + sizeof(uint32_t)) {
                std::memcpy(&gateway, at + attrOffset + sizeof(nlattr), sizeof gateway);
            }
            attrOffset += NLA_ALIGN(attr.nla_len);
        }
        f(gateway, static_cast<uint32_t>(hop.rtnh_ifindex));
        size_t step = std::min<size_t>(RTNH_ALIGN(hop.rtnh_len), left);
        at += step;
        left -= step;
    }
}

struct DefaultMetricQuery {
    uint32_t ifIndex;
    std::optional<uint32_t> lowest;
};

void OnRouteForMetric(const nlmsghdr* nlh, DefaultMetricQuery* query) {
    std::optional<KernelRoute> route = ParseMainRoute(nlh);
    // A default route: destination 0 and prefix 0 (0.0.0.0/1 is none).
    if (!route || route->rtm->rtm_dst_len != 0 || route->dest != 0) return;
    ForEachNextHop(*route, [&](uint32_t /*gateway*/, uint32_t oif) {
        if (oif != query->ifIndex) return;
        if (!query->lowest || route->priority < *query->lowest) query->lowest = route->priority;
    });
}

uint32_t MaskOfPrefix(uint8_t prefix) {
    if (prefix == 0) return 0;
    return htonl(prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
}

void OnRouteRow(const nlmsghdr* nlh, std::vector<IpForwardRow>* table) {
    std::optional<KernelRoute> route = ParseMainRoute(nlh);
    if (!route) return;
    ForEachNextHop(*route, [&](uint32_t gateway, uint32_t oif) {
        IpForwardRow row{};
        row.dest = route->dest;
        row.mask = MaskOfPrefix(route->rtm->rtm_dst_len);
        row.nextHop = gateway;
        row.ifIndex = oif;
        row.type = gateway != 0 ? 4 : 3;  // indirect : direct
        row.proto = route->rtm->rtm_protocol;
        row.metric1 = route->priority;
        row.metric2 = row.metric3 = row.metric4 = row.metric5 = kUnusedMetric;
        table->push_back(row);
    });
}

int ChangeRoute(uint16_t type, uint16_t flags, const IpForwardRow& row, uint8_t protocol,
                uint8_t scope, uint8_t routeType) {
    int prefix = PrefixLengthOfMask(row.mask);
    if (prefix < 0) return EINVAL;
    nl::Message request(type, flags, "changing a route");
    auto* rtm = request.Body<rtmsg>();
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = static_cast<unsigned char>(prefix);
    rtm->rtm_table = RT_TABLE_MAIN;
    rtm->rtm_protocol = protocol;
    rtm->rtm_scope = scope;
    rtm->rtm_type = routeType;
    if (prefix > 0) request.PutU32(RTA_DST, row.dest);
    if (row.nextHop != 0) request.PutU32(RTA_GATEWAY, row.nextHop);
    if (row.ifIndex != 0) request.PutU32(RTA_OIF, row.ifIndex);
    request.PutU32(RTA_PRIORITY, row.metric1);
    return RunRequest(request, nullptr);
}

// ---- the kernel's answers ----

int KernelGetIfTable(std::vector<IfRow>* table) {
    std::vector<IfRow> rows;
    nl::Message request(RTM_GETLINK, NLM_F_DUMP, "listing the links");
    request.Body<ifinfomsg>()->ifi_family = AF_UNSPEC;
    int error = RunRequest(
        request, [&](const nlmsghdr* nlh) { OnLink(nlh, &rows); }, [&] { rows.clear(); });
    if (error == 0) *table = std::move(rows);
    return error;
}

int KernelGetIpInterfaceEntry(IpInterfaceEntry* entry) {
    if (entry->family != AddressFamily::Inet && entry->family != AddressFamily::Inet6) {
        return EINVAL;
    }
    if (entry->interfaceIndex == 0 || entry->interfaceIndex > INT_MAX) return ENODEV;

    LinkFamilies families;
    nl::Message linkRequest(RTM_GETLINK, 0, "reading a link");
    auto* ifi = linkRequest.Body<ifinfomsg>();
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = static_cast<int>(entry->interfaceIndex);
    int error =
        RunRequest(linkRequest, [&](const nlmsghdr* nlh) { OnLinkFamilies(nlh, &families); });
    if (error != 0) return error;
    if (!families.found) return ENODEV;
    bool enabled = entry->family == AddressFamily::Inet ? families.inet : families.inet6;
    if (!enabled) return ENOENT;

    DefaultMetricQuery query{entry->interfaceIndex, std::nullopt};
    nl::Message routeRequest(RTM_GETROUTE, NLM_F_DUMP, "listing the routes");
    routeRequest.Body<rtmsg>()->rtm_family = AF_INET;
    error = RunRequest(
        routeRequest, [&](const nlmsghdr* nlh) { OnRouteForMetric(nlh, &query); },
        [&] { query.lowest.reset(); });
    if (error != 0) return error;
    entry->metric = query.lowest.value_or(0);
    return 0;
}

int KernelGetIpForwardTable(std::vector<IpForwardRow>* table) {
    std::vector<IpForwardRow> rows;
    nl::Message request(RTM_GETROUTE, NLM_F_DUMP, "listing the routes");
    request.Body<rtmsg>()->rtm_family = AF_INET;
    int error = RunRequest(
        request, [&](const nlmsghdr* nlh) { OnRouteRow(nlh, &rows); }, [&] { rows.clear(); });
    if (error == 0) *table = std::move(rows);
    return error;
}

// The row's protocol as the kernel keeps it: the administrator's number
// that the row says stands for sandrow's own.
uint8_t KernelProtocol(uint32_t proto) {
    return proto == kRouteProtoNetmgmt ? kSandrowRouteProtocol : static_cast<uint8_t>(proto);
}

int KernelCreateIpForwardEntry(const IpForwardRow& row) {
    return ChangeRoute(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, row, KernelProtocol(row.proto),
                       row.nextHop != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK, RTN_UNICAST);
}

int KernelDeleteIpForwardEntry(const IpForwardRow& row) {
    // Scope "nowhere" and type "unspecified" match any; protocol 0 matches any.
    return ChangeRoute(RTM_DELROUTE, 0, row, KernelProtocol(row.proto), RT_SCOPE_NOWHERE,
                       RTN_UNSPEC);
}

// Memory that runs out while a table is read or a request built is reported
// as ENOMEM, like every other failure: as a number.
template <typename F>
int NoThrow(F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

}  // namespace

int PrefixLengthOfMask(uint32_t mask) {
    uint32_t host = ntohl(mask);
    int prefix = 0;
    while (prefix < 32 && (host & (0x80000000u >> prefix)) != 0) ++prefix;
    // Every bit after the leading ones must be zero.
    uint32_t expected = prefix == 0 ? 0 : (prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
    return host == expected ? prefix : -1;
}

int GetIfTable(std::vector<IfRow>* table) {
    if (gRouteSource != nullptr) return gRouteSource->GetIfTable(table);
    return NoThrow([&] { return KernelGetIfTable(table); });
}

void InitializeIpInterfaceEntry(IpInterfaceEntry* entry) {
    *entry = IpInterfaceEntry{AddressFamily::Unspecified, 0, 0};
}

int GetIpInterfaceEntry(IpInterfaceEntry* entry) {
    if (gRouteSource != nullptr) return gRouteSource->GetIpInterfaceEntry(entry);
    return NoThrow([&] { return KernelGetIpInterfaceEntry(entry); });
}

int GetIpForwardTable(std::vector<IpForwardRow>* table) {
    if (gRouteSource != nullptr) return gRouteSource->GetIpForwardTable(table);
    return NoThrow([&] { return KernelGetIpForwardTable(table); });
}

int CreateIpForwardEntry(const IpForwardRow& row) {
    if (gRouteSource != nullptr) return gRouteSource->CreateIpForwardEntry(row);
    return NoThrow([&] { return KernelCreateIpForwardEntry(row); });
}

int DeleteIpForwardEntry(const IpForwardRow& row) {
    if (gRouteSource != nullptr) return gRouteSource->DeleteIpForwardEntry(row);
    return NoThrow([&] { return KernelDeleteIpForwardEntry(row); });
}

RouteAnswers ReadRouteAnswers(const void* data, size_t length, uint32_t ifIndex) {
    RouteAnswers answers;
    DefaultMetricQuery query{ifIndex, std::nullopt};
    LinkFamilies families;
    nl::ForEachMessage(data, length, [&](const nlmsghdr* nlh) {
        OnLink(nlh, &answers.links);
        OnLinkFamilies(nlh, &families);
        OnRouteRow(nlh, &answers.routes);
        OnRouteForMetric(nlh, &query);
    });
    answers.defaultMetric = query.lowest;
    return answers;
}

void RemoveLeftoverProbeRoutes() {
    std::vector<IpForwardRow> table;
    if (GetIpForwardTable(&table) != 0) return;
    for (const IpForwardRow& row : table) {
        if (row.proto == kSandrowRouteProtocol) DeleteIpForwardEntry(row);
    }
}

int RouteSource::GetIfTable(std::vector<IfRow>*) {
    return EOPNOTSUPP;
}
int RouteSource::GetIpInterfaceEntry(IpInterfaceEntry*) {
    return EOPNOTSUPP;
}
int RouteSource::GetIpForwardTable(std::vector<IpForwardRow>*) {
    return EOPNOTSUPP;
}
int RouteSource::CreateIpForwardEntry(const IpForwardRow&) {
    return EOPNOTSUPP;
}
int RouteSource::DeleteIpForwardEntry(const IpForwardRow&) {
    return EOPNOTSUPP;
}

void SetRouteSourceForTest(RouteSource* source) {
    gRouteSource = source;
}

}  // namespace platform
