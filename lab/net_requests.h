// The requests the lab and the tests build their networks with: veth pairs
// between namespaces, addresses, routes and source rules. The shipped
// programs make none of these.
#pragma once

#include <cstdint>
#include <string_view>

#include "netlink/netlink.h"

namespace lab {

// A veth pair whose peer is created straight in
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

}  // namespace lab
