// Console formatting with the Windows runtime's conventions for string widths.
#include "log/console_print.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "platform/console.h"
#include "platform/text.h"

namespace {

enum class Length { None, hh, h, l, ll, L, j, z, t };

template <typename CharT>
bool IsDigit(CharT c) {
    return c >= CharT('0') && c <= CharT('9');
}

// Formats one conversion with the C library, given its narrowed directive (flags,
// width and precision already resolved into the text).
template <typename... Args>
void AppendFormatted(std::string& out, const std::string& directive, Args... args) {
    char small[128];
    int n = std::snprintf(small, sizeof(small), directive.c_str(), args...);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof(small)) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), directive.c_str(), args...);
    out.append(big.data(), static_cast<size_t>(n));
}

// A string argument padded and cut as %-10.3s would, counting characters.
void AppendString(std::string& out, const std::string& utf8, size_t characters, bool leftAlign,
                  int width) {
    size_t pad = width > 0 && static_cast<size_t>(width) > characters
                     ? static_cast<size_t>(width) - characters
                     : 0;
    if (!leftAlign) out.append(pad, ' ');
    out += utf8;
    if (leftAlign) out.append(pad, ' ');
}

template <typename CharT>
std::string Format(const CharT* format, va_list args) {
    constexpr bool kWideFormat = sizeof(CharT) != 1;
    std::string out;
    if (format == nullptr) return out;
    for (const CharT* p = format; *p != 0; ++p) {
        if (*p != CharT('%')) {
            if constexpr (kWideFormat) {
                platform::AppendUtf8(out, static_cast<uint32_t>(*p));
            } else {
                out.push_back(static_cast<char>(*p));
            }
            continue;
        }
        const CharT* start = p++;
        if (*p == CharT('%')) {
            out.push_back('%');
            continue;
        }
        std::string flags;
        while (*p == CharT('-') || *p == CharT('+') || *p == CharT(' ') || *p == CharT('#') ||
               *p == CharT('0')) {
            flags.push_back(static_cast<char>(*p++));
        }
        int width = -1;
        if (*p == CharT('*')) {
            width = va_arg(args, int);
            if (width < 0) {
                flags.push_back('-');
                width = -width;
            }
            ++p;
        } else if (IsDigit(*p)) {
            width = 0;
            while (IsDigit(*p)) width = width * 10 + static_cast<int>(*p++ - CharT('0'));
        }
        int precision = -1;
        if (*p == CharT('.')) {
            ++p;
            precision = 0;
            if (*p == CharT('*')) {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (IsDigit(*p))
                    precision = precision * 10 + static_cast<int>(*p++ - CharT('0'));
            }
        }
        Length length = Length::None;
        // Character width of %s and %c: h is narrow, l and w are wide; without
        // either, %s and %c follow the format's own width and %S and %C the other.
        enum class TextWidth { Default, Narrow, Wide } textWidth = TextWidth::Default;
        if (*p == CharT('h')) {
            ++p;
            length = Length::h;
            if (*p == CharT('h')) {
                ++p;
                length = Length::hh;
            }
            textWidth = TextWidth::Narrow;
        } else if (*p == CharT('l')) {
            ++p;
            length = Length::l;
            if (*p == CharT('l')) {
                ++p;
                length = Length::ll;
            }
            textWidth = TextWidth::Wide;
        } else if (*p == CharT('w')) {
            ++p;
            textWidth = TextWidth::Wide;
        } else if (*p == CharT('L')) {
            ++p;
            length = Length::L;
        } else if (*p == CharT('j')) {
            ++p;
            length = Length::j;
        } else if (*p == CharT('z')) {
            ++p;
            length = Length::z;
        } else if (*p == CharT('t')) {
            ++p;
            length = Length::t;
        } else if (*p == CharT('I')) {
            // I64 and I32 of the Windows runtime; a bare I is pointer-sized.
            ++p;
            if (p[0] == CharT('6') && p[1] == CharT('4')) {
                p += 2;
                length = Length::ll;
            } else if (p[0] == CharT('3') && p[1] == CharT('2')) {
                p += 2;
            } else {
                length = Length::z;
            }
        }
        CharT conversion = *p;
        bool narrowText = textWidth == TextWidth::Narrow;
        if (textWidth == TextWidth::Default) {
            bool upper = conversion == CharT('S') || conversion == CharT('C');
            narrowText = kWideFormat == upper;
        }
        std::string directive = "%" + flags;
        if (width >= 0) directive += std::to_string(width);
        if (precision >= 0) {
            // Appended in two steps: GCC 12's -Wrestrict misreads `"." + string&&`
            // once inlined (a known false positive of its optimiser).
            directive += '.';
            directive += std::to_string(precision);
        }
        switch (conversion) {
            case CharT('d'):
            case CharT('i'): {
                long long value;
                if (length == Length::l) {
                    value = va_arg(args, long);
                } else if (length == Length::ll || length == Length::j) {
                    value = va_arg(args, long long);
                } else if (length == Length::z || length == Length::t) {
                    value = va_arg(args, ptrdiff_t);
                } else {
                    int v = va_arg(args, int);
                    value = length == Length::h    ? static_cast<short>(v)
                            : length == Length::hh ? static_cast<signed char>(v)
                                                   : v;
                }
                AppendFormatted(out, directive + "lld", value);
                break;
            }
            case CharT('u'):
            case CharT('x'):
            case CharT('X'):
            case CharT('o'): {
                unsigned long long value;
                if (length == Length::l) {
                    value = va_arg(args, unsigned long);
                } else if (length == Length::ll || length == Length::j) {
                    value = va_arg(args, unsigned long long);
                } else if (length == Length::z || length == Length::t) {
                    value = va_arg(args, size_t);
                } else {
                    unsigned v = va_arg(args, unsigned);
                    value = length == Length::h    ? static_cast<unsigned short>(v)
                            : length == Length::hh ? static_cast<unsigned char>(v)
                                                   : v;
                }
                AppendFormatted(out, directive + "ll" + static_cast<char>(conversion), value);
                break;
            }
            case CharT('f'):
            case CharT('F'):
            case CharT('e'):
            case CharT('E'):
            case CharT('g'):
            case CharT('G'):
            case CharT('a'):
            case CharT('A'):
                if (length == Length::L) {
                    AppendFormatted(out, directive + "L" + static_cast<char>(conversion),
                                    va_arg(args, long double));
                } else {
                    AppendFormatted(out, directive + static_cast<char>(conversion),
                                    va_arg(args, double));
                }
                break;
            case CharT('c'):
            case CharT('C'): {
                std::string text;
                if (narrowText) {
                    text.push_back(static_cast<char>(va_arg(args, int)));
                } else {
                    platform::AppendUtf8(text, static_cast<uint32_t>(va_arg(args, wint_t)));
                }
                AppendString(out, text, 1, flags.find('-') != std::string::npos, width);
                break;
            }
            case CharT('s'):
            case CharT('S'): {
                std::string text;
                size_t characters = 0;
                if (narrowText) {
                    const char* s = va_arg(args, const char*);
                    if (s == nullptr) s = "(null)";
                    size_t n = std::strlen(s);
                    if (precision >= 0 && static_cast<size_t>(precision) < n) {
                        n = static_cast<size_t>(precision);
                    }
                    text.assign(s, n);
                    characters = n;
                } else {
                    const wchar_t* s = va_arg(args, const wchar_t*);
                    if (s == nullptr) s = L"(null)";
                    size_t n = std::wcslen(s);
                    if (precision >= 0 && static_cast<size_t>(precision) < n) {
                        n = static_cast<size_t>(precision);
                    }
                    for (size_t i = 0; i < n; ++i)
                        platform::AppendUtf8(text, static_cast<uint32_t>(s[i]));
                    characters = n;
                }
                AppendString(out, text, characters, flags.find('-') != std::string::npos, width);
                break;
            }
            case CharT('p'):
                AppendFormatted(out, directive + "p", va_arg(args, void*));
                break;
            default:
                // Unknown or truncated conversion: show it as written.
                for (const CharT* q = start; q <= p && *q != 0; ++q) {
                    platform::AppendUtf8(out, static_cast<uint32_t>(*q));
                }
                if (*p == 0) return out;
                break;
        }
    }
    return out;
}

}  // namespace

std::string FormatConsoleText(const char* format, va_list args) {
    return Format(format, args);
}

std::string FormatConsoleText(const wchar_t* format, va_list args) {
    return Format(format, args);
}

void ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatConsoleText(format, args);
    va_end(args);
    platform::ConsoleWrite(text);
}

void ConsolePrintf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatConsoleText(format, args);
    va_end(args);
    platform::ConsoleWrite(text);
}

WideOut::~WideOut() {
    platform::ConsoleWrite(platform::WideToUtf8(stream_.str()));
}
