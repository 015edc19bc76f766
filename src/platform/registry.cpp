// Registry API over a text hive file in the registry export syntax (version 5): the file is
// parsed at every open and the requested section's values are kept in the key object.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/eintr.h"
#include "platform/fd.h"

namespace platform {
namespace {

static_assert(sizeof(wchar_t) == 4, "names are compared as UTF-32 wide strings");

constexpr LONG kErrorInvalidParameter = 87;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;
// Larger hives are refused rather than read, so a stray huge file cannot exhaust memory.
constexpr size_t kMaxHiveBytes = 16 * 1024 * 1024;
// Stands in for an undecodable byte sequence; it is no code point, so a line holding it
// can be recognised and skipped as a whole instead of yielding a mangled name or string.
constexpr wchar_t kBadChar = 0x110000;

wchar_t FoldAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return FoldAscii(x) == FoldAscii(y); });
}

bool StartsWithIgnoreCase(std::wstring_view s, std::wstring_view prefix) {
    return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

// Transparent so that a query can look a name up without building a folded copy.
struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](wchar_t x, wchar_t y) { return FoldAscii(x) < FoldAscii(y); });
    }
};

std::wstring_view Trim(std::wstring_view s) {
    while (!s.empty() && (s.front() == L' ' || s.front() == L'\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\t')) s.remove_suffix(1);
    return s;
}

std::wstring_view StripTrailingBackslashes(std::wstring_view s) {
    while (!s.empty() && s.back() == L'\\') s.remove_suffix(1);
    return s;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// One to max_digits hex digits and nothing else; max_digits <= 8 keeps it inside 32 bits.
bool ParseHexNumber(std::wstring_view s, size_t max_digits, DWORD& out) {
    if (s.empty() || s.size() > max_digits) return false;
    out = 0;
    for (wchar_t c : s) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        out = (out << 4) | static_cast<DWORD>(d);
    }
    return true;
}

// Comma-separated bytes as the export tool writes them ("01,ab,ff"); empty means no bytes.
bool ParseHexBytes(std::wstring_view s, std::vector<BYTE>& out) {
    s = Trim(s);
    if (s.empty()) return true;
    for (;;) {
        const size_t comma = s.find(L',');
        DWORD byte = 0;
        if (!ParseHexNumber(Trim(s.substr(0, comma)), 2, byte)) return false;
        out.push_back(static_cast<BYTE>(byte));
        if (comma == std::wstring_view::npos) return true;
        s.remove_prefix(comma + 1);
    }
}

// Reads a quoted name or string starting at s[pos] == '"'; on success pos is just past the
// closing quote. Only \" and \\ are escapes; anything else after a backslash is malformed.
bool ParseQuoted(std::wstring_view s, size_t& pos, std::wstring& out) {
    for (size_t i = pos + 1; i < s.size(); ++i) {
        wchar_t c = s[i];
        if (c == L'"') {
            pos = i + 1;
            return true;
        }
        if (c == L'\\') {
            if (++i == s.size() || (s[i] != L'"' && s[i] != L'\\')) return false;
            c = s[i];
        }
        out.push_back(c);
    }
    return false;
}

void AppendUtf16Le(std::vector<BYTE>& out, uint32_t unit) {
    out.push_back(static_cast<BYTE>(unit & 0xFF));
    out.push_back(static_cast<BYTE>(unit >> 8));
}

struct Value {
    DWORD type = kRegBinary;
    std::vector<BYTE> data;
};

bool ParseData(std::wstring_view s, Value& v) {
    if (s.empty()) return false;
    if (s.front() == L'"') {
        std::wstring text;
        size_t pos = 0;
        if (!ParseQuoted(s, pos, text) || pos != s.size()) return false;
        // Programs read strings as Windows stores them: UTF-16LE with the terminating NUL.
        v.type = kRegSz;
        for (wchar_t c : text) {
            uint32_t cp = static_cast<uint32_t>(c);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                AppendUtf16Le(v.data, 0xD800 + (cp >> 10));
                AppendUtf16Le(v.data, 0xDC00 + (cp & 0x3FF));
            } else {
                AppendUtf16Le(v.data, cp);
            }
        }
        AppendUtf16Le(v.data, 0);
        return true;
    }
    if (StartsWithIgnoreCase(s, L"dword:")) {
        DWORD n = 0;
        if (!ParseHexNumber(s.substr(6), 8, n)) return false;
        v.type = kRegDword;
        for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<BYTE>(n >> (8 * i)));
        return true;
    }
    if (!StartsWithIgnoreCase(s, L"hex")) return false;
    s.remove_prefix(3);
    v.type = kRegBinary;
    if (!s.empty() && s.front() == L'(') {
        // hex(N): bytes of type N, taken as given (hex(b) is a QWORD, hex(7) a multi-string).
        const size_t close = s.find(L')');
        if (close == std::wstring_view::npos || !ParseHexNumber(s.substr(1, close - 1), 8, v.type))
            return false;
        s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != L':') return false;
    return ParseHexBytes(s.substr(1), v.data);
}

