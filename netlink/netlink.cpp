// Netlink requests, answers and events over plain AF_NETLINK sockets, with
// libmnl building and walking the messages.
#include "netlink/netlink.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <libmnl/libmnl.h>
#include <linux/netlink.h>

#include <cerrno>
#include <cstring>

namespace nl {
namespace {

// Calls `call` again while a signal interrupts it.
template <typename Call>
ssize_t Uninterrupted(Call call) {
    ssize_t result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Every request of the backend is far below this; a larger one is refused
// rather than cut.
constexpr size_t kRequestBytes = 4096;
// The kernel fills dump answers up to the reader's buffer, at most 32 KiB;
// a larger single answer (a link with many attributes) grows the buffer,
// up to a bound that no answer of the kernel reaches.
constexpr size_t kAnswerBytes = 32768;
constexpr size_t kMaxAnswerBytes = 1 << 20;
// An interrupted dump is run again this often before it counts as failed.
constexpr int kDumpTries = 3;
// The kernel answers at once; this only bounds a wedged socket.
constexpr time_t kAnswerTimeoutSecs = 5;
// Room for a burst of events (a whole tree rebuilt at once).
constexpr int kEventBufferBytes = 1 << 20;

int OnErrorAttribute(const nlattr* attr, void* data) {
    if (mnl_attr_type_valid(attr, NLMSGERR_ATTR_MAX) < 0) return MNL_CB_OK;
    if (mnl_attr_get_type(attr) == NLMSGERR_ATTR_MSG &&
        mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) == 0) {
        *static_cast<std::string*>(data) = mnl_attr_get_str(attr);
    }
    return MNL_CB_OK;
}

// One datagram from `peer` into `buffer`, grown to its size first. Its
// length, or -1 with errno: that of recv (EAGAIN when nothing waits or the
// time-out passed), or EMSGSIZE for one larger than kMaxAnswerBytes, which
// is read away. Datagrams of any other sender are dropped: any local
// process may send to a netlink port, and only the kernel is believed.
ssize_t ReceiveFrom(int fd, uint32_t peer, std::vector<uint8_t>& buffer, int flags) {
    for (;;) {
        ssize_t size =
            Uninterrupted([&] { return ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | flags); });
        if (size < 0) return -1;
        if (static_cast<size_t>(size) > kMaxAnswerBytes) {
            Uninterrupted([&] { return ::recv(fd, buffer.data(), 0, flags); });
            errno = EMSGSIZE;
            return -1;
        }
        if (static_cast<size_t>(size) > buffer.size()) buffer.resize(static_cast<size_t>(size));
        sockaddr_nl from{};
        socklen_t length = sizeof from;
        ssize_t received = Uninterrupted([&] {
            return ::recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC | flags,
                              reinterpret_cast<sockaddr*>(&from), &length);
        });
        if (received < 0) return -1;
        if (length < sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != peer) continue;
        // Cannot happen after the peek, but a cut answer is never parsed.
        if (static_cast<size_t>(received) > buffer.size()) {
            errno = EMSGSIZE;
            return -1;
        }
        return received;
    }
}

}  // namespace

Message::Message(uint16_t type, uint16_t flags, std::string what)
    : buffer_(kRequestBytes), what_(std::move(what)) {
    header_ = mnl_nlmsg_put_header(buffer_.data());
    header_->nlmsg_type = type;
    header_->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
}

// The family header comes first and is small: it always fits.
void* Message::PutExtra(size_t length) {
    return mnl_nlmsg_put_extra_header(header_, length);
}

void Message::PutBytes(uint16_t type, const void* data, size_t length) {
    if (!mnl_attr_put_check(header_, buffer_.size(), type, length, data)) complete_ = false;
}

void Message::PutU8(uint16_t type, uint8_t value) {
    PutBytes(type, &value, sizeof value);
}
void Message::PutU16(uint16_t type, uint16_t value) {
    PutBytes(type, &value, sizeof value);
}
void Message::PutU32(uint16_t type, uint32_t value) {
    PutBytes(type, &value, sizeof value);
}
void Message::PutU64(uint16_t type, uint64_t value) {
    PutBytes(type, &value, sizeof value);
}

void Message::PutString(uint16_t type, std::string_view value) {
    std::string text(value);
    PutBytes(type, text.c_str(), text.size() + 1);
}

nlattr* Message::Nest(uint16_t type) {
    nlattr* nest = mnl_attr_nest_start_check(header_, buffer_.size(), type);
    if (nest == nullptr) complete_ = false;
    return nest;
}

void Message::EndNest(nlattr* nest) {
    if (nest != nullptr) mnl_attr_nest_end(header_, nest);
}

std::vector<uint8_t> Message::Bytes() const {
    return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + header_->nlmsg_len);
}

