// The interface index of a link, looked up by its hardware address in the
// kernel's interface table.
#include "shaper/mac_lookup.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

#include "log/console_print.h"
#include "platform/route.h"

namespace {

constexpr size_t kMaxLookupBytes = 8;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether the link has IPv4, else IPv6, on: the first such row is the answer.
bool HasIpInterface(uint32_t ifIndex) {
    for (platform::AddressFamily family :
         {platform::AddressFamily::Inet, platform::AddressFamily::Inet6}) {
        platform::IpInterfaceEntry entry;
        platform::InitializeIpInterfaceEntry(&entry);
        entry.family = family;
        entry.interfaceIndex = ifIndex;
        if (platform::GetIpInterfaceEntry(&entry) == 0) return true;
    }
    return false;
}

}  // namespace

int32_t GetIfIndexFromMAC(const std::string& macText) {
    // Parts are split at "-"; empty parts are skipped. Each part's leading
    // hexadecimal digits give a number whose low byte is one address byte.
    std::vector<uint8_t> bytes;
    size_t at = 0;
    while (at <= macText.size()) {
        size_t end = macText.find('-', at);
        if (end == std::string::npos) end = macText.size();
        if (end > at) {
            if (HexDigit(macText[at]) < 0) return -1;  // not a hexadecimal number
            unsigned value = 0;
            for (size_t k = at; k < end && HexDigit(macText[k]) >= 0; ++k) {
                value = ((value << 4) | static_cast<unsigned>(HexDigit(macText[k]))) & 0xFF;
            }
            bytes.push_back(static_cast<uint8_t>(value));
        }
        at = end + 1;
    }
    if (bytes.empty()) return -1;
    return GetIfIndexFromMAC(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t GetIfIndexFromMAC(const uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr || length < 1 || length > kMaxLookupBytes) {
        ConsolePrintf("GetIfIndexFromMAC - bad args: %p, %u", static_cast<const void*>(bytes),
                      length);
        return -1;
    }
    // The table comes whole: there is no buffer to size and no "too small"
    // answer to retry on.
    std::vector<platform::IfRow> table;
    int error;
    try {
        error = platform::GetIfTable(&table);
    } catch (const std::bad_alloc&) {
        error = platform::kRouteNoMemory;
    }
    if (error == platform::kRouteNoMemory) {
        ConsolePrintf(
            "GetIfIndexFromMAC - no memory needed to call GetIfTable - sizeof(MIB_IFTABLE)");
        return -1;
    }
    if (error != 0) {
        ConsolePrintf("GetIfIndexFromMAC - GetIfTable failed with error: %u",
                      static_cast<unsigned>(error));
        return -1;
    }
    for (const platform::IfRow& row : table) {
        if (row.physAddrLength != length) continue;
        if (!std::equal(bytes, bytes + length, row.physAddr)) continue;
        if (HasIpInterface(row.index)) return static_cast<int32_t>(row.index);
    }
    return -1;
}