void DecodeUtf8(std::string_view s, std::wstring& out) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t len = 1;
        uint32_t cp = b, min = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, cp = b & 0x07, min = 0x10000;
        } else if (b >= 0x80) {
            len = 0;
        }
        if (len == 0 || s.size() - i < len) {
            out.push_back(kBadChar);
            ++i;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            ok = ok && (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not text.
        if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kBadChar);
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += len;
    }
}

// Splits the hive into decoded lines: UTF-8 (BOM optional) or UTF-16LE with its BOM, as the
// Windows export tool writes it. LF or CR LF line ends.
class LineReader {
  public:
    explicit LineReader(std::string_view bytes) : bytes_(bytes) {
        if (bytes_.substr(0, 3) == "\xEF\xBB\xBF") {
            pos_ = 3;
        } else if (bytes_.substr(0, 2) == "\xFF\xFE") {
            pos_ = 2;
            utf16_ = true;
        }
    }

    bool Next(std::wstring& line) {
        line.clear();
        if (pos_ >= bytes_.size()) return false;
        if (utf16_) {
            NextUtf16(line);
        } else {
            size_t end = bytes_.find('\n', pos_);
            if (end == std::string_view::npos) end = bytes_.size();
            DecodeUtf8(bytes_.substr(pos_, end - pos_), line);
            pos_ = std::min(end + 1, bytes_.size());
        }
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        return true;
    }

  private:
    uint32_t Unit(size_t at) const {
        return static_cast<unsigned char>(bytes_[at]) |
               (static_cast<uint32_t>(static_cast<unsigned char>(bytes_[at + 1])) << 8);
    }

    void NextUtf16(std::wstring& line) {
        while (bytes_.size() - pos_ >= 2) {
            const uint32_t u = Unit(pos_);
            pos_ += 2;
            if (u == L'\n') return;
            if (u >= 0xD800 && u <= 0xDBFF && bytes_.size() - pos_ >= 2 && Unit(pos_) >= 0xDC00 &&
                Unit(pos_) <= 0xDFFF) {
                line.push_back(
                    static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (Unit(pos_) - 0xDC00)));
                pos_ += 2;
            } else if (u >= 0xD800 && u <= 0xDFFF) {
                line.push_back(kBadChar);
            } else {
                line.push_back(static_cast<wchar_t>(u));
            }
        }
        if (pos_ < bytes_.size()) {  // a dangling odd byte
            line.push_back(kBadChar);
            pos_ = bytes_.size();
        }
    }

    std::string_view bytes_;
    size_t pos_ = 0;
    bool utf16_ = false;
};

// A wrapped hex value continues on lines holding only hex bytes, commas and blanks.
bool IsHexContinuation(std::wstring_view s) {
    if (!s.empty() && s.back() == L'\\') s.remove_suffix(1);
    return !Trim(s).empty() && std::all_of(s.begin(), s.end(), [](wchar_t c) {
        return HexDigit(c) >= 0 || c == L',' || c == L' ' || c == L'\t';
    });
}

}  // namespace

struct RegKey {
    std::map<std::wstring, Value, CaseInsensitiveLess> values;
};

namespace {

class HiveParser {
  public:
    HiveParser(std::wstring_view subkey, RegKey& key) : subkey_(subkey), key_(key) {}

    // Returns whether the section was present at all.
    bool Parse(std::string_view bytes) {
        LineReader reader(bytes);
        std::wstring line, next, joined;
        bool have = reader.Next(line);
        while (have) {
            const std::wstring_view text = Trim(line);
            bool have_next = false;
            if (!text.empty() && text.back() == L'\\' && text.front() != L';') {
                // Gather the continuation lines; if the chain breaks, the value is dropped
                // and the line that broke it is parsed on its own.
                joined.assign(text.substr(0, text.size() - 1));
                bool complete = false;
                while (reader.Next(next)) {
                    const std::wstring_view part = Trim(next);
                    if (!IsHexContinuation(part)) {
                        have_next = true;
                        break;
                    }
                    complete = part.back() != L'\\';
                    joined.append(complete ? part : part.substr(0, part.size() - 1));
                    if (complete) break;
                }
                if (complete) ParseLine(joined);
            } else {
                ParseLine(text);
            }
            if (have_next) {
                line.swap(next);
            } else {
                have = reader.Next(line);
            }
        }
        return found_;
    }

