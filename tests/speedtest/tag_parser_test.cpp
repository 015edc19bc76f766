// The text routines against tables of well-formed, odd and hostile input.
#include "speedtest/tag_parser.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/test_support.h"

namespace {

using namespace std::string_literals;

const std::string kChunked = "H\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST(GetHttpBody, SplitsAndDecodesBodies) {
    struct Case {
        std::string response, body;
        int result;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nabc", "abc", 0},
        {kChunked + "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", 0},
        {"HTTP/1.1 200 OK\r\n\r\n", "", -1},
        {"", "", -1},
        {kChunked + "A;name=x\r\n0123456789\r\n0\r\n\r\n", "0123456789", 0},
        {kChunked + "  0x4\r\nwxyz\r\n0\r\n\r\n", "wxyz", 0},
        {kChunked + "1a2\r\n" + std::string(418, 'q') + "\r\n0\r\n\r\n", std::string(418, 'q'), 0},
        {kChunked + "5\r\nab\0cd\r\n0\r\n\r\n"s, "ab", 0},  // chunk data ends at a NUL
        {"H\r\n\r\nab\0cd"s, "ab\0cd"s, 0},                 // a plain body keeps it
        {kChunked + "7fffffff\r\nonly this", "only this", 0},
        {kChunked + "fffffffffff\r\nxy", "xy", 0},
        // Absurd sizes never allocate what they name: a chunk holds what came.
        {kChunked + "8000000000000000\r\nab\r\n0\r\n\r\n", "ab\r\n0\r\n\r\n", 0},
        {kChunked + "FFFFFFFFFFFFFFFF\r\nab\r\n0\r\n\r\n", "ab\r\n0\r\n\r\n", 0},
        {kChunked + "10000000000000000\r\nab\r\n0\r\n\r\n", "ab\r\n0\r\n\r\n", 0},
        {kChunked + "0x8000000000000000\r\nab\r\n0\r\n\r\n", "ab\r\n0\r\n\r\n", 0},
        {kChunked + std::string(1 << 20, 'f') + "\r\nab", "ab", 0},
        {kChunked + "-5\r\n3\r\nabc\r\n0\r\n\r\n", "abc", 0},
        {kChunked + "-8000000000000000\r\n3\r\nabc\r\n0\r\n\r\n", "abc", 0},
        {kChunked + "2\r\nab\r\n0\r\n2\r\ncd", "ab", 0},  // two zero lines end it
        {kChunked + "zz\r\nyy\r\nabc", "", -1},
        {kChunked + "10", "", -1},
        {"H\r\ntransfer-encoding: chunked\r\n\r\n1\r\nx", "1\r\nx", 0},
        {"H\r\n\r\nTransfer-Encoding: chunked\r\n\r\n", "Transfer-Encoding: chunked\r\n\r\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.response);
        test::ConsoleCapture console;
        std::string body = "left over";
        EXPECT_EQ(GetHttpBody(c.response, body), c.result);
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(console.text(), c.response.empty() ? "No Header detected in Data:\r\n\n" : "");
    }
}

// The attributes as "name=value|...", positions as -1 when not written.
TEST(ExtractTagAttributes, ReadsTagsAsTheDirectoryWritesThem) {
    struct Case {
        std::string document;
        size_t start;
        std::string tag;
        int result;
        std::string attributes;
        long tagStart, tagEnd;
    } cases[] = {
        {"<s>\n<client ip=\"10.1.2.3\" isp=\"Stadt  &amp;\tLand Net\" lat=\"52.5\" />", 0, "client",
         0, "ip=\"10.1.2.3\"|isp=\"Stadt & Land Net\"|lat=\"52.5\"|", 4, 65},
        {"<times a=\"1\" />", 0, "client", -1, "", -1, -1},
        {"<client/>", 0, "client", -1, "", -1, -1},  // the blank is part of the opening
        {"<a x=1 />", 1, "a", -1, "", -1, -1},
        {"<client lat=\"1\" ", 0, "client", -2, "", 0, -1},
        {"<client \t\r\n/>", 0, "client", -2, "", 0, 11},
        {"<d t=\"10\"><x y=\"2\"/></d>", 0, "d", 0, "t=\"10\"><x|y=\"2\"|", 0, 18},  // first "/>"
        {"<up ratio=\"5\">body words</up>", 0, "up", 0, "ratio=\"5\">body words|", 0, 24},
        {"<times alpha beta dl1=\"1\" gamma ul1=\"2\" />", 0, "times", 0,
         "dl1=\"1\" gamma|ul1=\"2\"|", 0, 40},
        {"<t a==b =c a=1 a=2 />", 0, "t", 0, "=c|a=2|", 0, 19},
        {"<t a=x\0y />"s, 0, "t", 0, "a=x\0y|"s, 0, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        test::ConsoleCapture console;
        AttributeMap attributes;
        size_t tagStart = std::string::npos, tagEnd = std::string::npos;
        EXPECT_EQ(ExtractTagAttributes(c.document, c.start, c.tag, attributes, tagStart, tagEnd),
                  c.result);
        std::string joined;
        for (const auto& [name, value] : attributes) joined += name + "=" + value + "|";
        EXPECT_EQ(joined, c.attributes);
        EXPECT_EQ(static_cast<long>(tagStart), c.tagStart);
        EXPECT_EQ(static_cast<long>(tagEnd), c.tagEnd);
        EXPECT_EQ(console.text(), c.tagEnd == -1 && c.tagStart == 0
                                      ? "ExtractTagAttributes: failed to find end tag for: client\n"
                                      : "");
    }
}

// Every record of a walk, as the directory walks a server list: attributes,
// positions and the result that ended it.
template <typename Extract>
std::string WalkText(const std::string& document, Extract extract) {
    std::string text;
    size_t position = 0;
    for (;;) {
        AttributeMap record{{"kept", "1"}};  // what a record held stays unless named again
        size_t tagStart = 7, tagEnd = 7;
        int result = extract(document, position, "server", record, tagStart, tagEnd);
        text += std::to_string(result) + "@" + std::to_string(tagStart) + "-" +
                std::to_string(tagEnd) + ":";
        for (const auto& [name, value] : record) text += name + "=" + value + "|";
        text += "\n";
        if (result != 0) return text;
        position = tagStart + 1;
    }
}

// The walk that remembers what it read must agree with reading every tag
// afresh, on any document built from the pieces that matter.
TEST(TagWalk, AgreesWithReadingEachTagAfresh) {
    const std::string pieces[] = {"<server ", "<server ", "/>",      "</server>", " ",
                                  "\t",       "a=1",      "a=",      "b=2",       "word",
                                  "=",        "&amp;",    "<server", "<s>",       "x"};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    test::ConsoleCapture console;  // "failed to find end tag" lines
    for (int round = 0; round < 20000; ++round) {
        std::string document;
        for (uint32_t n = next() % 40; n > 0; --n) document += pieces[(next() >> 8) % 15];
        TagWalk walk;
        auto walked = [&walk](auto&&... a) { return walk.Extract(a...); };
        ASSERT_EQ(WalkText(document, walked), WalkText(document, ExtractTagAttributes)) << document;
    }
}

// Many openings before one distant end: each record is the rest of the
// document up to it, which read afresh costs the document's size per record.
TEST(TagWalk, TenMegabytesOfOpeningsBeforeOneEndTakeLinearTime) {
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
    const auto limit = std::chrono::seconds(1);
#else
    const auto limit = std::chrono::seconds(10);  // unoptimised or instrumented
#endif
    for (const std::string end : {"/>", "</server>"}) {
        std::string document;
        size_t openings = 0;
        while (document.size() < 10'000'000) {
            document += "<server a=" + std::to_string(openings++) + " ";
        }
        document += end;
        auto start = std::chrono::steady_clock::now();
        TagWalk walk;
        size_t records = 0, position = 0, tagStart = 0, tagEnd = 0;
        AttributeMap record;
        while (walk.Extract(document, position, "server", record, tagStart, tagEnd) == 0) {
            ++records;
            position = tagStart + 1;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, limit) << end;
        EXPECT_EQ(records, openings) << end;
        EXPECT_EQ(tagEnd, document.size() - end.size()) << end;
    }
}

}  // namespace
