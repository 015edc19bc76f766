// The netlink receive loop against byte-exact answers: a fake kernel on a
// NETLINK_USERSOCK socket queues its datagrams for the socket under test
// before the request goes out (the first request's sequence number is 1).
#include "netlink/netlink.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kData = NLMSG_MIN_TYPE + 1;  // a data message of any family

// One message: header and payload, padded to the alignment; a `length`
// other than 0 is written in place of the true one.
Bytes Message(uint16_t type, uint16_t flags, uint32_t seq, uint32_t pid, const Bytes& payload,
              uint32_t length = 0) {
    nlmsghdr h{static_cast<uint32_t>(NLMSG_LENGTH(payload.size())), type, flags, seq, pid};
    Bytes out(NLMSG_ALIGN(h.nlmsg_len), 0);
    if (length != 0) h.nlmsg_len = length;
    std::memcpy(out.data(), &h, sizeof h);
    std::copy(payload.begin(), payload.end(), out.begin() + NLMSG_HDRLEN);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// NLMSG_ERROR with `error` (0: an acknowledgement) and, when given, the
// kernel's text as an extended-ack attribute after the echoed request:
// `echo` bytes past its header (below 256), or at 0 only the header of a
// request of 64 bytes more (capped, as the kernel does).
Bytes Error(uint32_t seq, uint32_t pid, int error, const std::string& text = "",
            uint32_t echo = 0) {
    const nlattr attr{static_cast<uint16_t>(NLA_HDRLEN + text.size() + 1), NLMSGERR_ATTR_MSG};
    const size_t at = sizeof(nlmsgerr) + (echo < 256 ? NLMSG_ALIGN(echo) : 0);
    Bytes payload(at + (text.empty() ? 0 : NLA_ALIGN(attr.nla_len)), 0);
    nlmsgerr head{error, {static_cast<uint32_t>(NLMSG_HDRLEN + (echo ? echo : 64)), 0, 0, 0, 0}};
    std::memcpy(payload.data(), &head, sizeof head);
    if (!text.empty()) {
        std::memcpy(&payload[at], &attr, sizeof attr);
        std::copy(text.begin(), text.end(), payload.begin() + at + NLA_HDRLEN);
    }
    const uint16_t flags = (echo == 0 ? NLM_F_CAPPED : 0) | (text.empty() ? 0 : NLM_F_ACK_TLVS);
    return Message(NLMSG_ERROR, flags, seq, pid, payload);
}

// A netlink socket of the user protocol, bound to a port of its own.
class Peer {
  public:
    Peer() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK)) {
        socklen_t length = sizeof address_;
        address_.nl_family = AF_NETLINK;
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address_), length) == 0 &&
              ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) == 0;
    }
    ~Peer() { ::close(fd_); }
    bool ok() const { return ok_; }
    uint32_t port() const { return address_.nl_pid; }
    void Send(uint32_t to, const Bytes& datagram) const {
        sockaddr_nl dst{AF_NETLINK, 0, to, 0};
        ASSERT_EQ(::sendto(fd_, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&dst), sizeof dst),
                  static_cast<ssize_t>(datagram.size()));
    }

  private:
    int fd_;
    sockaddr_nl address_{};
    bool ok_ = false;
};

class NetlinkLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kernel_.ok() || !intruder_.ok()) GTEST_SKIP() << "no NETLINK_USERSOCK sockets here";
        ASSERT_EQ(socket_.Open(NETLINK_USERSOCK, kernel_.port()), 0);
        me_ = socket_.portId();
    }
    // A dump's data message carrying `c` and its end.
    Bytes Datum(uint32_t seq, char c, uint16_t flags = 0) {
        return Message(kData, NLM_F_MULTI | flags, seq, me_, {static_cast<uint8_t>(c)});
    }
    Bytes Done(uint32_t seq) { return Message(NLMSG_DONE, NLM_F_MULTI, seq, me_, Bytes(4, 0)); }
    // Each data message's first payload byte, in order.
    nl::OnMessage Collect() {
        return [this](const nlmsghdr* m) {
            seen_ += static_cast<char>(*static_cast<const uint8_t*>(NLMSG_DATA(m)));
        };
    }

    Peer kernel_, intruder_;
    nl::Socket socket_;
    nl::Message dump_{kData, NLM_F_DUMP, "listing things"};
    uint32_t me_ = 0;
    std::string seen_;
};

