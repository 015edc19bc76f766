// Network devices over rtnetlink: what the kernel says of a link (name, kind,
// alias, flags, counters), the requests that create, change and delete one,
// and the address and route requests that the lab and the tests build their
// networks with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/netlink.h"

namespace corvane {
namespace nl = ::platform::nl;
}  // namespace corvane

namespace corvane::links {

struct Link {
    int index = 0;
    std::string name;
    std::string kind;   // "ifb", "veth", ...; empty for a device without link info
    std::string alias;  // IFLA_IFALIAS
    std::vector<uint8_t> address;
    uint32_t flags = 0;  // IFF_UP, IFF_LOWER_UP, ...
    uint16_t type = 0;   // ARPHRD_ETHER, ARPHRD_PPP, ...
    uint32_t mtu = 0;
    uint64_t rxBytes = 0;
    uint64_t txBytes = 0;
    uint64_t rxPackets = 0;
    uint64_t txPackets = 0;
    uint64_t rxDropped = 0;
    uint64_t txDropped = 0;

    bool up() const;       // administratively up
    bool running() const;  // up with a carrier
    // The link header the kernel counts in each packet of the device: an
    // Ethernet frame's 14 bytes; none on PPP, tunnels and raw-IP modems.
    uint32_t headerBytes() const;
};

// An RTM_NEWLINK message into *link; false when it is not one or is cut short.
bool ParseLink(const nlmsghdr* message, Link* link);

// "02-00-5e-10-00-01": the service's way of writing a hardware address.
std::string MacText(const std::vector<uint8_t>& address);

nl::Message GetLinkByName(std::string_view name);
nl::Message GetLinkByIndex(int index);
// An IFB device, up, with our alias and the MTU of the link it serves.
nl::Message NewIfb(std::string_view name, std::string_view alias, uint32_t mtu);
nl::Message SetLinkUp(int index, bool up, std::string_view name);
nl::Message SetAlias(int index, std::string_view alias, std::string_view name);
nl::Message DeleteLink(int index, std::string_view name);

// The link of that name (index), or nullopt when there is none; a failure
// of the request itself is the result.
nl::Result FindLink(nl::Transport& transport, std::string_view name, std::optional<Link>* link);
nl::Result FindLinkByIndex(nl::Transport& transport, int index, std::optional<Link>* link);
// Every link of the namespace.
nl::Result ListLinks(nl::Transport& transport, std::vector<Link>* links);

// For the lab and the tests: a veth pair whose peer is created straight in
// the network namespace of `peerNetnsFd` (-1: this one). A `gsoMaxSegs` of 1
// makes TCP send wire-sized packets over it, as over a real line.
nl::Message NewVeth(std::string_view name, std::string_view peer, int peerNetnsFd,
                    uint32_t gsoMaxSegs = 0);
// IPv4 addresses and prefixes, addresses in network byte order.
nl::Message AddAddress(int index, uint32_t address, int prefix);
// A route of the main table (or of `table`); a zero gateway is a route
// without a next hop; a metric of 0 leaves the kernel's default.
nl::Message AddRoute(uint32_t destination, int prefix, uint32_t gateway, int index,
                     uint32_t metric = 0, uint8_t table = 0);
// A policy rule: what comes from `source` (one address) is routed by `table`.
nl::Message AddSourceRule(uint32_t source, uint8_t table);

}  // namespace corvane::links
