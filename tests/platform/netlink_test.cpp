// The netlink receive loop against byte-exact answers: a fake kernel on a
// NETLINK_USERSOCK socket queues its datagrams for the socket under test
// before the request goes out (the first request's sequence number is 1).
#include "netlink/netlink.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kData = NLMSG_MIN_TYPE + 1;  // a data message of any family

// One message: header and payload, padded to the alignment.
Bytes Message(uint16_t type, uint16_t flags, uint32_t seq, uint32_t pid, const Bytes& payload) {
    nlmsghdr h{};
    h.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(payload.size()));
    h.nlmsg_type = type;
    h.nlmsg_flags = flags;
    h.nlmsg_seq = seq;
    h.nlmsg_pid = pid;
    Bytes out(NLMSG_ALIGN(h.nlmsg_len), 0);
    std::memcpy(out.data(), &h, sizeof h);
    if (!payload.empty()) std::memcpy(out.data() + NLMSG_HDRLEN, payload.data(), payload.size());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// NLMSG_ERROR with `error` (0: an acknowledgement) and, when given, the
// kernel's text as an extended-ack attribute after the capped echo.
Bytes Error(uint32_t seq, uint32_t pid, int error, const std::string& text = "") {
    nlmsgerr err{};
    err.error = error;
    Bytes payload(sizeof err);
    std::memcpy(payload.data(), &err, sizeof err);
    uint16_t flags = NLM_F_CAPPED;
    if (!text.empty()) {
        flags |= NLM_F_ACK_TLVS;
        nlattr attr{};
        attr.nla_type = NLMSGERR_ATTR_MSG;
        attr.nla_len = static_cast<uint16_t>(NLA_HDRLEN + text.size() + 1);
        Bytes a(NLA_ALIGN(attr.nla_len), 0);
        std::memcpy(a.data(), &attr, sizeof attr);
        std::memcpy(a.data() + NLA_HDRLEN, text.c_str(), text.size() + 1);
        payload.insert(payload.end(), a.begin(), a.end());
    }
    return Message(NLMSG_ERROR, flags, seq, pid, payload);
}

// A netlink socket of the user protocol, bound to a port of its own.
class Peer {
  public:
    Peer() {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_USERSOCK);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        socklen_t length = sizeof local;
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
              ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0;
        port_ = local.nl_pid;
    }
    ~Peer() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }
    uint32_t port() const { return port_; }
    void Send(uint32_t to, const Bytes& datagram) const {
        sockaddr_nl dst{};
        dst.nl_family = AF_NETLINK;
        dst.nl_pid = to;
        ASSERT_EQ(::sendto(fd_, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&dst), sizeof dst),
                  static_cast<ssize_t>(datagram.size()));
    }

  private:
    int fd_ = -1;
    uint32_t port_ = 0;
    bool ok_ = false;
};

class NetlinkLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kernel_.ok() || !intruder_.ok()) GTEST_SKIP() << "no NETLINK_USERSOCK sockets here";
        ASSERT_EQ(socket_.Open(NETLINK_USERSOCK, kernel_.port()), 0);
        me_ = socket_.portId();
    }
    // Runs a dump request; the data messages' first payload bytes, in order.
    nl::Result Dump(std::string* seen, uint16_t flags = NLM_F_DUMP) {
        nl::Message request(kData, flags, "listing things");
        return socket_.Request(request, [seen](const nlmsghdr* m) {
            *seen += static_cast<char>(*static_cast<const uint8_t*>(NLMSG_DATA(m)));
        });
    }

    Peer kernel_, intruder_;
    nl::Socket socket_;
    uint32_t me_ = 0;
};

TEST_F(NetlinkLoop, AMultipartDumpIsReadWholeAndOnlyTheKernelsAnswersCount) {
    // A late answer to an earlier request, and a whole fake answer from
    // another process, come first; neither may end or fill the dump.
    kernel_.Send(me_, Message(kData, NLM_F_MULTI, 0, me_, {'x'}));
    intruder_.Send(me_,
                   Concat({Message(kData, NLM_F_MULTI, 1, me_, {'!'}), Error(1, me_, -EPERM)}));
    kernel_.Send(me_, Concat({Message(kData, NLM_F_MULTI, 1, me_, {'a'}),
                              Message(kData, NLM_F_MULTI, 1, me_, {'b'})}));
    // A datagram far larger than the first buffer (32 KiB) is read whole.
    Bytes big;
    for (int i = 0; i < 100; ++i) {
        Bytes m = Message(kData, NLM_F_MULTI, 1, me_, Bytes(1000, 'c'));
        big.insert(big.end(), m.begin(), m.end());
    }
    kernel_.Send(me_, big);
    kernel_.Send(me_, Message(NLMSG_DONE, NLM_F_MULTI, 1, me_, Bytes(4, 0)));
    std::string seen;
    nl::Result r = Dump(&seen);
    EXPECT_EQ(r.error, 0) << r.Text();
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(seen, "ab" + std::string(100, 'c'));
}