TEST_F(NetlinkLoop, AMultipartDumpIsReadWholeAndOnlyTheKernelsAnswersCount) {
    // An answer to another request (a late one, say), and a whole fake
    // answer from another process, come first; neither may end or fill the
    // dump.
    kernel_.Send(me_, Datum(7, 'x'));
    intruder_.Send(me_, Concat({Datum(1, '!'), Error(1, me_, -EPERM)}));
    kernel_.Send(me_, Concat({Datum(1, 'a'), Datum(1, 'b')}));
    // A datagram far larger than the first buffer (32 KiB) is read whole.
    Bytes big;
    for (int i = 0; i < 100; ++i)
        big = Concat({big, Message(kData, NLM_F_MULTI, 1, me_, Bytes(1000, 'c'))});
    kernel_.Send(me_, big);
    kernel_.Send(me_, Done(1));
    nl::Result r = socket_.Request(dump_, Collect());
    EXPECT_EQ(r.error, 0) << r.Text();
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(seen_, "ab" + std::string(100, 'c'));
}

TEST_F(NetlinkLoop, AnInterruptionAnywhereInTheDumpMarksItAndDumpRunsItAgain) {
    // Marked on the first datagram only, as the kernel does; the second try
    // (sequence 2) comes through whole.
    for (const Bytes& datagram :
         {Datum(1, 'a', NLM_F_DUMP_INTR), Datum(1, 'b'), Done(1), Datum(2, 'c'), Done(2)}) {
        kernel_.Send(me_, datagram);
    }
    int restarts = 0;
    nl::Result r = nl::Dump(socket_, dump_, Collect(), [&] {
        ++restarts;
        seen_.clear();
    });
    EXPECT_EQ(r.error, 0) << r.Text();
    EXPECT_EQ(restarts, 2);
    EXPECT_EQ(seen_, "c");
}

TEST_F(NetlinkLoop, AcknowledgementsErrorsAndBrokenAnswers) {
    struct Case {
        const char* what;
        Bytes answer;
        int error;
        std::string extack;
    };
    const Case cases[] = {
        {"an acknowledgement", Error(1, me_, 0), 0, ""},
        {"a refusal with the kernel's words",
         Error(2, me_, -EINVAL, "Specified qdisc kind is unknown"), EINVAL,
         "Specified qdisc kind is unknown"},
        {"a refusal without words", Error(3, me_, -ENOENT), ENOENT, ""},
        {"the words after the whole request", Error(4, me_, -EPERM, "No", 20), EPERM, "No"},
        {"an echo longer than the answer", Error(5, me_, -EPERM, "No", 4000), EPERM, ""},
        {"an error shorter than its header", Message(NLMSG_ERROR, 0, 6, me_, Bytes(4, 0)), EPROTO,
         ""},
        {"an overrun", Message(NLMSG_OVERRUN, 0, 7, me_, {}), EIO, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kernel_.Send(me_, c.answer);
        nl::Message request(kData, 0, "changing a thing");
        nl::Result r = socket_.Request(request);
        EXPECT_EQ(r.error, c.error) << r.Text();
        EXPECT_EQ(r.extack, c.extack);
    }
    // A length that runs past the datagram's end.
    kernel_.Send(me_, Message(kData, NLM_F_MULTI, 8, me_, {'a'}, 4096));
    EXPECT_EQ(socket_.Request(dump_, Collect()).error, EPROTO);
}

TEST_F(NetlinkLoop, EventsComeOnlyFromTheKernelAndABrokenDatagramCountsAsLoss) {
    nl::EventSocket events;
    ASSERT_EQ(events.Open({}, NETLINK_USERSOCK, kernel_.port()), 0);
    const uint32_t port = events.portId();
    kernel_.Send(port, Concat({Message(kData, 0, 0, 0, {'a'}), Message(kData, 0, 0, 0, {'b'})}));
    intruder_.Send(port, Message(kData, 0, 0, 0, {'!'}));
    EXPECT_TRUE(events.Drain(Collect()));
    EXPECT_EQ(seen_, "ab");
    kernel_.Send(port, Message(kData, 0, 0, 0, {'c'}, 4096));
    EXPECT_FALSE(events.Drain(Collect())) << "the events in it are lost: look afresh";
    EXPECT_TRUE(events.Drain(Collect())) << "nothing waits any more";
}

}  // namespace
