// Response splitting, chunked decoding and the tag-attribute reader. Every
// routine works in one pass over text that strangers sent: no input makes it
// allocate more than that text or go round without consuming it.
#include "speedtest/tag_parser.h"

#include <climits>
#include <cstdint>
#include <string_view>

#include "log/console_print.h"

namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";

// Reads up to the next "\n", which is consumed and not kept. At the end of
// the text the line is empty.
std::string_view ReadLine(std::string_view text, size_t& position) {
    if (position >= text.size()) return {};
    size_t end = text.find('\n', position);
    std::string_view line;
    if (end == std::string_view::npos) {
        line = text.substr(position);
        position = text.size();
    } else {
        line = text.substr(position, end - position);
        position = end + 1;
    }
    return line;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A chunk-size line as strtol reads it in base 16: leading white space, an
// optional sign and "0x", then hex digits up to the first other character.
// Values beyond 32 bits saturate at the signed 32-bit limits.
int32_t ParseChunkSize(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && kWhiteSpace.find(line[i]) != std::string_view::npos) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) {
        negative = line[i] == '-';
        ++i;
    }
    if (i + 2 < line.size() && line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X') &&
        HexDigit(line[i + 2]) >= 0) {
        i += 2;
    }
    int64_t value = 0;
    for (; i < line.size(); ++i) {
        int digit = HexDigit(line[i]);
        if (digit < 0) break;
        value = value * 16 + digit;
        if (value > INT64_C(0x100000000)) value = INT64_C(0x100000000);  // saturated anyway
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Chunked transfer coding. A size of 0 or less is taken as the empty line
// after a chunk's data when the next line names a size; two such lines in a
// row end the body. Data is taken as far as the text has it, so a size
// names at most what arrived, and stops at its first NUL.
void DecodeChunked(std::string_view rest, std::string& body) {
    size_t position = 0;
    for (;;) {
        int32_t size = ParseChunkSize(ReadLine(rest, position));
        if (size <= 0) {
            size = ParseChunkSize(ReadLine(rest, position));
            if (size <= 0) return;
        }
        size_t available = rest.size() - position;
        size_t take = static_cast<size_t>(size) < available ? static_cast<size_t>(size) : available;
        std::string_view data = rest.substr(position, take);
        position += take;
        body.append(data.substr(0, data.find('\0')));
    }
}

}  // namespace

int GetHttpBody(const std::string& response, std::string& body) {
    body.clear();
    size_t blank = response.find("\r\n\r\n");
    if (blank == std::string::npos) {
        ConsolePrintf(L"No Header detected in Data:\r\n%hs\n", response.c_str());
        return -1;
    }
    std::string_view header(response.data(), blank);
    std::string_view rest = std::string_view(response).substr(blank + 4);
    if (header.find("Transfer-Encoding: chunked") != std::string_view::npos) {
        DecodeChunked(rest, body);
    } else {
        body.assign(rest);
    }
    return body.empty() ? -1 : 0;
}

int ExtractTagAttributes(const std::string& document, size_t start, const std::string& name,
                         AttributeMap& attributes, size_t& tagStart, size_t& tagEnd) {
    const std::string opening = "<" + name + " ";
    size_t found = document.find(opening, start);
    if (found == std::string::npos) return -1;
    tagStart = found;

    size_t end = document.find("/>", found);
    if (end == std::string::npos) {
        end = document.find("</" + name + ">", found);
        if (end == std::string::npos) {
            ConsolePrintf(L"ExtractTagAttributes: failed to find end tag for: %hs\n", name.c_str());
            return -2;
        }
    }
    tagEnd = end;

    // From the blank after the name to the end marker. A name holding "/>"
    // could end the tag inside its own opening text: then nothing is inside.
    size_t innerStart = found + 1 + name.size();
    std::string_view inner;
    if (end > innerStart) inner = std::string_view(document).substr(innerStart, end - innerStart);

    // Words separated by white space; a word with "=" starts a token, one
    // without joins the current token after a single blank. Each token is
    // stored as soon as the next one starts, which keeps the document order.
    auto store = [&attributes](std::string_view token) {
        size_t equals = token.find('=');
        if (equals == std::string_view::npos) return;
        std::string value(token.substr(equals + 1));
        DecodeAmpersands(value);
        attributes.insert_or_assign(std::string(token.substr(0, equals)), std::move(value));
    };
    bool anyWord = false;
    std::string_view token;  // the current token while it is a single word
    std::string joined;      // the current token once words were joined to it
    bool isJoined = false;
    size_t i = 0;
    for (;;) {
        size_t wordStart = inner.find_first_not_of(kWhiteSpace, i);
        if (wordStart == std::string_view::npos) break;
        size_t wordEnd = inner.find_first_of(kWhiteSpace, wordStart);
        if (wordEnd == std::string_view::npos) wordEnd = inner.size();
        std::string_view word = inner.substr(wordStart, wordEnd - wordStart);
        i = wordEnd;
        if (!anyWord || word.find('=') != std::string_view::npos) {
            if (anyWord) store(isJoined ? std::string_view(joined) : token);
            anyWord = true;
            token = word;
            isJoined = false;
            continue;
        }
        if (!isJoined) {
            joined.assign(token);
            isJoined = true;
        }
        joined.push_back(' ');
        joined.append(word);
    }
    if (!anyWord) return -2;
    store(isJoined ? std::string_view(joined) : token);
    return 0;
}

void DecodeAmpersands(std::string& text) {
    // Erasing "amp;" after the first "&amp;" from the start, until none is
    // left, gives the same text as folding each "&amp;" into its "&" the
    // moment it is complete, left to right: "&amp;" cannot overlap itself,
    // so every new match ends where the text was just joined. One pass.
    static constexpr std::string_view kEntity = "&amp;";
    if (text.find(kEntity) == std::string::npos) return;
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c == ';' && out.size() >= kEntity.size() &&
            std::string_view(out).substr(out.size() - kEntity.size()) == kEntity) {
            out.resize(out.size() - 4);
        }
    }
    text.swap(out);
}

void StripQuotes(std::string& text) {
    std::erase(text, '"');
}
