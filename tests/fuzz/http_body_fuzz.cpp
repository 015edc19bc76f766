// Fuzzes the response splitting and the tag reader together: any bytes as an
// HTTP response, its body walked for server tags and read for the four
// configuration tags, the way the directory reads a reply.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/console.h"
#include "speedtest/tag_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        platform::SetConsoleSinkForTest([](std::string_view) {});
        return true;
    }();
    (void)quiet;

    const std::string response(reinterpret_cast<const char*>(data), size);
    std::string body;
    GetHttpBody(response, body);
    // A reply without a header is still worth walking: read it whole too.
    const std::string& document = body.empty() ? response : body;

    size_t position = 0;
    for (size_t rounds = 0; rounds <= document.size(); ++rounds) {
        AttributeMap record;
        size_t tagStart = 0;
        size_t tagEnd = 0;
        if (ExtractTagAttributes(document, position, "server", record, tagStart, tagEnd) != 0) {
            break;
        }
        if (tagStart < position || tagEnd < tagStart) __builtin_trap();
        position = tagStart + 1;
    }
    AttributeMap attributes;
    for (const char* tag : {"client", "times", "download", "upload"}) {
        size_t tagStart = 0;
        size_t tagEnd = 0;
        ExtractTagAttributes(document, 0, tag, attributes, tagStart, tagEnd);
    }
    for (auto& [name, value] : attributes) {
        std::string text = value;
        DecodeAmpersands(text);
        if (text.find("&amp;") != std::string::npos) __builtin_trap();
        StripQuotes(text);
        if (text.find('"') != std::string::npos) __builtin_trap();
    }
    return 0;
}
