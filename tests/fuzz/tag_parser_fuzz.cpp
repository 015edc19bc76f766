// Fuzzes the tag reader and its two value clean-ups on any document: every
// tag of the names the directory reads, and of the first name the document
// itself opens a tag with, walked the way the directory walks a server list,
// each answer checked against the document.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/console.h"
#include "speedtest/tag_parser.h"

namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";
// The reference decoder is quadratic; longer texts are checked for the
// properties only.
constexpr size_t kReferenceLimit = 1024;

// "&amp;" becomes "&" until none is left, one at a time from the left.
std::string DecodedByReference(std::string text) {
    for (size_t at = text.find("&amp;"); at != std::string::npos; at = text.find("&amp;")) {
        text.erase(at + 1, 4);
    }
    return text;
}

void CheckValue(const std::string& value) {
    std::string decoded = value;
    DecodeAmpersands(decoded);
    FUZZ_CHECK(decoded.find("&amp;") == std::string::npos && decoded.size() <= value.size());
    if (value.size() <= kReferenceLimit) FUZZ_CHECK(decoded == DecodedByReference(value));
    std::string again = decoded;
    DecodeAmpersands(again);
    FUZZ_CHECK(again == decoded);

    std::string stripped = decoded;
    StripQuotes(stripped);
    FUZZ_CHECK(stripped.find('"') == std::string::npos &&
               stripped.size() + std::count(decoded.begin(), decoded.end(), '"') == decoded.size());
}

// A stored name is what comes before "=" in a word; a value is words joined by
// single blanks, its entities already decoded.
void CheckAttributes(const AttributeMap& attributes) {
    for (const auto& [name, value] : attributes) {
        FUZZ_CHECK(name.find_first_of(std::string(kWhiteSpace) + "=") == std::string::npos);
        FUZZ_CHECK(value.find_first_of("\t\r\n\v\f") == std::string::npos);
        FUZZ_CHECK(value.find("  ") == std::string::npos &&
                   value.find("&amp;") == std::string::npos);
    }
}

// One call, checked: where the tag starts is where "<name " first occurs at
// or after `start`, and a found tag ends at "/>" or "</name>" after it.
int Extract(const std::string& document, size_t start, const std::string& name,
            AttributeMap& attributes, size_t& tagStart) {
    const std::string opening = "<" + name + " ";
    size_t tagEnd = 0;
    tagStart = 0;
    int result = ExtractTagAttributes(document, start, name, attributes, tagStart, tagEnd);
    FUZZ_CHECK(result == 0 || result == -1 || result == -2);
    size_t expected = document.find(opening, start);
    if (result == -1) {
        FUZZ_CHECK(expected == std::string::npos);
        return result;
    }
    FUZZ_CHECK(tagStart == expected);
    if (result == 0) {
        FUZZ_CHECK(tagEnd >= tagStart && tagEnd < document.size());
        const std::string closing = "</" + name + ">";
        FUZZ_CHECK(document.compare(tagEnd, 2, "/>") == 0 ||
                   document.compare(tagEnd, closing.size(), closing) == 0);
        CheckAttributes(attributes);
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        platform::SetConsoleSinkForTest([](std::string_view) {});
        return true;
    }();
    (void)quiet;

    const std::string document(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> names = {"server", "client", "times", "download", "upload"};
    // The document's own first tag name, so that names the directory never
    // asks for (empty, odd bytes, "/>" inside) are read too.
    size_t open = document.find('<');
    if (open != std::string::npos) {
        size_t end = document.find_first_of(kWhiteSpace, open + 1);
        if (end != std::string::npos && end - open - 1 <= 32) {
            names.push_back(document.substr(open + 1, end - open - 1));
        }
    }

    for (const std::string& name : names) {
        // Every tag of the name in turn, each into a fresh record; a tag
        // without an end stops the walk as it stops the directory's.
        size_t position = 0;
        for (;;) {
            AttributeMap record;
            size_t tagStart = 0;
            if (Extract(document, position, name, record, tagStart) != 0) break;
            FUZZ_CHECK(tagStart >= position);
            position = tagStart + 1;
        }
    }
    // The configuration's way: one map that each tag adds to.
    AttributeMap merged;
    for (const std::string& name : names) {
        size_t tagStart = 0;
        Extract(document, 0, name, merged, tagStart);
    }
    for (const auto& [name, value] : merged) CheckValue(value);
    CheckValue(document.substr(0, kReferenceLimit));
    return 0;
}
