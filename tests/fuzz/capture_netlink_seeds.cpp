// Captures real netlink answers as seeds for netlink_reply_fuzz: as root, in
// a network namespace of its own (made here, gone when the program ends, so
// that no device of the machine is ever touched), it builds a veth pair, an
// IFB device and the shaper's tree with the backend's own requests, then
// writes each buffer the kernel answers with into DIRECTORY: link answers
// and dumps, qdisc, class and filter dumps with their statistics,
// acknowledgements, errors with and without the echoed request, and the
// ethtool family and link-speed answers.
//   sudo build/tests/fuzz/capture_netlink_seeds tests/fuzz/seeds/netlink_reply_fuzz
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
#include <string>
#include <vector>

#include "lab/net_requests.h"
#include "netlink/links.h"
#include "netlink/netlink.h"
#include "netlink/tc.h"

namespace {

namespace links = nl::links;
namespace tc = nl::tc;

constexpr size_t kAnswerBytes = 32768;

std::string gDirectory;
uint32_t gSequence = 0;

int OpenNetlink(int protocol, bool capAck) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd < 0) return -1;
    int one = 1;
    int capped = capAck ? 1 : 0;
    ::setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
    ::setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &capped, sizeof capped);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Save(const std::string& name, const uint8_t* data, size_t length) {
    std::ofstream out(gDirectory + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
}

// Sends the request and saves every buffer of its answer as NAME, NAME-2,
// ... (nothing for an empty name: the set-up's acknowledgements are all
// alike); the last message's error (0 for an acknowledgement or a dump's end).
int Capture(int fd, nl::Message& message, const std::string& name) {
    nlmsghdr* request = message.header();
    const bool dump = (request->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    if (!dump) request->nlmsg_flags |= NLM_F_ACK;
    request->nlmsg_seq = ++gSequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        std::perror(name.c_str());
        return errno;
    }
    std::vector<uint8_t> buffer(kAnswerBytes);
    for (int piece = 1;; ++piece) {
        ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (received < 0) {
            std::perror(name.c_str());
            return errno;
        }
        if (!name.empty()) {
            Save(piece == 1 ? name : name + "-" + std::to_string(piece), buffer.data(),
                 static_cast<size_t>(received));
        }
        int error = 0;
        bool done = false;
        nl::ForEachMessage(buffer.data(), static_cast<size_t>(received),
                           [&](const nlmsghdr* answer) {
                               if (answer->nlmsg_type == NLMSG_DONE) done = true;
                               if (answer->nlmsg_type == NLMSG_ERROR) {
                                   std::string extack;
                                   nl::ParseError(answer, &error, &extack);
                                   done = true;
                               }
                           });
        if (done) {
            std::printf("%-26s %s\n", name.empty() ? "(set-up)" : name.c_str(),
                        error == 0 ? "ok" : std::strerror(error));
            return error;
        }
    }
}

int IndexOf(int fd, const char* name) {
    nl::Message m = links::GetLinkByName(name);
    nlmsghdr* request = m.header();
    request->nlmsg_seq = ++gSequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ::sendto(fd, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel);
    std::vector<uint8_t> buffer(kAnswerBytes);
    ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    int index = 0;
    if (received > 0) {
        nl::ForEachMessage(buffer.data(), static_cast<size_t>(received),
                           [&](const nlmsghdr* answer) {
                               links::Link link;
                               if (links::ParseLink(answer, &link)) index = link.index;
                           });
    }
    return index;
}

nl::Message Genl(uint16_t family, uint8_t command, uint8_t version, const char* what) {
    nl::Message m(family, 0, what);
    auto* genl = m.Body<genlmsghdr>();
    genl->cmd = command;
    genl->version = version;
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    gDirectory = argv[1];
    // A namespace of our own before any socket: nothing here reaches the
    // machine's devices.
    if (::unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET) (run as root)");
        return 1;
    }
    int route = OpenNetlink(NETLINK_ROUTE, true);
    int echoing = OpenNetlink(NETLINK_ROUTE, false);
    int generic = OpenNetlink(NETLINK_GENERIC, true);
    if (route < 0 || echoing < 0 || generic < 0) {
        std::perror("netlink socket");
        return 1;
    }

    nl::Message up = links::SetLinkUp(1, true, "lo");
    Capture(route, up, "ack");
    nl::Message veth = lab::NewVeth("fz0", "fz1", -1);
    Capture(route, veth, "");
    nl::Message again = lab::NewVeth("fz0", "fz1", -1);
    Capture(echoing, again, "error-echoed-request");
    nl::Message ifb = links::NewIfb("fz-ifb", "sandrow fuzz seed", 1500);
    Capture(route, ifb, "");
    const int wan = IndexOf(route, "fz0");
    const int ifbIndex = IndexOf(route, "fz-ifb");
    for (int index : {wan, IndexOf(route, "fz1"), ifbIndex}) {
        nl::Message m = links::SetLinkUp(index, true, "a seed device");
        Capture(route, m, "");
    }

    nl::Message link = links::GetLinkByName("fz0");
    Capture(route, link, "link");
    nl::Message ifbLink = links::GetLinkByIndex(ifbIndex);
    Capture(route, ifbLink, "link-ifb");
    nl::Message linkDump(RTM_GETLINK, NLM_F_DUMP, "listing the links");
    linkDump.Body<ifinfomsg>()->ifi_family = AF_UNSPEC;
    Capture(route, linkDump, "link-dump");
    nl::Message missing = links::GetLinkByName("fz-none");
    Capture(route, missing, "error-no-device");

    const uint64_t rate = 1250000;  // 10 Mbit/s
    nl::Message root = tc::HtbRoot(wan, tc::Mode::Create, "fz0");
    Capture(route, root, "");
    nl::Message cls = tc::HtbClass(wan, rate, tc::Mode::Create, "fz0");
    Capture(route, cls, "");
    nl::Message leaf = tc::BfifoLeaf(wan, tc::FifoBytes(rate), tc::Mode::Create, "fz0");
    Capture(route, leaf, "");
    nl::Message ingress = tc::IngressQdisc(wan, "fz0");
    Capture(route, ingress, "");
    nl::Message redirect = tc::RedirectFilter(wan, ifbIndex, "fz0", "fz-ifb");
    Capture(route, redirect, "");
    nl::Message ifbRoot = tc::HtbRoot(ifbIndex, tc::Mode::Create, "fz-ifb");
    Capture(route, ifbRoot, "");
    nl::Message ifbClass = tc::HtbClass(ifbIndex, 5000000000ULL, tc::Mode::Create, "fz-ifb");
    Capture(route, ifbClass, "");
    nl::Message duplicate = tc::HtbRoot(wan, tc::Mode::Create, "fz0");
    Capture(route, duplicate, "error-exists-extack");
    nl::Message unknown = tc::HtbRoot(wan, tc::Mode::Replace, "fz0");
    // The kind's name is the first attribute: make it one the kernel lacks.
    nl::ForEachAttribute(unknown.header(), sizeof(tcmsg), [](const nlattr* attr) {
        if (nl::AttributeType(attr) == TCA_KIND && nl::PayloadLength(attr) >= 4) {
            std::memcpy(const_cast<void*>(nl::Payload(attr)), "zzz", 4);
        }
    });
    Capture(route, unknown, "error-unknown-kind-extack");
    nl::Message unknownEchoed = tc::HtbRoot(wan, tc::Mode::Replace, "fz0");
    nl::ForEachAttribute(unknownEchoed.header(), sizeof(tcmsg), [](const nlattr* attr) {
        if (nl::AttributeType(attr) == TCA_KIND && nl::PayloadLength(attr) >= 4) {
            std::memcpy(const_cast<void*>(nl::Payload(attr)), "zzz", 4);
        }
    });
    Capture(echoing, unknownEchoed, "error-unknown-kind-echoed");

    nl::Message qdiscs = tc::DumpQdiscs(wan);
    Capture(route, qdiscs, "qdisc-dump");
    nl::Message allQdiscs = tc::DumpQdiscs(0);
    Capture(route, allQdiscs, "qdisc-dump-all");
    nl::Message classes = tc::DumpClasses(wan);
    Capture(route, classes, "class-dump");
    nl::Message ifbClasses = tc::DumpClasses(ifbIndex);
    Capture(route, ifbClasses, "class-dump-ifb");
    nl::Message filters = tc::DumpFilters(wan, tc::kIngressHook);
    Capture(route, filters, "filter-dump");

    nl::Message family = Genl(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, 1, "finding the ethtool family");
    family.PutString(CTRL_ATTR_FAMILY_NAME, ETHTOOL_GENL_NAME);
    Capture(generic, family, "ethtool-family");
    // The family's id is in the answer just saved.
    uint16_t ethtool = 0;
    {
        std::ifstream in(gDirectory + "/ethtool-family", std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::vector<uint32_t> words((bytes.size() + 3) / 4);
        std::memcpy(words.data(), bytes.data(), bytes.size());
        nl::ForEachMessage(words.data(), bytes.size(), [&](const nlmsghdr* answer) {
            nl::ForEachAttribute(answer, sizeof(genlmsghdr), [&](const nlattr* attr) {
                if (nl::AttributeType(attr) == CTRL_ATTR_FAMILY_ID) nl::ReadPayload(attr, &ethtool);
            });
        });
    }
    if (ethtool != 0) {
        nl::Message speed = Genl(ethtool, ETHTOOL_MSG_LINKMODES_GET, ETHTOOL_GENL_VERSION,
                                 "reading the link speed of fz0");
        nlattr* header = speed.Nest(ETHTOOL_A_LINKMODES_HEADER);
        speed.PutU32(ETHTOOL_A_HEADER_DEV_INDEX, static_cast<uint32_t>(wan));
        speed.PutU32(ETHTOOL_A_HEADER_FLAGS, ETHTOOL_FLAG_COMPACT_BITSETS);
        speed.EndNest(header);
        Capture(generic, speed, "ethtool-linkmodes");
    }
    return 0;
}
