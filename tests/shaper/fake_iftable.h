// The interface table in memory that the shaper's tests install in place of
// the kernel's, for the MAC lookup and discovery to read.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <vector>

#include "platform/route.h"

namespace fake {

// An interface table in memory: each link's index, address and families on.
class IfTable : public platform::RouteSource {
  public:
    struct Link {
        uint32_t index;
        std::vector<uint8_t> address;
        bool inet, inet6;
    };
    IfTable() { platform::SetRouteSourceForTest(this); }
    ~IfTable() override { platform::SetRouteSourceForTest(nullptr); }
    IfTable(const IfTable&) = delete;
    IfTable& operator=(const IfTable&) = delete;

    int GetIfTable(std::vector<platform::IfRow>* table) override {
        ++reads;
        if (error < 0) throw std::bad_alloc();
        for (const Link& link : links) {
            platform::IfRow row{link.index, static_cast<uint32_t>(link.address.size()), {}};
            std::copy(link.address.begin(), link.address.end(), row.physAddr);
            table->push_back(row);
        }
        return error;
    }
    int GetIpInterfaceEntry(platform::IpInterfaceEntry* entry) override {
        for (const Link& l : links) {
            if (l.index != entry->interfaceIndex) continue;
            return (entry->family == platform::AddressFamily::Inet ? l.inet : l.inet6) ? 0 : ENOENT;
        }
        return ENODEV;
    }

    std::vector<Link> links;
    int error = 0;  // < 0: out of memory
    int reads = 0;
};

}  // namespace fake
