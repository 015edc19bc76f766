// Network devices over rtnetlink: what the kernel says of a link (name, kind,
// alias, flags, counters), and the requests that create, change and delete
// the service's IFB devices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "netlink/netlink.h"

namespace nl::links {

struct Link {
    int index = 0;
    std::string name;
    std::string kind;   // "ifb", "veth", ...; empty for a device without link info
    std::string alias;  // IFLA_IFALIAS
    std::vector<uint8_t> address;
    uint32_t flags = 0;  // IFF_UP, IFF_LOWER_UP, ...
    uint16_t type = 0;   // ARPHRD_ETHER, ARPHRD_PPP, ...
    uint32_t mtu = 0;
    uint64_t txBytes = 0;  // what the device sent: an IFB's is what its shaper let through

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

}  // namespace nl::links
