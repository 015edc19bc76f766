// The machine's name and fresh unique identifiers.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace platform {

// The host name up to its first dot, in upper case, NUL-terminated into
// buffer[0..*size). Fails (false, buffer untouched) when that part has more
// than 15 characters or does not fit; on success *size is its length.
bool GetComputerNameA(char* buffer, uint32_t* size);

using Guid = std::array<uint8_t, 16>;

// A random version-4 UUID. False when no randomness could be had.
bool CoCreateGuid(Guid* guid);

// The 36-character lower-case text form, without braces.
std::string UuidToStringA(const Guid& guid);

}  // namespace platform
