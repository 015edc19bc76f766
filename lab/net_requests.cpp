#include "lab/net_requests.h"

// netinet/in.h before the linux/ headers, so that those defer to glibc.
#include <netinet/in.h>
#include <sys/socket.h>

#include <linux/fib_rules.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>

#include <string>

namespace lab {

nl::Message NewVeth(std::string_view name, std::string_view peer, int peerNetnsFd,
                    uint32_t gsoMaxSegs) {
    nl::Message m(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL,
                  "creating the veth pair " + std::string(name) + "/" + std::string(peer));
    m.Body<ifinfomsg>()->ifi_family = AF_UNSPEC;
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

}  // namespace lab
