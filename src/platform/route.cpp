// The interface and IPv4 route tables over rtnetlink (libmnl): one short-lived
// netlink socket per call, answers read until the kernel says the dump is done.
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
#include <new>
#include <optional>

#include "platform/eintr.h"

namespace platform {
namespace {

RouteSource* gRouteSource = nullptr;

// The kernel answers at once; this only bounds a wedged socket.
constexpr time_t kReplyTimeoutSecs = 5;
// The kernel never builds a dump message larger than 32 KiB for a reader
// whose buffer is this large, so nothing is ever cut off.
constexpr size_t kReceiveBufferBytes = 32768;

// One rtnetlink socket: sends one request and runs a callback over its answers.
class Netlink {
  public:
    Netlink() = default;
    ~Netlink() {
        if (nl_ != nullptr) mnl_socket_close(nl_);
    }
    Netlink(const Netlink&) = delete;
    Netlink& operator=(const Netlink&) = delete;

    int Open() {
        nl_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
        if (nl_ == nullptr) return errno;
        timeval timeout{kReplyTimeoutSecs, 0};
        ::setsockopt(mnl_socket_get_fd(nl_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (mnl_socket_bind(nl_, 0, MNL_SOCKET_AUTOPID) < 0) return errno;
        portId_ = mnl_socket_get_portid(nl_);
        return 0;
    }

    // 0 once the dump is done or the request acknowledged, else the errno of
    // the kernel's error answer or of the socket.
    int Exchange(nlmsghdr* request, mnl_cb_t callback, void* data) {
        request->nlmsg_seq = ++sequence_;
        ssize_t sent = platform::RetryOnEintr(
            [&] { return mnl_socket_sendto(nl_, request, request->nlmsg_len); });
        if (sent < 0) return errno;
        std::vector<char> buffer(kReceiveBufferBytes);
        for (;;) {
            ssize_t received = platform::RetryOnEintr(
                [&] { return mnl_socket_recvfrom(nl_, buffer.data(), buffer.size()); });
            if (received < 0) return errno == EAGAIN ? ETIMEDOUT : errno;
            errno = 0;
            int run = mnl_cb_run(buffer.data(), static_cast<size_t>(received), sequence_, portId_,
                                 callback, data);
            if (run == MNL_CB_ERROR) return errno != 0 ? errno : EIO;
            if (run == MNL_CB_STOP) return 0;
        }
    }

  private:
    mnl_socket* nl_ = nullptr;
    unsigned int portId_ = 0;
    unsigned int sequence_ = 0;
};

// Builds a request in a stack buffer large enough for a route and its attributes.
class Request {
  public:
    Request(uint16_t type, uint16_t flags) {
        nlh_ = mnl_nlmsg_put_header(buffer_);
        nlh_->nlmsg_type = type;
        nlh_->nlmsg_flags = flags;
    }
    nlmsghdr* header() { return nlh_; }
    template <typename T>
    T* PutBody() {
        return static_cast<T*>(mnl_nlmsg_put_extra_header(nlh_, sizeof(T)));
    }

  private:
    alignas(nlmsghdr) char buffer_[512];
    nlmsghdr* nlh_;
};

int RunRequest(Request& request, mnl_cb_t callback, void* data) {
    Netlink netlink;
    int error = netlink.Open();
    if (error != 0) return error;
    return netlink.Exchange(request.header(), callback, data);
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

int OnLink(const nlmsghdr* nlh, void* data) {
    if (nlh->nlmsg_type != RTM_NEWLINK) return MNL_CB_OK;
    const auto* ifi = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
    IfRow row{};
    row.index = static_cast<uint32_t>(ifi->ifi_index);
    mnl_attr_parse(nlh, sizeof(ifinfomsg), OnLinkAttribute, &row);
    static_cast<std::vector<IfRow>*>(data)->push_back(row);
    return MNL_CB_OK;
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

int OnLinkFamilies(const nlmsghdr* nlh, void* data) {
    if (nlh->nlmsg_type != RTM_NEWLINK) return MNL_CB_OK;
    static_cast<LinkFamilies*>(data)->found = true;
    mnl_attr_parse(nlh, sizeof(ifinfomsg), OnLinkFamilyAttribute, data);
    return MNL_CB_OK;
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
    if (nlh->nlmsg_type != RTM_NEWROUTE) return std::nullopt;
    KernelRoute route;
    route.rtm = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(nlh));
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

int OnRouteForMetric(const nlmsghdr* nlh, void* data) {
    auto* query = static_cast<DefaultMetricQuery*>(data);
    std::optional<KernelRoute> route = ParseMainRoute(nlh);
    if (!route || route->rtm->rtm_dst_len != 0) return MNL_CB_OK;
    ForEachNextHop(*route, [&](uint32_t /*gateway*/, uint32_t oif) {
        if (oif != query->ifIndex) return;
        if (!query->lowest || route->priority < *query->lowest) query->lowest = route->priority;
    });
    return MNL_CB_OK;
}

uint32_t MaskOfPrefix(uint8_t prefix) {
    if (prefix == 0) return 0;
    return htonl(prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
}

int OnRouteRow(const nlmsghdr* nlh, void* data) {
    auto* table = static_cast<std::vector<IpForwardRow>*>(data);
    std::optional<KernelRoute> route = ParseMainRoute(nlh);
    if (!route) return MNL_CB_OK;
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
    return MNL_CB_OK;
}

int ChangeRoute(uint16_t type, uint16_t flags, const IpForwardRow& row, uint8_t protocol,
                uint8_t scope, uint8_t routeType) {
    int prefix = PrefixLengthOfMask(row.mask);
    if (prefix < 0) return EINVAL;
    Request request(type, static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags));
    auto* rtm = request.PutBody<rtmsg>();
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = static_cast<unsigned char>(prefix);
    rtm->rtm_table = RT_TABLE_MAIN;
    rtm->rtm_protocol = protocol;
    rtm->rtm_scope = scope;
    rtm->rtm_type = routeType;
    nlmsghdr* nlh = request.header();
    if (prefix > 0) mnl_attr_put_u32(nlh, RTA_DST, row.dest);
    if (row.nextHop != 0) mnl_attr_put_u32(nlh, RTA_GATEWAY, row.nextHop);
    if (row.ifIndex != 0) mnl_attr_put_u32(nlh, RTA_OIF, row.ifIndex);
    mnl_attr_put_u32(nlh, RTA_PRIORITY, row.metric1);
    return RunRequest(
        request, [](const nlmsghdr*, void*) { return MNL_CB_OK; }, nullptr);
}

// ---- the kernel's answers ----

int KernelGetIfTable(std::vector<IfRow>* table) {
    std::vector<IfRow> rows;
    Request request(RTM_GETLINK, NLM_F_REQUEST | NLM_F_DUMP);
    request.PutBody<ifinfomsg>()->ifi_family = AF_UNSPEC;
    int error = RunRequest(request, OnLink, &rows);
    if (error == 0) *table = std::move(rows);
    return error;
}

int KernelGetIpInterfaceEntry(IpInterfaceEntry* entry) {
    if (entry->family != AddressFamily::Inet && entry->family != AddressFamily::Inet6) {
        return EINVAL;
    }
    if (entry->interfaceIndex == 0 || entry->interfaceIndex > INT_MAX) return ENODEV;

    LinkFamilies families;
    Request linkRequest(RTM_GETLINK, NLM_F_REQUEST | NLM_F_ACK);
    auto* ifi = linkRequest.PutBody<ifinfomsg>();
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = static_cast<int>(entry->interfaceIndex);
    int error = RunRequest(linkRequest, OnLinkFamilies, &families);
    if (error != 0) return error;
    if (!families.found) return ENODEV;
    bool enabled = entry->family == AddressFamily::Inet ? families.inet : families.inet6;
    if (!enabled) return ENOENT;

    DefaultMetricQuery query{entry->interfaceIndex, std::nullopt};
    Request routeRequest(RTM_GETROUTE, NLM_F_REQUEST | NLM_F_DUMP);
    routeRequest.PutBody<rtmsg>()->rtm_family = AF_INET;
    error = RunRequest(routeRequest, OnRouteForMetric, &query);
    if (error != 0) return error;
    entry->metric = query.lowest.value_or(0);
    return 0;
}

int KernelGetIpForwardTable(std::vector<IpForwardRow>* table) {
    std::vector<IpForwardRow> rows;
    Request request(RTM_GETROUTE, NLM_F_REQUEST | NLM_F_DUMP);
    request.PutBody<rtmsg>()->rtm_family = AF_INET;
    int error = RunRequest(request, OnRouteRow, &rows);
    if (error == 0) *table = std::move(rows);
    return error;
}

int KernelCreateIpForwardEntry(const IpForwardRow& row) {
    return ChangeRoute(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, row, kRouteProtoNetmgmt,
                       row.nextHop != 0 ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK, RTN_UNICAST);
}

int KernelDeleteIpForwardEntry(const IpForwardRow& row) {
    // Scope "nowhere" and type "unspecified" match any; protocol 0 matches any.
    return ChangeRoute(RTM_DELROUTE, 0, row, static_cast<uint8_t>(row.proto), RT_SCOPE_NOWHERE,
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
