// The MAC lookup: against an in-memory interface table, then against the
// kernel's own in a private network namespace (root only; skipped elsewhere).
#include "shaper/mac_lookup.h"

#include <net/if.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "shaper/fake_iftable.h"
#include "support/test_support.h"
#include "support/veth_namespace.h"

namespace {

class MacLookup : public ::testing::Test {
  protected:
    fake::IfTable iftable_;
    test::ConsoleCapture console_;
};

TEST_F(MacLookup, ByTextAndBytes) {
    iftable_.links = {
        {1, {0, 0, 0, 0, 0, 0}, true, true},  {2, {2, 0, 0, 0, 0, 1}, true, false},
        {3, {2, 0, 0, 0, 0, 2}, false, true}, {4, {2, 0, 0, 0, 0, 3}, false, false},
        {5, {2, 0, 0, 0, 0, 3}, true, false}, {6, {2}, true, false},
        {7, {0xAB, 0xCD}, true, false},       {8, {1, 2, 3, 4, 5, 6, 7, 8}, true, false}};
    const std::pair<std::string, int32_t> cases[] = {
        {"02-00-00-00-00-01", 2},
        {"102-0-0-0-0-1", 2},       // the low byte of each part's number
        {"02-00-00-00-00-02", 3},   // IPv6 alone answers too
        {"02-00-00-00-00-03", 5},   // the first row with IP on
        {"02:00:00:00:00:01", 6},   // one part, its leading digits: one byte
        {"--ab-CD-", 7},            // empty parts are no parts
        {"zz-00-00-00-00-00", -1},  // not a hexadecimal number
        {"", -1},
        {"00-00-00-00-00-00", 1},
        {"01-02-03-04-05-06-07-08", 8},
        {"00-00-00-00-00", -1},
    };
    for (const auto& [text, index] : cases) EXPECT_EQ(GetIfIndexFromMAC(text), index) << text;
    EXPECT_EQ(console_.text(), "");

    const uint8_t one = 2;
    EXPECT_EQ(GetIfIndexFromMAC(&one, 1), 6);
    // Bad arguments, then the table's failures (-1: out of memory): -1 and a console line.
    const std::string kNoMemory =
        "GetIfIndexFromMAC - no memory needed to call GetIfTable - sizeof(MIB_IFTABLE)";
    const std::tuple<std::function<int32_t()>, int, std::string> failures[] = {
        {[] { return GetIfIndexFromMAC("01-02-03-04-05-06-07-08-09"); }, 0, ", 9"},
        {[] { return GetIfIndexFromMAC(nullptr, 6); }, 0, "(nil), 6"},
        {[&one] { return GetIfIndexFromMAC(&one, 0); }, 0, ", 0"},
        {nullptr, 5, "GetIfIndexFromMAC - GetIfTable failed with error: 5"},
        {nullptr, ENOMEM, kNoMemory},
        {nullptr, -1, kNoMemory},
    };
    for (const auto& [call, error, end] : failures) {
        iftable_.error = error;
        console_.clear();
        EXPECT_EQ(call ? call() : GetIfIndexFromMAC("02-00-00-00-00-01"), -1);
        EXPECT_TRUE(!call || console_.text().starts_with("GetIfIndexFromMAC - bad args: "));
        EXPECT_TRUE(console_.text().ends_with(end)) << console_.text();
    }
}

// The kernel's interface table, read by the real platform layer.
class MacLookupInNamespace : public test::VethNamespace {};

TEST_F(MacLookupInNamespace, FindsEachLinkByItsAddressText) {
    const uint32_t lo = ::if_nametoindex("lo");
    const std::pair<const char*, int32_t> macs[] = {
        {"02-53-41-4E-44-01", static_cast<int32_t>(veth0_)},
        {"02-53-41-4e-44-02", static_cast<int32_t>(veth1_)},
        {"02-53-41-4E-44-03", -1},
        {"02:53:41:4E:44:01", -1},  // one part, one byte: no such link
        {"00-00-00-00-00-00", static_cast<int32_t>(lo)},
    };
    for (const auto& [text, index] : macs) EXPECT_EQ(GetIfIndexFromMAC(text), index) << text;
}

}  // namespace