TEST_F(NetlinkLoop, AnInterruptionAnywhereInTheDumpMarksItAndDumpRunsItAgain) {
    // Marked on the first datagram only, as the kernel does; the second try
    // (sequence 2) comes through whole.
    kernel_.Send(me_, Message(kData, NLM_F_MULTI | NLM_F_DUMP_INTR, 1, me_, {'a'}));
    kernel_.Send(me_, Message(kData, NLM_F_MULTI, 1, me_, {'b'}));
    kernel_.Send(me_, Message(NLMSG_DONE, NLM_F_MULTI, 1, me_, Bytes(4, 0)));
    kernel_.Send(me_, Message(kData, NLM_F_MULTI, 2, me_, {'c'}));
    kernel_.Send(me_, Message(NLMSG_DONE, NLM_F_MULTI, 2, me_, Bytes(4, 0)));
    std::string seen;
    int restarts = 0;
    nl::Message request(kData, NLM_F_DUMP, "listing things");
    nl::Result r = nl::Dump(
        socket_, request,
        [&](const nlmsghdr* m) {
            seen += static_cast<char>(*static_cast<uint8_t*>(NLMSG_DATA(m)));
        },
        [&] {
            ++restarts;
            seen.clear();
        });
    EXPECT_EQ(r.error, 0) << r.Text();
    EXPECT_EQ(restarts, 2);
    EXPECT_EQ(seen, "c");

    // Interrupted every time: the caller hears it, as EAGAIN.
    for (uint32_t seq = 3; seq <= 5; ++seq) {
        kernel_.Send(me_, Message(kData, NLM_F_MULTI | NLM_F_DUMP_INTR, seq, me_, {'d'}));
        kernel_.Send(me_, Message(NLMSG_DONE, NLM_F_MULTI, seq, me_, Bytes(4, 0)));
    }
    r = nl::Dump(
        socket_, request, [](const nlmsghdr*) {}, [] {});
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.error, EAGAIN);
}

TEST_F(NetlinkLoop, AcknowledgementsErrorsAndBrokenAnswers) {
    struct Case {
        const char* what;
        Bytes answer;
        int error;
        std::string extack;
    };
    const Case cases[] = {
        {"an acknowledgement", Error(0, 0, 0), 0, ""},
        {"a refusal with the kernel's words",
         Error(0, 0, -EINVAL, "Specified qdisc kind is unknown"), EINVAL,
         "Specified qdisc kind is unknown"},
        {"a refusal without words", Error(0, 0, -ENOENT), ENOENT, ""},
        {"an error shorter than its header", Message(NLMSG_ERROR, 0, 0, 0, Bytes(4, 0)), EPROTO,
         ""},
        {"an overrun", Message(NLMSG_OVERRUN, 0, 0, 0, {}), EIO, ""},
    };
    uint32_t seq = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ++seq;
        Bytes answer = c.answer;
        auto* h = reinterpret_cast<nlmsghdr*>(answer.data());
        h->nlmsg_seq = seq;
        h->nlmsg_pid = me_;
        kernel_.Send(me_, answer);
        nl::Message request(kData, 0, "changing a thing");
        nl::Result r = socket_.Request(request);
        EXPECT_EQ(r.error, c.error) << r.Text();
        EXPECT_EQ(r.extack, c.extack);
    }
    // A length that runs past the datagram's end.
    Bytes broken = Message(kData, NLM_F_MULTI, ++seq, me_, {'a'});
    reinterpret_cast<nlmsghdr*>(broken.data())->nlmsg_len = 4096;
    kernel_.Send(me_, broken);
    std::string seen;
    EXPECT_EQ(Dump(&seen).error, EPROTO);
}

TEST_F(NetlinkLoop, EventsComeOnlyFromTheKernelAndABrokenDatagramCountsAsLoss) {
    nl::EventSocket events;
    ASSERT_EQ(events.Open({}, NETLINK_USERSOCK, kernel_.port()), 0);
    const uint32_t port = events.portId();
    std::string seen;
    auto each = [&](const nlmsghdr* m) {
        seen += static_cast<char>(*static_cast<const uint8_t*>(NLMSG_DATA(m)));
    };
    kernel_.Send(port, Concat({Message(kData, 0, 0, 0, {'a'}), Message(kData, 0, 0, 0, {'b'})}));
    intruder_.Send(port, Message(kData, 0, 0, 0, {'!'}));
    EXPECT_TRUE(events.Drain(each));
    EXPECT_EQ(seen, "ab");
    Bytes broken = Message(kData, 0, 0, 0, {'c'});
    reinterpret_cast<nlmsghdr*>(broken.data())->nlmsg_len = 4096;
    kernel_.Send(port, broken);
    EXPECT_FALSE(events.Drain(each)) << "the events in it are lost: look afresh";
    EXPECT_TRUE(events.Drain(each)) << "nothing waits any more";
}

}  // namespace
