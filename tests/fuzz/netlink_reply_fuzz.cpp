// Fuzzes the kernel backend's reading of netlink answers. The input is one
// receive buffer. The message walk is compared with a walk of its own (by
// the rules of netlink, in unsigned arithmetic); every message goes through
// the attribute walks with each family header the backend uses, the error
// reader, and the link, qdisc, class and filter parsers, each answer checked
// against the buffer's bounds.
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "netlink/links.h"
#include "netlink/netlink.h"
#include "netlink/tc.h"

namespace {

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
    std::string text = nl::AttributeText(attr);
    FUZZ_CHECK(text.size() <= nl::PayloadLength(attr) && text.find('\0') == std::string::npos);
    if (depth >= kMaxNesting) return;
    // Any attribute may be a nest: its children stay inside it.
    nl::ForEachNested(attr, [&](const nlattr* child) {
        CheckAttribute(child, at + kAttributeHeader, at + attr->nla_len, depth + 1);
    });
}

void CheckMessage(const nlmsghdr* message) {
    const auto* begin = reinterpret_cast<const uint8_t*>(message);
    const size_t payload = message->nlmsg_len - kMessageHeader;
    for (size_t header : {size_t{0}, sizeof(genlmsghdr), sizeof(ifinfomsg), sizeof(tcmsg)}) {
        nl::ForEachAttribute(message, header, [&](const nlattr* attr) {
            CheckAttribute(attr, begin + kMessageHeader + Align(header), begin + message->nlmsg_len,
                           1);
        });
    }

    int error = -1;
    std::string extack = "stale";
    if (nl::ParseError(message, &error, &extack)) {
        FUZZ_CHECK(error >= 0 && extack.size() < message->nlmsg_len);
    }
    nl::links::Link link;
    if (nl::links::ParseLink(message, &link)) {
        FUZZ_CHECK(link.name.size() + link.alias.size() + link.kind.size() < payload);
        FUZZ_CHECK(link.address.size() < payload);
    }
    tc::Qdisc qdisc;
    tc::ParseQdisc(message, &qdisc);
    FUZZ_CHECK(qdisc.kind.size() < message->nlmsg_len);
    tc::Class cls;
    tc::ParseClass(message, &cls);
    FUZZ_CHECK(cls.kind.size() < message->nlmsg_len);
    tc::Filter filter;
    tc::ParseFilter(message, &filter);
    FUZZ_CHECK(filter.kind.size() < message->nlmsg_len);
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
    return 0;
}
