// The interface index of a link by its hardware address: how discovery finds
// the local link that reaches each gateway.
#pragma once

#include <cstdint>
#include <string>

// Interface index of the link with this MAC text ("02-00-00-00-00-01": bytes
// as hexadecimal numbers joined by "-"), -1 when none.
int32_t GetIfIndexFromMAC(const std::string& macText);
// Interface index of the first link with this hardware address (1 to 8 bytes)
// that has IPv4 or IPv6 on, -1 when none.
int32_t GetIfIndexFromMAC(const uint8_t* bytes, uint32_t length);