  private:
    bool SectionMatches(std::wstring_view name) const {
        constexpr std::wstring_view kRoot = L"HKEY_LOCAL_MACHINE";
        if (!StartsWithIgnoreCase(name, kRoot)) return false;
        name.remove_prefix(kRoot.size());
        if (!name.empty()) {
            if (name.front() != L'\\') return false;
            name.remove_prefix(1);
        }
        return EqualsIgnoreCase(StripTrailingBackslashes(name), subkey_);
    }

    void ParseLine(std::wstring_view s) {
        if (s.empty() || s.front() == L';' || s.find(kBadChar) != std::wstring_view::npos) return;
        if (s.front() == L'[') {
            if (s.size() >= 2 && s.back() == L']') {
                in_section_ = SectionMatches(s.substr(1, s.size() - 2));
                found_ = found_ || in_section_;
            }
            return;
        }
        if (!in_section_) return;
        std::wstring name;
        size_t pos = 1;
        if (s.front() == L'"') {
            pos = 0;
            if (!ParseQuoted(s, pos, name)) return;
        } else if (s.front() != L'@') {
            return;
        }
        if (pos >= s.size() || s[pos] != L'=') return;
        const std::wstring_view data = s.substr(pos + 1);
        if (data == L"-") {
            key_.values.erase(name);
            return;
        }
        Value v;
        if (ParseData(data, v)) key_.values.insert_or_assign(std::move(name), std::move(v));
    }

    std::wstring_view subkey_;
    RegKey& key_;
    bool in_section_ = false;
    bool found_ = false;
};

LONG ReadHive(const char* path, std::string& out) {
    // O_NONBLOCK keeps a FIFO at the path from stalling the open; it is refused below.
    const int fd = RetryOnEintr([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    const UniqueFd closer(fd);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uintmax_t>(st.st_size) > kMaxHiveBytes)
        return ERROR_ACCESS_DENIED;
    out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = RetryOnEintr([&] { return read(fd, buf, sizeof buf); });
        if (n == 0) return ERROR_SUCCESS;
        if (n < 0) return ERROR_ACCESS_DENIED;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > kMaxHiveBytes) return ERROR_ACCESS_DENIED;  // it grew while read
    }
}

}  // namespace

LONG RegOpenKeyExW(HKEY root, const wchar_t* subkey, DWORD /*options*/, REGSAM /*access*/,
                   HKEY* result) {
    if (result == nullptr) return kErrorInvalidParameter;
    *result = nullptr;
    if (root != HkeyLocalMachine()) return ERROR_FILE_NOT_FOUND;
    try {
        std::string bytes;
        const LONG rc = ReadHive(RegistryHivePath(), bytes);
        if (rc != ERROR_SUCCESS) return rc;
        auto key = std::make_unique<RegKey>();
        const std::wstring_view name = StripTrailingBackslashes(subkey ? subkey : L"");
        if (!HiveParser(name, *key).Parse(bytes)) return ERROR_FILE_NOT_FOUND;
        *result = key.release();
        return ERROR_SUCCESS;
    } catch (...) {  // bad_alloc: report the hive as unreadable rather than throw
        return ERROR_ACCESS_DENIED;
    }
}

LONG RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                      DWORD* size) {
    if (key == nullptr || size == nullptr) return kErrorInvalidParameter;
    if (key == HkeyLocalMachine()) return ERROR_FILE_NOT_FOUND;  // the root holds no values
    const auto it = key->values.find(std::wstring_view(name ? name : L""));
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    const std::vector<BYTE>& bytes = it->second.data;
    const auto needed = static_cast<DWORD>(bytes.size());
    if (type != nullptr) *type = it->second.type;
    if (data != nullptr) {
        if (needed > *size) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed > 0) std::memcpy(data, bytes.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (key != HkeyLocalMachine()) delete key;
    return ERROR_SUCCESS;
}

const char* RegistryHivePath() {
    // An empty variable counts as unset, so "SANDROW_REGISTRY=" cannot point at nothing.
    const char* path = std::getenv("SANDROW_REGISTRY");
    return path != nullptr && *path != '\0' ? path : "/etc/sandrow/registry.reg";
}

}  // namespace platform
