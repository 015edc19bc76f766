// A device's link speed from the kernel's ethtool family of generic netlink
// (rtnetlink does not carry it).
#pragma once

#include <cstdint>

#include "netlink/netlink.h"

namespace nl::ethtool {

class LinkSpeeds {
  public:
    // 0, or the errno of the socket or of finding the family (a kernel
    // without ethtool netlink: every speed is then unknown).
    int Open();
    // Bits per second; 0 when the driver does not know (ifb, tun) or the
    // device is gone.
    int64_t SpeedBps(int ifindex);

  private:
    nl::Socket socket_;
    uint16_t family_ = 0;
};

}  // namespace nl::ethtool
