// Response splitting, chunked decoding and the tag-attribute reader. Every
// routine works in one pass over text that strangers sent: no input makes it
// allocate more than that text or go round without consuming it.
#include "speedtest/tag_parser.h"

#include <algorithm>
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

namespace {

// Where the tag opened at `found` ends: its first "/>", else its "</name>";
// npos when it has neither.
size_t FindTagEnd(const std::string& document, size_t found, const std::string& name) {
    size_t end = document.find("/>", found);
    if (end == std::string::npos) end = document.find("</" + name + ">", found);
    return end;
}

// From the blank after the name to the end marker. A name holding "/>" could
// end the tag inside its own opening text: then nothing is inside.
std::string_view Inner(const std::string& document, size_t found, const std::string& name,
                       size_t end) {
    size_t innerStart = found + 1 + name.size();
    if (end <= innerStart) return {};
    return std::string_view(document).substr(innerStart, end - innerStart);
}

// Words separated by white space; a word with "=" starts a token, one without
// joins the current token after a single blank. `take(offset, name, value)`
// gets each token with a "=" in document order, `offset` being where it
// starts in `inner`. Returns false when there is no word at all.
template <typename Take>
bool ForEachToken(std::string_view inner, Take take) {
    auto store = [&take](size_t offset, std::string_view token) {
        size_t equals = token.find('=');
        if (equals == std::string_view::npos) return;
        take(offset, token.substr(0, equals), token.substr(equals + 1));
    };
    bool anyWord = false;
    size_t tokenStart = 0;
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
            if (anyWord) store(tokenStart, isJoined ? std::string_view(joined) : token);
            anyWord = true;
            tokenStart = wordStart;
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
    if (anyWord) store(tokenStart, isJoined ? std::string_view(joined) : token);
    return anyWord;
}

void Assign(AttributeMap& attributes, std::string_view name, std::string_view value) {
    std::string decoded(value);
    DecodeAmpersands(decoded);
    attributes.insert_or_assign(std::string(name), std::move(decoded));
}

void ReportNoEnd(const std::string& name) {
    ConsolePrintf(L"ExtractTagAttributes: failed to find end tag for: %hs\n", name.c_str());
}

}  // namespace

int ExtractTagAttributes(const std::string& document, size_t start, const std::string& name,
                         AttributeMap& attributes, size_t& tagStart, size_t& tagEnd) {
    const std::string opening = "<" + name + " ";
    size_t found = document.find(opening, start);
    if (found == std::string::npos) return -1;
    tagStart = found;
    size_t end = FindTagEnd(document, found, name);
    if (end == std::string::npos) {
        ReportNoEnd(name);
        return -2;
    }
    tagEnd = end;
    // Each token is stored as it completes, so a later one of the same name wins.
    bool anyWord = ForEachToken(Inner(document, found, name, end),
                                [&attributes](size_t, std::string_view n, std::string_view v) {
                                    Assign(attributes, n, v);
                                });
    return anyWord ? 0 : -2;
}

// The end marker found from an earlier opening is the first at or after it,
// so it is also the first from any later opening before it.
bool TagWalk::Covers(const std::string& document, const std::string& name, size_t opening) const {
    return document_ == &document && name_ == name && opening >= from_ + 1 + name.size() &&
           opening < end_;
}

// The tokens of the text from this opening to its end, once: for every name,
// where its last token starts and that token's value. A later opening before
// the same end sees a suffix of this text, whose attributes are then exactly
// the names whose last token lies inside it.
void TagWalk::Learn(const std::string& document, const std::string& name, size_t opening,
                    size_t end) {
    document_ = &document;
    name_ = name;
    from_ = opening;
    end_ = end;
    last_.clear();
    std::string_view inner = Inner(document, opening, name, end);
    const size_t base = opening + 1 + name.size();
    size_t lastNonBlank = inner.find_last_not_of(kWhiteSpace);
    lastWord_ = lastNonBlank == std::string_view::npos ? 0 : base + lastNonBlank + 1;
    std::map<std::string, size_t, std::less<>> index;  // name to its entry in last_
    ForEachToken(inner, [&](size_t offset, std::string_view n, std::string_view v) {
        auto at = index.find(n);
        if (at == index.end()) {
            index.emplace(std::string(n), last_.size());
            last_.push_back({base + offset, std::string(n), std::string(v)});
        } else {
            last_[at->second].position = base + offset;
            last_[at->second].value.assign(v);
        }
    });
    std::sort(last_.begin(), last_.end(),
              [](const LastValue& a, const LastValue& b) { return a.position < b.position; });
}

int TagWalk::Extract(const std::string& document, size_t start, const std::string& name,
                     AttributeMap& attributes, size_t& tagStart, size_t& tagEnd) {
    const std::string opening = "<" + name + " ";
    size_t found = document.find(opening, start);
    if (found == std::string::npos) return -1;
    tagStart = found;
    if (!Covers(document, name, found)) {
        size_t end = FindTagEnd(document, found, name);
        if (end == std::string::npos) {
            ReportNoEnd(name);
            return -2;
        }
        Learn(document, name, found, end);
    }
    tagEnd = end_;
    // The inner text begins on the blank of the opening, so its words are
    // words of the learnt text too; a token cut by its start keeps only
    // words without "=", which store nothing.
    const size_t innerStart = found + 1 + name.size();
    if (lastWord_ <= innerStart) return -2;
    auto first = std::lower_bound(
        last_.begin(), last_.end(), innerStart,
        [](const LastValue& entry, size_t position) { return entry.position < position; });
    for (auto it = first; it != last_.end(); ++it) Assign(attributes, it->name, it->value);
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