std::string Result::Text() const {
    std::string text = what + ": " + std::strerror(error);
    if (!extack.empty()) text += " (kernel: " + extack + ")";
    return text;
}

bool ParseError(const nlmsghdr* message, int* error, std::string* extack) {
    extack->clear();
    size_t payload = mnl_nlmsg_get_payload_len(message);
    if (payload < sizeof(nlmsgerr)) return false;
    const auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
    // Errors are -1 to -4095 (the kernel's MAX_ERRNO); anything lower is no
    // errno, and INT_MIN would not even negate.
    *error = err->error < -4095 ? EPROTO : err->error < 0 ? -err->error : err->error;
    if ((message->nlmsg_flags & NLM_F_ACK_TLVS) == 0) return true;
    // The attributes follow the error, and the request that caused it unless
    // the kernel capped the echo to its header.
    size_t offset = sizeof(nlmsgerr);
    if ((message->nlmsg_flags & NLM_F_CAPPED) == 0) {
        if (err->msg.nlmsg_len < sizeof(nlmsghdr)) return true;
        offset += MNL_ALIGN(err->msg.nlmsg_len - sizeof(nlmsghdr));
    }
    if (offset >= payload) return true;
    mnl_attr_parse_payload(static_cast<const char*>(mnl_nlmsg_get_payload(message)) + offset,
                           payload - offset, OnErrorAttribute, extack);
    return true;
}

bool ForEachMessage(const void* data, size_t length,
                    const std::function<void(const nlmsghdr*)>& each) {
    const auto* message = static_cast<const nlmsghdr*>(data);
    int left = static_cast<int>(length);
    // mnl_nlmsg_ok compares the length as a signed int: a length of 2 GiB or
    // more would pass it and send the walk far outside the buffer.
    while (mnl_nlmsg_ok(message, left) && message->nlmsg_len <= static_cast<uint32_t>(left)) {
        each(message);
        message = mnl_nlmsg_next(message, &left);
    }
    return left == 0;
}

void ForEachAttribute(const nlmsghdr* message, size_t headerLength, const OnAttribute& each) {
    size_t payload = mnl_nlmsg_get_payload_len(message);
    if (payload < MNL_ALIGN(headerLength)) return;
    const auto* attr =
        static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(message, headerLength));
    int left = static_cast<int>(payload - MNL_ALIGN(headerLength));
    while (mnl_attr_ok(attr, left)) {
        each(attr);
        left -= static_cast<int>(MNL_ALIGN(attr->nla_len));
        attr = mnl_attr_next(attr);
    }
}

void ForEachNested(const nlattr* nest, const OnAttribute& each) {
    const auto* attr = static_cast<const nlattr*>(mnl_attr_get_payload(nest));
    int left = static_cast<int>(mnl_attr_get_payload_len(nest));
    while (mnl_attr_ok(attr, left)) {
        each(attr);
        left -= static_cast<int>(MNL_ALIGN(attr->nla_len));
        attr = mnl_attr_next(attr);
    }
}

uint16_t AttributeType(const nlattr* attr) {
    return mnl_attr_get_type(attr);
}

const void* Payload(const nlattr* attr) {
    return mnl_attr_get_payload(attr);
}

size_t PayloadLength(const nlattr* attr) {
    return mnl_attr_get_payload_len(attr);
}

std::string AttributeText(const nlattr* attr) {
    const char* p = static_cast<const char*>(mnl_attr_get_payload(attr));
    return std::string(p, strnlen(p, mnl_attr_get_payload_len(attr)));
}

const void* FamilyHeader(const nlmsghdr* message, size_t length) {
    if (mnl_nlmsg_get_payload_len(message) < length) return nullptr;
    return mnl_nlmsg_get_payload(message);
}

Socket::~Socket() {
    if (fd_ >= 0) ::close(fd_);
}

