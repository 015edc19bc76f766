// Fuzzes the kernel backend's reading of netlink answers. The input is one
// receive buffer. The message walk is compared with a walk of its own (by
// the rules of netlink, in unsigned arithmetic); every message goes through
// the attribute walks with each family header the backend uses, the error
// reader, and the link, qdisc, class and filter parsers, each answer checked
// against the buffer's bounds; the reads of the ethtool answers are done as
// ethtool.cpp does them. Then the lookups and listings (FindLink, ListQdiscs,
// ListClasses, ListFilters) run on a transport that answers with the buffer
// as the socket would, and must keep exactly what the messages say.
//
// ethtool.cpp and nl::Socket's receive loop read from a real socket only;
// what they do with the bytes is what is run here.
#include <linux/ethtool_netlink.h>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "netlink/links.h"
#include "netlink/netlink.h"
#include "netlink/tc.h"

namespace {

namespace links = nl::links;
namespace tc = nl::tc;

constexpr size_t kMessageHeader = sizeof(nlmsghdr);
constexpr size_t kAttributeHeader = NLA_HDRLEN;
constexpr int kMaxNesting = 4;
constexpr size_t kAnswerBytes = 32768;  // the kernel fills at most this much into one receive

uint64_t Align(uint64_t length) {
    return (length + NLMSG_ALIGNTO - 1) & ~uint64_t{NLMSG_ALIGNTO - 1};
}

// The offsets of the buffer's messages: each starts where the last one's
// aligned length ends and lies wholly inside the buffer. `whole`: the last
// one ends the buffer exactly.
std::vector<size_t> MessagesOf(const uint8_t* buffer, size_t length, bool* whole) {
    std::vector<size_t> offsets;
    uint64_t offset = 0;
    while (length - offset >= kMessageHeader) {
        nlmsghdr header;
        std::memcpy(&header, buffer + offset, sizeof header);
        if (header.nlmsg_len < kMessageHeader || header.nlmsg_len > length - offset) break;
        offsets.push_back(static_cast<size_t>(offset));
        offset += Align(header.nlmsg_len);
        if (offset > length) break;
    }
    *whole = offset == length;
    return offsets;
}

// Every attribute of the walk lies within [begin, end), its length covers
// its header, and its payload is what follows the header.
void CheckAttribute(const nlattr* attr, const uint8_t* begin, const uint8_t* end, int depth) {
    const auto* at = reinterpret_cast<const uint8_t*>(attr);
    FUZZ_CHECK(at >= begin && at + kAttributeHeader <= end);
    FUZZ_CHECK(attr->nla_len >= kAttributeHeader && at + attr->nla_len <= end);
    FUZZ_CHECK(nl::PayloadLength(attr) == attr->nla_len - kAttributeHeader);
    FUZZ_CHECK(nl::Payload(attr) == at + kAttributeHeader);
    FUZZ_CHECK(nl::AttributeType(attr) == (attr->nla_type & NLA_TYPE_MASK));
    std::string text = nl::AttributeText(attr);
    FUZZ_CHECK(text.size() <= nl::PayloadLength(attr) && text.find('\0') == std::string::npos);
    if (depth >= kMaxNesting) return;
    // Any attribute may be a nest: its children stay inside it.
    size_t children = 0;
    nl::ForEachNested(attr, [&](const nlattr* child) {
        FUZZ_CHECK(++children <= nl::PayloadLength(attr) / kAttributeHeader);
        CheckAttribute(child, at + kAttributeHeader, at + attr->nla_len, depth + 1);
    });
}

void CheckMessage(const nlmsghdr* message) {
    const auto* begin = reinterpret_cast<const uint8_t*>(message);
    const size_t payload = message->nlmsg_len - kMessageHeader;
    for (size_t header : {size_t{0}, sizeof(genlmsghdr), sizeof(ifinfomsg), sizeof(tcmsg)}) {
        size_t count = 0;
        nl::ForEachAttribute(message, header, [&](const nlattr* attr) {
            FUZZ_CHECK(++count <= message->nlmsg_len / kAttributeHeader);
            CheckAttribute(attr, begin + kMessageHeader + Align(header), begin + message->nlmsg_len,
                           1);
        });
        FUZZ_CHECK((nl::FamilyHeader(message, header) != nullptr) == (payload >= header));
    }

    int error = -1;
    std::string extack = "stale";
    bool isError = nl::ParseError(message, &error, &extack);
    FUZZ_CHECK(isError == (payload >= sizeof(nlmsgerr)));
    if (isError) FUZZ_CHECK(error >= 0 && extack.size() < message->nlmsg_len);

    links::Link link;
    bool isLink = links::ParseLink(message, &link);
    FUZZ_CHECK(isLink == (message->nlmsg_type == RTM_NEWLINK && payload >= sizeof(ifinfomsg)));
    if (isLink) {
        FUZZ_CHECK(link.name.size() + link.alias.size() + link.kind.size() < payload);
        FUZZ_CHECK(link.address.size() < payload);
        std::string mac = links::MacText(link.address);
        FUZZ_CHECK(mac.size() == (link.address.empty() ? 0 : 3 * link.address.size() - 1));
    }

    const bool tcSized = payload >= sizeof(tcmsg);
    tc::Qdisc qdisc;
    FUZZ_CHECK(tc::ParseQdisc(message, &qdisc) == (message->nlmsg_type == RTM_NEWQDISC && tcSized));
    FUZZ_CHECK(qdisc.kind.size() < message->nlmsg_len);
    FUZZ_CHECK(!tc::HandleText(qdisc.handle).empty() && !tc::HandleText(qdisc.parent).empty());
    tc::Class cls;
    FUZZ_CHECK(tc::ParseClass(message, &cls) == (message->nlmsg_type == RTM_NEWTCLASS && tcSized));
    FUZZ_CHECK(cls.kind.size() < message->nlmsg_len);
    tc::Filter filter;
    FUZZ_CHECK(tc::ParseFilter(message, &filter) ==
               (message->nlmsg_type == RTM_NEWTFILTER && tcSized));
    FUZZ_CHECK(filter.kind.size() < message->nlmsg_len);

    // The ethtool answers: the family's id, and a link's speed.
    uint16_t family = 0;
    uint32_t megabits = 0;
    nl::ForEachAttribute(message, sizeof(genlmsghdr), [&](const nlattr* attr) {
        if (nl::AttributeType(attr) == CTRL_ATTR_FAMILY_ID) nl::ReadPayload(attr, &family);
        if (nl::AttributeType(attr) == ETHTOOL_A_LINKMODES_SPEED) nl::ReadPayload(attr, &megabits);
    });
}

// Answers every request with the buffer, handling its messages as
// nl::Socket does: data messages go to the caller until an error, a done or
// an overrun ends the answer; a buffer that ends before that is all there
// was (the socket would wait and time out).
class BufferTransport : public nl::Transport {
  public:
    BufferTransport(const uint8_t* buffer, size_t length) : buffer_(buffer), length_(length) {}

