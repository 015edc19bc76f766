// The smallest scenario the lab reads: one gateway and two servers, for the
// tests to build on.
#pragma once

#include <string>

namespace labtest {

inline const std::string kMinimal =
    "[run]\nduration = 30\n"
    "[gateway g]\nmac = 02-00-00-00-00-01\nid = 3\ndownload_mbps = 40\nupload_mbps = 10\n"
    "capacity = 0:30, 10:20\ndemand = 0:idle, 5:greedy\n"
    "[server a]\naddress = 127.0.2.1\ndelay_ms = 5\nlat = 1\nlon = 2\n"
    "[server b]\naddress = 127.0.2.2\ndelay_ms = 7\nlat = 3\nlon = 4\nline = g\n";

}  // namespace labtest
