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
void AppendString(std::string& out, std::string_view utf8, size_t characters, bool leftAlign,
                  int width) {
    size_t pad = width > 0 && static_cast<size_t>(width) > characters
                     ? static_cast<size_t>(width) - characters
                     : 0;
    if (!leftAlign) out.append(pad, ' ');
    out += utf8;
    if (leftAlign) out.append(pad, ' ');
}

// Character width of %s and %c: h is narrow, l and w are wide; without
// either, %s and %c follow the format's own width and %S and %C the other.
enum class TextWidth { Default, Narrow, Wide };

// What one directive says before its conversion character.
struct Directive {
    std::string flags;
    int width = -1;      // -1: none
    int precision = -1;  // -1: none
    Length length = Length::None;
    TextWidth textWidth = TextWidth::Default;

    bool LeftAlign() const { return flags.find('-') != std::string::npos; }
};

// The caller's arguments, read in order by every piece of one format. A copy
// of the list, so that the pieces can share it by reference on every ABI.
class Arguments {
  public:
    explicit Arguments(va_list args) { va_copy(list_, args); }
    ~Arguments() { va_end(list_); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    template <typename T>
    T Next() {
        return va_arg(list_, T);
    }

  private:
    va_list list_;
};

// Flags, width and precision; a * takes its number from the arguments, in
// the order written, before the value itself.
template <typename CharT>
void ReadFlagsWidthPrecision(const CharT*& p, Arguments& args, Directive& d) {
    while (*p == CharT('-') || *p == CharT('+') || *p == CharT(' ') || *p == CharT('#') ||
           *p == CharT('0')) {
        d.flags.push_back(static_cast<char>(*p++));
    }
    if (*p == CharT('*')) {
        d.width = args.Next<int>();
        if (d.width < 0) {
            d.flags.push_back('-');
            d.width = -d.width;
        }
        ++p;
    } else if (IsDigit(*p)) {
        d.width = 0;
        while (IsDigit(*p)) d.width = d.width * 10 + static_cast<int>(*p++ - CharT('0'));
    }
    if (*p == CharT('.')) {
        ++p;
        d.precision = 0;
        if (*p == CharT('*')) {
            d.precision = args.Next<int>();
            ++p;
        } else {
            while (IsDigit(*p))
                d.precision = d.precision * 10 + static_cast<int>(*p++ - CharT('0'));
        }
    }
}

// The length modifier, with the Windows runtime's w, I, I32 and I64 beside
// the C library's own.
template <typename CharT>
void ReadLength(const CharT*& p, Directive& d) {
    if (*p == CharT('h')) {
        ++p;
        d.length = Length::h;
        if (*p == CharT('h')) {
            ++p;
            d.length = Length::hh;
        }
        d.textWidth = TextWidth::Narrow;
    } else if (*p == CharT('l')) {
        ++p;
        d.length = Length::l;
        if (*p == CharT('l')) {
            ++p;
            d.length = Length::ll;
        }
        d.textWidth = TextWidth::Wide;
    } else if (*p == CharT('w')) {
        ++p;
        d.textWidth = TextWidth::Wide;
    } else if (*p == CharT('L')) {
        ++p;
        d.length = Length::L;
    } else if (*p == CharT('j')) {
        ++p;
        d.length = Length::j;
    } else if (*p == CharT('z')) {
        ++p;
        d.length = Length::z;
    } else if (*p == CharT('t')) {
        ++p;
        d.length = Length::t;
    } else if (*p == CharT('I')) {
        // I64 and I32 of the Windows runtime; a bare I is pointer-sized.
        ++p;
        if (p[0] == CharT('6') && p[1] == CharT('4')) {
            p += 2;
            d.length = Length::ll;
        } else if (p[0] == CharT('3') && p[1] == CharT('2')) {
            p += 2;
        } else {
            d.length = Length::z;
        }
    }
}

// The directive as the C library reads it, up to its length and conversion.
std::string PrintfPrefix(const Directive& d) {
    std::string directive = "%" + d.flags;
    if (d.width >= 0) directive += std::to_string(d.width);
    if (d.precision >= 0) {
        // Appended in two steps: GCC 12's -Wrestrict misreads `"." + string&&`
        // once inlined (a known false positive of its optimiser).
        directive += '.';
        directive += std::to_string(d.precision);
    }
    return directive;
}

// Whether %s or %c reads a narrow argument under this directive.
template <typename CharT>
bool IsNarrowText(const Directive& d, CharT conversion) {
    constexpr bool kWideFormat = sizeof(CharT) != 1;
    if (d.textWidth != TextWidth::Default) return d.textWidth == TextWidth::Narrow;
    bool upper = conversion == CharT('S') || conversion == CharT('C');
    return kWideFormat == upper;
}

// %d and %i: the argument read at the size its length names, printed as long long.
void AppendSigned(std::string& out, const Directive& d, Arguments& args) {
    long long value;
    if (d.length == Length::l) {
        value = args.Next<long>();
    } else if (d.length == Length::ll || d.length == Length::j) {
        value = args.Next<long long>();
    } else if (d.length == Length::z || d.length == Length::t) {
        value = args.Next<ptrdiff_t>();
    } else {
        int v = args.Next<int>();
        value = d.length == Length::h    ? static_cast<short>(v)
                : d.length == Length::hh ? static_cast<signed char>(v)
                                         : v;
    }
    AppendFormatted(out, PrintfPrefix(d) + "lld", value);
}

// %u, %x, %X and %o: likewise, as unsigned long long.
void AppendUnsigned(std::string& out, const Directive& d, char conversion, Arguments& args) {
    unsigned long long value;
    if (d.length == Length::l) {
        value = args.Next<unsigned long>();
    } else if (d.length == Length::ll || d.length == Length::j) {
        value = args.Next<unsigned long long>();
    } else if (d.length == Length::z || d.length == Length::t) {
        value = args.Next<size_t>();
    } else {
        unsigned v = args.Next<unsigned>();
        value = d.length == Length::h    ? static_cast<unsigned short>(v)
                : d.length == Length::hh ? static_cast<unsigned char>(v)
                                         : v;
    }
    AppendFormatted(out, PrintfPrefix(d) + "ll" + conversion, value);
}

// %f, %e, %g and %a in either case: a double, or a long double after L.
void AppendFloating(std::string& out, const Directive& d, char conversion, Arguments& args) {
    if (d.length == Length::L) {
        AppendFormatted(out, PrintfPrefix(d) + "L" + conversion, args.Next<long double>());
    } else {
        AppendFormatted(out, PrintfPrefix(d) + conversion, args.Next<double>());
    }
}

// %c and %C: one character, narrow or wide, as UTF-8.
void AppendCharacter(std::string& out, const Directive& d, bool narrowText, Arguments& args) {
    std::string text;
    if (narrowText) {
        text.push_back(static_cast<char>(args.Next<int>()));
    } else {
        platform::AppendUtf8(text, static_cast<uint32_t>(args.Next<wint_t>()));
    }
    AppendString(out, text, 1, d.LeftAlign(), d.width);
}

// %s and %S: a narrow or wide string, cut at the precision in characters;
// a null pointer prints as "(null)". A narrow string goes into the output
// uncopied: some quote a whole reply of many megabytes.
void AppendText(std::string& out, const Directive& d, bool narrowText, Arguments& args) {
    auto cut = [&d](size_t n) {
        return d.precision >= 0 && static_cast<size_t>(d.precision) < n
                   ? static_cast<size_t>(d.precision)
                   : n;
    };
    if (narrowText) {
        const char* s = args.Next<const char*>();
        if (s == nullptr) s = "(null)";
        const size_t n = cut(std::strlen(s));
        AppendString(out, std::string_view(s, n), n, d.LeftAlign(), d.width);
        return;
    }
    const wchar_t* s = args.Next<const wchar_t*>();
    if (s == nullptr) s = L"(null)";
    const size_t n = cut(std::wcslen(s));
    std::string text;
    for (size_t i = 0; i < n; ++i) platform::AppendUtf8(text, static_cast<uint32_t>(s[i]));
    AppendString(out, text, n, d.LeftAlign(), d.width);
}

// The conversion at *p of the directive that began at `start`. False when the
// format ends inside the directive: the caller stops there.
template <typename CharT>
bool AppendConversion(std::string& out, const CharT* start, const CharT* p, const Directive& d,
                      Arguments& args) {
    const CharT conversion = *p;
    switch (conversion) {
        case CharT('d'):
        case CharT('i'):
            AppendSigned(out, d, args);
            return true;
        case CharT('u'):
        case CharT('x'):
        case CharT('X'):
        case CharT('o'):
            AppendUnsigned(out, d, static_cast<char>(conversion), args);
            return true;
        case CharT('f'):
        case CharT('F'):
        case CharT('e'):
        case CharT('E'):
        case CharT('g'):
        case CharT('G'):
        case CharT('a'):
        case CharT('A'):
            AppendFloating(out, d, static_cast<char>(conversion), args);
            return true;
        case CharT('c'):
        case CharT('C'):
            AppendCharacter(out, d, IsNarrowText(d, conversion), args);
            return true;
        case CharT('s'):
        case CharT('S'):
            AppendText(out, d, IsNarrowText(d, conversion), args);
            return true;
        case CharT('p'):
            AppendFormatted(out, PrintfPrefix(d) + "p", args.Next<void*>());
            return true;
        default:
            // Unknown or truncated conversion: show it as written.
            for (const CharT* q = start; q <= p && *q != 0; ++q) {
                platform::AppendUtf8(out, static_cast<uint32_t>(*q));
            }
            return *p != 0;
    }
}

// Literal text is copied (a wide format's as UTF-8), %% is one %, and every
// other directive is read and converted by the pieces above.
template <typename CharT>
std::string Format(const CharT* format, va_list list) {
    constexpr bool kWideFormat = sizeof(CharT) != 1;
    std::string out;
    if (format == nullptr) return out;
    Arguments args(list);
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
        Directive d;
        ReadFlagsWidthPrecision(p, args, d);
        ReadLength(p, d);
        if (!AppendConversion(out, start, p, d, args)) return out;
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