    nl::Result Request(nl::Message& message, const nl::OnMessage& each) override {
        FUZZ_CHECK(message.complete());
        nl::Result result;
        result.what = message.what();
        bool done = false;
        bool whole = nl::ForEachMessage(buffer_, length_, [&](const nlmsghdr* answer) {
            if (done || answer->nlmsg_type == NLMSG_NOOP) return;
            done = answer->nlmsg_type == NLMSG_ERROR || answer->nlmsg_type == NLMSG_DONE ||
                   answer->nlmsg_type == NLMSG_OVERRUN;
            if (answer->nlmsg_type == NLMSG_ERROR &&
                !nl::ParseError(answer, &result.error, &result.extack)) {
                result.error = EPROTO;
            }
            if (answer->nlmsg_type == NLMSG_OVERRUN) result.error = EIO;
            if (!done && each) each(answer);
        });
        if (!done) result.error = whole ? ETIMEDOUT : EPROTO;
        return result;
    }

  private:
    const uint8_t* buffer_;
    size_t length_;
};

template <typename T>
size_t CountFor(const std::vector<const nlmsghdr*>& data, bool (*parse)(const nlmsghdr*, T*),
                int ifindex) {
    size_t count = 0;
    for (const nlmsghdr* message : data) {
        T item;
        if (parse(message, &item) && item.ifindex == ifindex) ++count;
    }
    return count;
}

void CheckTransport(const uint8_t* buffer, size_t length) {
    BufferTransport transport(buffer, length);
    // The data messages that the transport hands on.
    std::vector<const nlmsghdr*> data;
    nl::Message any(RTM_GETLINK, NLM_F_DUMP, "reading the buffer");
    transport.Request(any, [&data](const nlmsghdr* message) { data.push_back(message); });

    std::optional<links::Link> last;
    for (const nlmsghdr* message : data) {
        links::Link link;
        if (links::ParseLink(message, &link)) last = link;
    }
    std::optional<links::Link> found;
    nl::Result r = links::FindLink(transport, "eth0", &found);
    FUZZ_CHECK(r.error != ENODEV);
    FUZZ_CHECK(found.has_value() == last.has_value());
    if (found) FUZZ_CHECK(found->index == last->index && found->name == last->name);
    found.reset();
    links::FindLinkByIndex(transport, 1, &found);
    FUZZ_CHECK(found.has_value() == last.has_value());

    // The device listed is the one the first tc message names, so that the
    // filter by device keeps something.
    int ifindex = 1;
    for (const nlmsghdr* message : data) {
        if (const void* tcm = nl::FamilyHeader(message, sizeof(tcmsg))) {
            ifindex = static_cast<const tcmsg*>(tcm)->tcm_ifindex;
            break;
        }
    }
    std::vector<tc::Qdisc> qdiscs;
    tc::ListQdiscs(transport, ifindex, &qdiscs);
    FUZZ_CHECK(qdiscs.size() == CountFor(data, &tc::ParseQdisc, ifindex));
    for (const tc::Qdisc& q : qdiscs) FUZZ_CHECK(q.ifindex == ifindex);
    std::vector<tc::Class> classes;
    tc::ListClasses(transport, ifindex, &classes);
    FUZZ_CHECK(classes.size() == CountFor(data, &tc::ParseClass, ifindex));
    std::vector<tc::Filter> filters;
    r = tc::ListFilters(transport, ifindex, tc::kIngressHook, &filters);
    FUZZ_CHECK(r.error != EINVAL && r.error != ENOENT);
    FUZZ_CHECK(filters.size() == CountFor(data, &tc::ParseFilter, ifindex));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kAnswerBytes) return 0;
    // The socket's buffer is allocated, so aligned for the headers; so is this
    // copy.
    std::vector<uint32_t> words((size + 3) / 4);
    auto* buffer = reinterpret_cast<uint8_t*>(words.data());
    if (size > 0) std::memcpy(buffer, data, size);

    bool whole = false;
    const std::vector<size_t> offsets = MessagesOf(buffer, size, &whole);
    std::vector<size_t> walked;
    bool walkedWhole = nl::ForEachMessage(buffer, size, [&](const nlmsghdr* message) {
        // More messages than headers fit would be a walk that goes round.
        FUZZ_CHECK(walked.size() < size / kMessageHeader);
        walked.push_back(static_cast<size_t>(reinterpret_cast<const uint8_t*>(message) - buffer));
    });
    FUZZ_CHECK(walked == offsets && walkedWhole == whole);

    for (size_t offset : offsets) CheckMessage(reinterpret_cast<const nlmsghdr*>(buffer + offset));
    CheckTransport(buffer, size);
    return 0;
}
