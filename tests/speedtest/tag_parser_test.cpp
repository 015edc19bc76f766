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
        std::string console;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nabc", "abc", 0, ""},
        {kChunked + "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde", 0, ""},
        {"HTTP/1.1 200 OK\r\n\r\n", "", -1, ""},
        {"", "", -1, "No Header detected in Data:\r\n\n"},
        {"ab\0\r\n"s, "", -1, "No Header detected in Data:\r\nab\n"},
        {kChunked + "A;name=x\r\n0123456789\r\n0\r\n\r\n", "0123456789", 0, ""},
        {kChunked + "  0x4\r\nwxyz\r\n0\r\n\r\n", "wxyz", 0, ""},
        {kChunked + "1a2\r\n" + std::string(418, 'q') + "\r\n0\r\n\r\n", std::string(418, 'q'), 0,
         ""},
        {kChunked + "5\r\nab\0cd\r\n0\r\n\r\n"s, "ab", 0, ""},  // chunk data ends at a NUL
        {"H\r\n\r\nab\0cd"s, "ab\0cd"s, 0, ""},                 // a plain body keeps it
        {kChunked + "7fffffff\r\nonly this", "only this", 0, ""},
        {kChunked + "fffffffffff\r\nxy", "xy", 0, ""},
        {kChunked + "-5\r\n3\r\nabc\r\n0\r\n\r\n", "abc", 0, ""},
        {kChunked + "2\r\nab\r\n0\r\n2\r\ncd", "ab", 0, ""},  // two zero lines end it
        {kChunked + "zz\r\nyy\r\nabc", "", -1, ""},
        {kChunked + "10", "", -1, ""},
        {"H\r\ntransfer-encoding: chunked\r\n\r\n1\r\nx", "1\r\nx", 0, ""},
        {"H\r\n\r\nTransfer-Encoding: chunked\r\n\r\n", "Transfer-Encoding: chunked\r\n\r\n", 0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.response);
        test::ConsoleCapture console;
        std::string body = "left over";
        EXPECT_EQ(GetHttpBody(c.response, body), c.result);
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(console.text(), c.console);
    }
}

TEST(ExtractTagAttributes, ReadsTagsAsTheDirectoryWritesThem) {
    const size_t npos = std::string::npos;
    const std::string kEnd = "ExtractTagAttributes: failed to find end tag for: ";
    struct Case {
        std::string document;
        size_t start;
        std::string tag;
        int result;
        AttributeMap attributes;
        size_t tagStart, tagEnd;  // npos: not written
        std::string console;
    } cases[] = {
        {"<settings>\n<client ip=\"10.1.2.3\" lat=\"52.52\" lon=\"13.40\" isp=\"Stadt  &amp;\tLand "
         "Net\" />\n</settings>",
         0,
         "client",
         0,
         {{"ip", "\"10.1.2.3\""},
          {"isp", "\"Stadt & Land Net\""},
          {"lat", "\"52.52\""},
          {"lon", "\"13.40\""}},
         11,
         85,
         ""},
        {"<times a=\"1\" />", 0, "client", -1, {}, npos, npos, ""},
        {"<client/>", 0, "client", -1, {}, npos, npos, ""},  // the blank is part of the opening
        {"<servers>\n</servers>", 0, "server", -1, {}, npos, npos, ""},
        {"<a x=1 />", 1, "a", -1, {}, npos, npos, ""},
        {"<client lat=\"1\" ", 0, "client", -2, {}, 0, npos, kEnd + "client\n"},
        {"<client \t\r\n/>", 0, "client", -2, {}, 0, 11, ""},
        {"<download testlength=\"10\"><x y=\"2\"/></download>",
         0,
         "download",
         0,
         {{"testlength", "\"10\"><x"}, {"y", "\"2\""}},
         0,
         34,
         ""},  // the first "/>" wins
        {"<upload ratio=\"5\">body words</upload>",
         0,
         "upload",
         0,
         {{"ratio", "\"5\">body words"}},
         0,
         28,
         ""},
        {"<times alpha beta dl1=\"1\" gamma ul1=\"2\" />",
         0,
         "times",
         0,
         {{"dl1", "\"1\" gamma"}, {"ul1", "\"2\""}},
         0,
         40,
         ""},
        {"<t a==b =c a=1 a=2 />", 0, "t", 0, {{"", "c"}, {"a", "2"}}, 0, 19, ""},
        {"<t a=x\0y />"s, 0, "t", 0, {{"a", "x\0y"s}}, 0, 9, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        test::ConsoleCapture console;
        AttributeMap attributes;
        size_t tagStart = npos, tagEnd = npos;
        EXPECT_EQ(ExtractTagAttributes(c.document, c.start, c.tag, attributes, tagStart, tagEnd),
                  c.result);
        EXPECT_EQ(attributes, c.attributes);
        EXPECT_EQ(tagStart, c.tagStart);
        EXPECT_EQ(tagEnd, c.tagEnd);
        EXPECT_EQ(console.text(), c.console);
    }
}

// No step can go round without consuming text, whatever the document.
TEST(ExtractTagAttributes, HostileDocumentsEndQuickly) {
    const std::string cases[] = {
        std::string(1 << 20, '<'),
        std::string(1 << 20, '\0'),
        "<server " + std::string(1 << 20, ' ') + "/>",
        "<server " + std::string(1 << 20, '=') + "/>",
        std::string(1 << 18, '/') + "<server a=b",
    };
    for (const std::string& document : cases) {
        test::ConsoleCapture console;
        auto start = std::chrono::steady_clock::now();
        size_t position = 0, tagStart = 0, tagEnd = 0;
        for (int round = 0; round < 1000; ++round) {
            AttributeMap record;
            if (ExtractTagAttributes(document, position, "server", record, tagStart, tagEnd) != 0) {
                break;
            }
            position = tagStart + 1;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(DecodeAmpersands, FoldsEveryEntityAgainAndAgain) {
    const std::pair<std::string, std::string> cases[] = {
        {"A&amp;B &amp; C", "A&B & C"},
        {"&amp;amp;amp;amp;", "&"},
        {"&&amp;;", "&&;"},
        {"&amp", "&amp"},
        {"&AMP;", "&AMP;"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) {
        std::string text = in;
        DecodeAmpersands(text);
        EXPECT_EQ(text, out) << in;
    }
}

// The routine folds in one pass; the rule is "erase the amp; after the first
// &amp; from the start until none is left". Every text of up to seven
// characters from the letters that matter must come out the same.
TEST(DecodeAmpersands, OnePassAgreesWithTheRepeatedSearch) {
    auto repeated = [](std::string text) {
        for (size_t at; (at = text.find("&amp;")) != std::string::npos;) text.erase(at + 1, 4);
        return text;
    };
    const std::string letters = "&amp;x";
    for (size_t length = 1; length <= 7; ++length) {
        std::vector<size_t> digits(length, 0);
        for (size_t i = 0; i < length;) {
            std::string text;
            for (size_t d : digits) text.push_back(letters[d]);
            std::string decoded = text;
            DecodeAmpersands(decoded);
            ASSERT_EQ(decoded, repeated(text)) << text;
            for (i = 0; i < length && ++digits[i] == letters.size(); ++i) digits[i] = 0;
        }
    }
}

TEST(StripQuotes, RemovesEveryDoubleQuote) {
    std::string text = "\"a\"b\"\"c'd";
    StripQuotes(text);
    EXPECT_EQ(text, "abc'd");
}

}  // namespace
