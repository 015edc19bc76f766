// Netlink for both programs: requests built with libmnl, one socket that
// sends them and reads the answers (with the kernel's extended-ack text on
// errors), and a socket that listens to the kernel's link and tc events.
// Only the kernel is heard: a datagram from any other sender is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct nlmsghdr;
struct nlattr;

namespace nl {

// One request: a netlink message in a buffer of its own, and what it does in
// words ("adding the htb qdisc to cvn-eth0"), for the error that names it.
class Message {
  public:
    Message(uint16_t type, uint16_t flags, std::string what);

    // The family header right after the netlink header (ifinfomsg, tcmsg...),
    // zeroed; or such a header inside a nest (a veth peer's ifinfomsg).
    template <typename T>
    T* Body() {
        return static_cast<T*>(PutExtra(sizeof(T)));
    }
    void PutU8(uint16_t type, uint8_t value);
    void PutU16(uint16_t type, uint16_t value);
    void PutU32(uint16_t type, uint32_t value);
    void PutU64(uint16_t type, uint64_t value);
    void PutString(uint16_t type, std::string_view value);  // NUL-terminated
    void PutBytes(uint16_t type, const void* data, size_t length);
    nlattr* Nest(uint16_t type);
    void EndNest(nlattr* nest);

    nlmsghdr* header() { return header_; }
    const nlmsghdr* header() const { return header_; }
    const std::string& what() const { return what_; }
    // The bytes as they go to the kernel (sequence number included).
    std::vector<uint8_t> Bytes() const;
    // False once an attribute did not fit: such a message is never sent.
    bool complete() const { return complete_; }

  private:
    void* PutExtra(size_t length);

    std::vector<uint8_t> buffer_;
    nlmsghdr* header_;
    std::string what_;
    bool complete_ = true;
};

// The outcome of one request: 0 or a positive errno, with the kernel's
// extended-ack text when it gave one.
struct Result {
    int error = 0;
    std::string extack;
    std::string what;  // the request's words
    // The dump's table changed while it was read (error is then EAGAIN):
    // what was seen may be inconsistent, and Dump() runs it again.
    bool interrupted = false;

    bool ok() const { return error == 0; }
    // "adding the htb qdisc to cvn-eth0: No such file or directory (kernel:
    // Specified qdisc kind is unknown)".
    std::string Text() const;
};

// What an NLMSG_ERROR message says: the error (positive errno, 0 for an
// acknowledgement) and the extended-ack text. False when the message is too
// short to be one.
bool ParseError(const nlmsghdr* message, int* error, std::string* extack);

// Calls `each` for every message of a buffer as the kernel sends them;
// false when a length in it does not fit the buffer.
bool ForEachMessage(const void* data, size_t length,
                    const std::function<void(const nlmsghdr*)>& each);

// Walking the attributes of a message after its family header of
// `headerLength` bytes, or of a nest; attributes that do not fit are not seen.
using OnAttribute = std::function<void(const nlattr*)>;
void ForEachAttribute(const nlmsghdr* message, size_t headerLength, const OnAttribute& each);
void ForEachNested(const nlattr* nest, const OnAttribute& each);
uint16_t AttributeType(const nlattr* attr);
const void* Payload(const nlattr* attr);
size_t PayloadLength(const nlattr* attr);
// The text of a string attribute, up to its NUL or its end.
std::string AttributeText(const nlattr* attr);
// A fixed-size payload into *out; a shorter one fills the front and leaves
// the rest zero, as older kernels send shorter structures.
template <typename T>
void ReadPayload(const nlattr* attr, T* out) {
    *out = T{};
    size_t n = PayloadLength(attr) < sizeof(T) ? PayloadLength(attr) : sizeof(T);
    std::memcpy(out, Payload(attr), n);
}
// The message's family header, or nullptr when the message is shorter.
const void* FamilyHeader(const nlmsghdr* message, size_t length);

// Each answer of a dump (or the echo of a request), as the kernel sent it.
using OnMessage = std::function<void(const nlmsghdr*)>;

// Where requests go: the kernel, or a fake in tests.
class Transport {
  public:
    virtual ~Transport() = default;
    // Sends the request and reads its answers until it is acknowledged or
    // the dump is done; `each` sees every data message of the answer.
    virtual Result Request(Message& message, const OnMessage& each = nullptr) = 0;
};

// A netlink socket of one protocol (NETLINK_ROUTE, NETLINK_GENERIC) that
// sends requests and waits for their answers.
class Socket : public Transport {
  public:
    Socket() = default;
    ~Socket() override;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // 0 or the errno of socket/bind. `peer` is the port that requests go to
    // and answers must come from: 0, the kernel (a test's fake otherwise).
    int Open(int protocol, uint32_t peer = 0);
    bool open() const { return fd_ >= 0; }
    Result Request(Message& message, const OnMessage& each = nullptr) override;

    uint32_t portId() const { return portId_; }

  private:
    int fd_ = -1;
    uint32_t portId_ = 0;
    uint32_t peer_ = 0;
    uint32_t sequence_ = 0;
    std::vector<uint8_t> buffer_;
};

// A socket that hears the kernel's rtnetlink events of some groups
// (RTNLGRP_LINK, RTNLGRP_TC, ...), non-blocking, for a poll loop.
class EventSocket {
  public:
    EventSocket() = default;
    ~EventSocket();
    EventSocket(const EventSocket&) = delete;
    EventSocket& operator=(const EventSocket&) = delete;

    // 0 or an errno. `groups` are RTNLGRP_* numbers of rtnetlink.
    int Open(const std::vector<unsigned>& groups);
    // The same on another protocol, hearing `peer` (tests: a fake kernel).
    int Open(const std::vector<unsigned>& groups, int protocol, uint32_t peer);
    int fd() const { return fd_; }
    uint32_t portId() const { return portId_; }
    // Reads every event waiting. False when events were lost (the kernel
    // dropped some because the socket's buffer was full, or a datagram could
    // not be read whole): the caller must look afresh.
    bool Drain(const OnMessage& each);

  private:
    int fd_ = -1;
    uint32_t portId_ = 0;
    uint32_t peer_ = 0;
    std::vector<uint8_t> buffer_;
};

// Creates a request and runs it on `transport`; the usual short form.
Result Run(Transport& transport, Message message, const OnMessage& each = nullptr);

// Runs a dump until the kernel gives it whole: an interrupted one is run
// again, a few times, `restart` dropping what `each` gathered before.
Result Dump(Transport& transport, Message& message, const OnMessage& each,
            const std::function<void()>& restart);

// A dump into *out of the answers that `parse` (bool(const nlmsghdr*, T*))
// takes; *out starts afresh with every run of it.
template <typename T, typename Parse>
Result DumpInto(Transport& transport, Message& message, Parse parse, std::vector<T>* out) {
    return Dump(
        transport, message,
        [&](const nlmsghdr* answer) {
            T item;
            if (parse(answer, &item)) out->push_back(std::move(item));
        },
        [out] { out->clear(); });
}

}  // namespace nl
