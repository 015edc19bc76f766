// The kernel's interface and IPv4 route tables, read and changed over rtnetlink:
// the stand-ins for the IP Helper calls that find an adapter and pin a route.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

// Every call answers 0 on success, else an errno number, small enough to
// print as is. The ones callers tell apart have names:
inline constexpr int kRouteNoMemory = ENOMEM;     // memory ran out
inline constexpr int kRouteExists = EEXIST;       // the route to add is there already
inline constexpr int kRouteNoSuchRoute = ESRCH;   // the route to delete is not there
inline constexpr int kRouteNotPermitted = EPERM;  // no right to change routes
inline constexpr int kRouteNoSuchLink = ENODEV;   // no interface of that index
inline constexpr int kRouteFamilyOff = ENOENT;    // the address family is off on it

// Linux hardware addresses are at most 32 bytes (MAX_ADDR_LEN).
inline constexpr size_t kMaxPhysAddrLength = 32;

// One link of the interface table.
struct IfRow {
    uint32_t index;                        // the kernel's ifindex
    uint32_t physAddrLength;               // bytes; 0 for links without one (tun, wireguard)
    uint8_t physAddr[kMaxPhysAddrLength];  // the hardware address, first physAddrLength bytes
};

// One row per link, in the kernel's order. Replaces *table.
int GetIfTable(std::vector<IfRow>* table);

// The families an IP-interface entry is asked for, with the numbers that the
// monitor's messages use (AF_INET 2, AF_INET6 23), not the Linux ones.
enum class AddressFamily : uint16_t { Unspecified = 0, Inet = 2, Inet6 = 23 };

// An interface's settings for one family.
struct IpInterfaceEntry {
    AddressFamily family;
    uint32_t interfaceIndex;
    uint32_t metric;  // out: lowest metric of the interface's IPv4 default routes, 0 when none
};

// Clears the entry before the caller fills in family and interfaceIndex.
void InitializeIpInterfaceEntry(IpInterfaceEntry* entry);

// Fills in the metric when the link exists and has the family enabled (for
// IPv6: not disabled on it). kRouteNoSuchLink when there is no such link,
// kRouteFamilyOff when the family is off on it, EINVAL for an unknown family.
int GetIpInterfaceEntry(IpInterfaceEntry* entry);

// One IPv4 route, laid out like the IP Helper route row. Addresses and masks
// are in network byte order (the address bytes in memory order).
struct IpForwardRow {
    uint32_t dest;
    uint32_t mask;  // contiguous; the prefix length is its count of leading ones
    uint32_t policy;
    uint32_t nextHop;  // 0 for a route without a gateway
    uint32_t ifIndex;
    uint32_t type;   // read: 4 with a next hop, 3 without
    uint32_t proto;  // the kernel's route protocol (3 = set by an administrator)
    uint32_t age;
    uint32_t nextHopAS;
    uint32_t metric1;  // the route's priority
    uint32_t metric2;
    uint32_t metric3;
    uint32_t metric4;
    uint32_t metric5;
};

inline constexpr uint32_t kRouteProtoNetmgmt = 3;
inline constexpr uint32_t kUnusedMetric = 0xFFFFFFFF;

// The IPv4 routes of the main table, in the kernel's order. Metrics 2 to 5
// are kUnusedMetric. Replaces *table.
int GetIpForwardTable(std::vector<IpForwardRow>* table);

// Adds exactly this route to the main table: dest/prefix via nextHop on
// ifIndex, priority = metric1; protocol 3 in the row is sandrow's own number
// (83) in the kernel, so that a route left by a crash can be told apart.
// kRouteExists when it exists, kRouteNotPermitted without the right to
// change routes, EINVAL for a non-contiguous mask.
int CreateIpForwardEntry(const IpForwardRow& row);

// Removes exactly that route (same destination, prefix, next hop, interface
// and priority). kRouteNoSuchRoute when there is none.
int DeleteIpForwardEntry(const IpForwardRow& row);

// Removes, without a word, every route of sandrow's own protocol from the
// main table: what is there was left by a run that did not end. Called at
// start-up before anything else touches the routes.
void RemoveLeftoverProbeRoutes();

// Prefix length of a network-order mask; -1 when the ones are not contiguous.
int PrefixLengthOfMask(uint32_t mask);

// What the readers of the kernel's answers make of one buffer of rtnetlink
// messages, as a dump returns them: the interface rows, the route rows, and
// the lowest metric of `ifIndex`'s default routes. For the fuzz target.
struct RouteAnswers {
    std::vector<IfRow> links;
    std::vector<IpForwardRow> routes;
    std::optional<uint32_t> defaultMetric;
};
RouteAnswers ReadRouteAnswers(const void* data, size_t length, uint32_t ifIndex);

// A replacement for the kernel's tables in tests. Operations that a fake does
// not override answer EOPNOTSUPP.
class RouteSource {
  public:
    virtual ~RouteSource() = default;
    virtual int GetIfTable(std::vector<IfRow>* table);
    virtual int GetIpInterfaceEntry(IpInterfaceEntry* entry);
    virtual int GetIpForwardTable(std::vector<IpForwardRow>* table);
    virtual int CreateIpForwardEntry(const IpForwardRow& row);
    virtual int DeleteIpForwardEntry(const IpForwardRow& row);
};

// nullptr restores the kernel. The source must outlive its installation.
void SetRouteSourceForTest(RouteSource* source);

}  // namespace platform
