// Host name from gethostname(2), identifiers from getrandom(2).
#include "platform/identity.h"

#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/eintr.h"

namespace platform {

bool GetComputerNameA(char* buffer, uint32_t* size) {
    constexpr size_t kMaxNetbiosName = 15;
    char host[256] = {};
    if (buffer == nullptr || size == nullptr) return false;
    if (::gethostname(host, sizeof(host) - 1) != 0) return false;
    size_t length = std::strcspn(host, ".");
    if (length > kMaxNetbiosName || length + 1 > *size) return false;
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(host[i])));
    }
    buffer[length] = '\0';
    *size = static_cast<uint32_t>(length);
    return true;
}

bool CoCreateGuid(Guid* guid) {
    size_t filled = 0;
    while (filled < guid->size()) {
        ssize_t n = RetryOnEintr(
            [&] { return ::getrandom(guid->data() + filled, guid->size() - filled, 0); });
        if (n < 0) return false;
        filled += static_cast<size_t>(n);
    }
    (*guid)[6] = static_cast<uint8_t>(((*guid)[6] & 0x0F) | 0x40);  // version 4
    (*guid)[8] = static_cast<uint8_t>(((*guid)[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return true;
}

std::string UuidToStringA(const Guid& guid) {
    char text[37] = {};
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid[0],
                  guid[1], guid[2], guid[3], guid[4], guid[5], guid[6], guid[7], guid[8], guid[9],
                  guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
    return std::string(text);
}

}  // namespace platform
