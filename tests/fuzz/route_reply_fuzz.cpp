// Fuzzes the monitor's reading of the kernel's link and route answers (the
// interface table, the route table, a default route's metric). The input is
// one receive buffer, read as a dump's messages are. Every row must be one
// the input says: a contiguous mask, an address no longer than its field, a
// default metric only from a route of prefix 0 through that interface.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "netlink/netlink.h"
#include "platform/route.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The interface asked about: taken from the input, so that the default
    // metric's filter is exercised with every index.
    uint32_t ifIndex = size > 0 ? data[0] % 8 : 0;
    const platform::RouteAnswers answers = platform::ReadRouteAnswers(data, size, ifIndex);
    size_t messages = 0;
    nl::ForEachMessage(data, size, [&messages](const nlmsghdr*) { ++messages; });
    FUZZ_CHECK(answers.links.size() <= messages);
    for (const platform::IfRow& row : answers.links) {
        FUZZ_CHECK(row.physAddrLength <= platform::kMaxPhysAddrLength);
    }
    for (const platform::IpForwardRow& row : answers.routes) {
        FUZZ_CHECK(platform::PrefixLengthOfMask(row.mask) >= 0);
        FUZZ_CHECK(row.type == (row.nextHop != 0 ? 4u : 3u));
        FUZZ_CHECK(row.metric2 == platform::kUnusedMetric &&
                   row.metric5 == platform::kUnusedMetric);
    }
    if (answers.defaultMetric) {
        bool found = false;
        for (const platform::IpForwardRow& row : answers.routes) {
            found = found || (row.dest == 0 && row.mask == 0 && row.ifIndex == ifIndex &&
                              row.metric1 == *answers.defaultMetric);
        }
        FUZZ_CHECK(found);
    }
    return 0;
}
