// Captures real netlink answers as seeds for netlink_reply_fuzz: as root, in
// a network namespace of its own (so that no device of the machine is ever
// touched), it builds a veth pair, an IFB device and the shaper's tree with
// the backend's own requests, and writes each buffer the kernel answers into
// DIRECTORY (usage: sudo build/tests/fuzz/capture_netlink_seeds DIRECTORY).
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/ethtool_netlink.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "lab/net_requests.h"
#include "netlink/links.h"
#include "netlink/netlink.h"
#include "netlink/tc.h"

namespace {

namespace links = nl::links;
namespace tc = nl::tc;

std::string gDirectory;
uint32_t gSequence = 0;

int OpenNetlink(int protocol, int capAck) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
    int one = 1;
    ::setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
    ::setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &capAck, sizeof capAck);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    return fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 ? fd : -1;
}

// Sends the request and saves every buffer of its answer as NAME, NAME-2, ...
// (nothing for an empty name: the set-up's acknowledgements are all alike),
// handing each message to `each`; prints the error that ends the answer.
void Capture(int fd, nl::Message message, const std::string& name,
             const std::function<void(const nlmsghdr*)>& each = nullptr) {
    nlmsghdr* request = message.header();
    if ((request->nlmsg_flags & NLM_F_DUMP) != NLM_F_DUMP) request->nlmsg_flags |= NLM_F_ACK;
    request->nlmsg_seq = ++gSequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t received = ::sendto(fd, request, request->nlmsg_len, 0,
                                reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    std::vector<uint8_t> buffer(32768);  // the most the kernel fills into one receive
    int error = 0;
    bool done = false;
    for (int piece = 1; received >= 0 && !done; ++piece) {
        if ((received = ::recv(fd, buffer.data(), buffer.size(), 0)) < 0) break;
        if (!name.empty()) {
            std::ofstream(gDirectory + "/" + name + (piece == 1 ? "" : "-" + std::to_string(piece)),
                          std::ios::binary)
                .write(reinterpret_cast<const char*>(buffer.data()), received);
        }
        nl::ForEachMessage(buffer.data(), static_cast<size_t>(received), [&](const nlmsghdr* m) {
            std::string extack;
            if (m->nlmsg_type == NLMSG_ERROR) nl::ParseError(m, &error, &extack);
            done = done || m->nlmsg_type == NLMSG_ERROR || m->nlmsg_type == NLMSG_DONE;
            if (each) each(m);
        });
    }
    std::printf("%-26s %s\n", name.empty() ? "(set-up)" : name.c_str(),
                std::strerror(received < 0 ? errno : error));
}

int IndexOf(int fd, const char* name) {
    int index = 0;
    Capture(fd, links::GetLinkByName(name), "", [&index](const nlmsghdr* answer) {
        links::Link link;
        if (links::ParseLink(answer, &link)) index = link.index;
    });
    return index;
}

nl::Message Genl(uint16_t family, uint8_t command, uint8_t version, const char* what) {
    nl::Message m(family, 0, what);
    auto* genl = m.Body<genlmsghdr>();
    genl->cmd = command;
    genl->version = version;
    return m;
}

// The HTB root under a kind's name that the kernel lacks.
nl::Message UnknownKind(int wan) {
    nl::Message m = tc::HtbRoot(wan, tc::Mode::Replace, "fz0");
    nl::ForEachAttribute(m.header(), sizeof(tcmsg), [](const nlattr* attr) {
        if (nl::AttributeType(attr) == TCA_KIND && nl::PayloadLength(attr) >= 4) {
            std::memcpy(const_cast<void*>(nl::Payload(attr)), "zzz", 4);
        }
    });
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    gDirectory = argv[1];
    if (::unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET) (run as root)");
        return 1;
    }
    const int route = OpenNetlink(NETLINK_ROUTE, 1);
    const int echoing = OpenNetlink(NETLINK_ROUTE, 0);
    const int generic = OpenNetlink(NETLINK_GENERIC, 1);
    if (route < 0 || echoing < 0 || generic < 0) {
        std::perror("netlink socket");
        return 1;
    }

    Capture(route, links::SetLinkUp(1, true, "lo"), "ack");
    Capture(route, lab::NewVeth("fz0", "fz1", -1), "");
    Capture(echoing, lab::NewVeth("fz0", "fz1", -1), "error-echoed-request");
    Capture(route, links::NewIfb("fz-ifb", "sandrow fuzz seed", 1500), "");
    const int wan = IndexOf(route, "fz0");
    const int ifb = IndexOf(route, "fz-ifb");
    for (int index : {wan, IndexOf(route, "fz1"), ifb}) {
        Capture(route, links::SetLinkUp(index, true, "a seed device"), "");
    }

    Capture(route, links::GetLinkByName("fz0"), "link");
    Capture(route, links::GetLinkByIndex(ifb), "link-ifb");
    nl::Message linkDump(RTM_GETLINK, NLM_F_DUMP, "listing the links");
    linkDump.Body<ifinfomsg>()->ifi_family = AF_UNSPEC;
    Capture(route, std::move(linkDump), "link-dump");
    Capture(route, links::GetLinkByName("fz-none"), "error-no-device");

    const uint64_t rate = 1250000;  // 10 Mbit/s
    for (const nl::Message& setUp :
         {tc::HtbRoot(wan, tc::Mode::Create, "fz0"),
          tc::HtbClass(wan, rate, tc::Mode::Create, "fz0"),
          tc::BfifoLeaf(wan, tc::FifoBytes(rate), tc::Mode::Create, "fz0"),
          tc::IngressQdisc(wan, "fz0"), tc::RedirectFilter(wan, ifb, "fz0", "fz-ifb"),
          tc::HtbRoot(ifb, tc::Mode::Create, "fz-ifb"),
          tc::HtbClass(ifb, 5000000000ULL, tc::Mode::Create, "fz-ifb")}) {
        Capture(route, setUp, "");
    }
    Capture(route, tc::HtbRoot(wan, tc::Mode::Create, "fz0"), "error-exists-extack");
    Capture(route, UnknownKind(wan), "error-unknown-kind-extack");
    Capture(echoing, UnknownKind(wan), "error-unknown-kind-echoed");

    Capture(route, tc::DumpQdiscs(wan), "qdisc-dump");
    Capture(route, tc::DumpQdiscs(0), "qdisc-dump-all");
    Capture(route, tc::DumpClasses(wan), "class-dump");
    Capture(route, tc::DumpClasses(ifb), "class-dump-ifb");
    Capture(route, tc::DumpFilters(wan, tc::kIngressHook), "filter-dump");

    nl::Message family = Genl(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, 1, "finding the ethtool family");
    family.PutString(CTRL_ATTR_FAMILY_NAME, ETHTOOL_GENL_NAME);
    uint16_t ethtool = 0;
    Capture(generic, std::move(family), "ethtool-family", [&ethtool](const nlmsghdr* answer) {
        if (answer->nlmsg_type != GENL_ID_CTRL) return;
        nl::ForEachAttribute(answer, sizeof(genlmsghdr), [&ethtool](const nlattr* attr) {
            if (nl::AttributeType(attr) == CTRL_ATTR_FAMILY_ID) nl::ReadPayload(attr, &ethtool);
        });
    });
    if (ethtool != 0) {
        nl::Message speed = Genl(ethtool, ETHTOOL_MSG_LINKMODES_GET, ETHTOOL_GENL_VERSION,
                                 "reading the link speed of fz0");
        nlattr* header = speed.Nest(ETHTOOL_A_LINKMODES_HEADER);
        speed.PutU32(ETHTOOL_A_HEADER_DEV_INDEX, static_cast<uint32_t>(wan));
        speed.PutU32(ETHTOOL_A_HEADER_FLAGS, ETHTOOL_FLAG_COMPACT_BITSETS);
        speed.EndNest(header);
        Capture(generic, std::move(speed), "ethtool-linkmodes");
    }
    return 0;
}
