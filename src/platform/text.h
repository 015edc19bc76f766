// UTF-8 bytes of wide text: how wide console lines and bus strings leave the
// process. Invalid code points (surrogates, beyond U+10FFFF) become U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

void AppendUtf8(std::string& out, uint32_t code);
std::string WideToUtf8(std::wstring_view text);

}  // namespace platform