int Socket::Open(int protocol, uint32_t peer) {
    peer_ = peer;
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd_ < 0) return errno;
    int one = 1;
    // The kernel's own words for a refusal, and no echo of our request in it.
    ::setsockopt(fd_, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
    ::setsockopt(fd_, SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
    timeval timeout{kAnswerTimeoutSecs, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t length = sizeof local;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        int error = errno;
        ::close(fd_);
        fd_ = -1;
        return error;
    }
    portId_ = local.nl_pid;
    buffer_.resize(kAnswerBytes);
    return 0;
}

namespace {

// One answer to the request in flight: its end (an error, the
// acknowledgement, the end of a dump) or data for `each`. True at the end.
bool TakeAnswer(const nlmsghdr* answer, const OnMessage& each, Result* result, bool* interrupted) {
    if ((answer->nlmsg_flags & NLM_F_DUMP_INTR) != 0) *interrupted = true;
    switch (answer->nlmsg_type) {
        case NLMSG_NOOP:
            return false;
        case NLMSG_ERROR:
            if (!ParseError(answer, &result->error, &result->extack)) result->error = EPROTO;
            return true;
        case NLMSG_DONE:
            if (mnl_nlmsg_get_payload_len(answer) >= sizeof(int)) {
                int code = *static_cast<const int*>(mnl_nlmsg_get_payload(answer));
                result->error = code < 0 ? -code : 0;
            }
            return true;
        case NLMSG_OVERRUN:
            result->error = EIO;
            return true;
        default:
            if (each) each(answer);
            return false;
    }
}

}  // namespace

Result Socket::Request(Message& message, const OnMessage& each) {
    Result result;
    result.what = message.what();
    if (!message.complete()) {
        result.error = EMSGSIZE;
        return result;
    }
    if (fd_ < 0) {
        result.error = EBADF;
        return result;
    }
    nlmsghdr* request = message.header();
    const bool dump = (request->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    if (!dump) request->nlmsg_flags |= NLM_F_ACK;
    request->nlmsg_seq = ++sequence_;
    request->nlmsg_pid = 0;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    kernel.nl_pid = peer_;
    ssize_t sent = Uninterrupted([&] {
        return ::sendto(fd_, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                        sizeof kernel);
    });
    if (sent < 0) {
        result.error = errno;
        return result;
    }
    // The kernel marks only the message of the dump where it noticed the
    // change: once seen, the whole dump is suspect.
    bool interrupted = false;
    for (;;) {
        ssize_t received = ReceiveFrom(fd_, peer_, buffer_, 0);
        if (received < 0) {
            result.error = errno == EAGAIN ? ETIMEDOUT : errno;
            if (errno == EMSGSIZE) result.extack = "an answer larger than 1 MiB";
            return result;
        }
        bool done = false;
        bool whole = ForEachMessage(
            buffer_.data(), static_cast<size_t>(received), [&](const nlmsghdr* answer) {
                // Late answers to an earlier request that timed out.
                if (done || answer->nlmsg_seq != sequence_ || answer->nlmsg_pid != portId_) {
                    return;
                }
                done = TakeAnswer(answer, each, &result, &interrupted);
            });
        if (!whole && !done) {
            result.error = EPROTO;
            return result;
        }
        if (done) {
            // The table changed while it was dumped: what `each` saw may be
            // inconsistent, so the caller looks again.
            if (result.error == 0 && interrupted) {
                result.error = EAGAIN;
                result.extack = "the dump was interrupted by a change";
                result.interrupted = true;
            }
            return result;
        }
    }
}

EventSocket::~EventSocket() {
    if (fd_ >= 0) ::close(fd_);
}

int EventSocket::Open(const std::vector<unsigned>& groups) {
    return Open(groups, NETLINK_ROUTE, 0);
}

int EventSocket::Open(const std::vector<unsigned>& groups, int protocol, uint32_t peer) {
    peer_ = peer;
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
    if (fd_ < 0) return errno;
    int size = kEventBufferBytes;
    // The forced size needs CAP_NET_ADMIN, which the backend has; the plain
    // one is the fallback bounded by the system's rmem_max.
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    socklen_t length = sizeof local;
    int error = 0;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = errno;
    }
    portId_ = local.nl_pid;
    for (unsigned group : groups) {
        if (error == 0 &&
            ::setsockopt(fd_, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        ::close(fd_);
        fd_ = -1;
        return error;
    }
    buffer_.resize(kAnswerBytes);
    return 0;
}

bool EventSocket::Drain(const OnMessage& each) {
    bool complete = true;
    for (;;) {
        ssize_t received = ReceiveFrom(fd_, peer_, buffer_, MSG_DONTWAIT);
        if (received < 0) {
            // ENOBUFS: the kernel dropped events; EMSGSIZE: one was too
            // large to read. Either way some were lost; the socket goes on.
            if (errno == ENOBUFS || errno == EMSGSIZE) {
                complete = false;
                continue;
            }
            return complete;  // EAGAIN: nothing more waits
        }
        if (received == 0) return complete;
        // A datagram that does not parse to its end held events we lost.
        if (!ForEachMessage(buffer_.data(), static_cast<size_t>(received), each)) {
            complete = false;
        }
    }
}

Result Run(Transport& transport, Message message, const OnMessage& each) {
    return transport.Request(message, each);
}

Result Dump(Transport& transport, Message& message, const OnMessage& each,
            const std::function<void()>& restart) {
    Result result;
    for (int attempt = 0; attempt < kDumpTries; ++attempt) {
        restart();
        result = transport.Request(message, each);
        if (!result.interrupted) return result;
    }
    return result;
}

}  // namespace nl
