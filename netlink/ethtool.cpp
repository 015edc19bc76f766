// ETHTOOL_MSG_LINKMODES_GET over generic netlink, after looking the family up.
#include "netlink/ethtool.h"

#include <linux/ethtool.h>
#include <linux/ethtool_netlink.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>

namespace nl::ethtool {
namespace {

constexpr int64_t kBitsPerMegabit = 1000000;

nl::Message GenlRequest(uint16_t family, uint8_t command, uint8_t version, std::string what) {
    nl::Message m(family, 0, std::move(what));
    auto* genl = m.Body<genlmsghdr>();
    genl->cmd = command;
    genl->version = version;
    return m;
}

}  // namespace

int LinkSpeeds::Open() {
    int error = socket_.Open(NETLINK_GENERIC);
    if (error != 0) return error;
    nl::Message m = GenlRequest(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, 1, "finding the ethtool family");
    m.PutString(CTRL_ATTR_FAMILY_NAME, ETHTOOL_GENL_NAME);
    nl::Result r = socket_.Request(m, [this](const nlmsghdr* answer) {
        nl::ForEachAttribute(answer, sizeof(genlmsghdr), [this](const nlattr* attr) {
            if (nl::AttributeType(attr) == CTRL_ATTR_FAMILY_ID) nl::ReadPayload(attr, &family_);
        });
    });
    if (!r.ok()) return r.error;
    return family_ != 0 ? 0 : ENOENT;
}

int64_t LinkSpeeds::SpeedBps(int ifindex) {
    if (family_ == 0) return 0;
    nl::Message m = GenlRequest(family_, ETHTOOL_MSG_LINKMODES_GET, ETHTOOL_GENL_VERSION,
                                "reading the link speed of the link #" + std::to_string(ifindex));
    nlattr* header = m.Nest(ETHTOOL_A_LINKMODES_HEADER);
    m.PutU32(ETHTOOL_A_HEADER_DEV_INDEX, static_cast<uint32_t>(ifindex));
    // Compact bit sets keep the answer small; only the speed is read.
    m.PutU32(ETHTOOL_A_HEADER_FLAGS, ETHTOOL_FLAG_COMPACT_BITSETS);
    m.EndNest(header);
    uint32_t megabits = SPEED_UNKNOWN;
    nl::Result r = socket_.Request(m, [&megabits](const nlmsghdr* answer) {
        nl::ForEachAttribute(answer, sizeof(genlmsghdr), [&megabits](const nlattr* attr) {
            if (nl::AttributeType(attr) == ETHTOOL_A_LINKMODES_SPEED) {
                nl::ReadPayload(attr, &megabits);
            }
        });
    });
    if (!r.ok() || megabits == static_cast<uint32_t>(SPEED_UNKNOWN) || megabits == 0) return 0;
    return static_cast<int64_t>(megabits) * kBitsPerMegabit;
}

}  // namespace nl::ethtool
