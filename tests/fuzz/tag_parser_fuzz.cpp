// Fuzzes the tag reader and its value clean-up on any document: every tag of
// the names the directory reads, and of the first name the document itself
// opens a tag with, walked the way the directory walks a server list, each
// answer checked against the document.
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
// The reference decoder is quadratic: texts are cut to this length.
constexpr size_t kReferenceLimit = 1024;

// "&amp;" becomes "&" until none is left, one at a time from the left.
void CheckDecoded(const std::string& value) {
    std::string expected = value;
    for (size_t at = expected.find("&amp;"); at != std::string::npos; at = expected.find("&amp;")) {
        expected.erase(at + 1, 4);
    }
    std::string decoded = value;
    DecodeAmpersands(decoded);
    FUZZ_CHECK(decoded == expected);
}

// One call, checked: where the tag starts is where "<name " first occurs at
// or after `start`, and a found tag ends at "/>" or "</name>" after it, its
// names without blanks or "=", its values words joined by single blanks.
int Extract(const std::string& document, size_t start, const std::string& name,
            AttributeMap& attributes, size_t& tagStart) {
    size_t tagEnd = 0;
    tagStart = 0;
    int result = ExtractTagAttributes(document, start, name, attributes, tagStart, tagEnd);
    FUZZ_CHECK(result == 0 || result == -1 || result == -2);
    size_t expected = document.find("<" + name + " ", start);
    FUZZ_CHECK(result == -1 ? expected == std::string::npos : tagStart == expected);
    if (result != 0) return result;
    FUZZ_CHECK(tagEnd >= tagStart && tagEnd < document.size());
    const std::string closing = "</" + name + ">";
    FUZZ_CHECK(document.compare(tagEnd, 2, "/>") == 0 ||
               document.compare(tagEnd, closing.size(), closing) == 0);
    for (const auto& [key, value] : attributes) {
        FUZZ_CHECK(key.find_first_of(std::string(kWhiteSpace) + "=") == std::string::npos);
        FUZZ_CHECK(value.find_first_of("\t\r\n\v\f") == std::string::npos);
        FUZZ_CHECK(value.find("  ") == std::string::npos);
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

    // Every tag of each name in turn, each into a fresh record; a tag without
    // an end stops the walk as it stops the directory's.
    for (const std::string& name : names) {
        size_t position = 0;
        for (;;) {
            AttributeMap record;
            size_t tagStart = 0;
            if (Extract(document, position, name, record, tagStart) != 0) break;
            FUZZ_CHECK(tagStart >= position);
            position = tagStart + 1;
        }
    }
    CheckDecoded(document.substr(0, kReferenceLimit));
    return 0;
}
