// Tests of the hive-file registry: result codes, value bytes and tolerance of the text syntax.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace platform {
namespace {

using Bytes = std::vector<BYTE>;
constexpr const wchar_t* kKey = L"SOFTWARE\\Pellworth\\Mervix";
const std::string kSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellworth\\Mervix]\n";

struct Result {
    LONG rc = -1;
    DWORD type = 0, size = 0;
    Bytes buf;  // the caller's whole buffer, pre-filled with 0xEE
};

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { Use(dir_.file("hive.reg")); }
    void TearDown() override { unsetenv("SANDROW_REGISTRY"); }
    void Use(const std::string& path) { setenv("SANDROW_REGISTRY", (path_ = path).c_str(), 1); }
    void Write(const std::string& bytes) { test::WriteFile(path_, bytes); }
    // Reads `name` from a fresh open into a buffer of `cap` bytes (no buffer when cap is 0).
    Result Read(const wchar_t* name, DWORD cap = 64) {
        Result r;
        HKEY key = nullptr;
        if ((r.rc = RegOpenKeyExW(HkeyLocalMachine(), kKey, 0, KEY_READ, &key)) != 0) return r;
        r.buf.assign(cap, 0xEE);
        r.size = cap;
        r.rc = RegQueryValueExW(key, name, nullptr, &r.type, cap ? r.buf.data() : nullptr, &r.size);
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr), 87);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        return r;
    }
    test::TempDir dir_;
    std::string path_;
};

TEST_F(RegistryTest, OpenResultCodes) {
    enum Kind { kFile, kMissing, kDirectory, kBelowFile };
    const std::tuple<Kind, std::string, const wchar_t*, LONG> cases[] = {
        {kFile, kSection + "\"A\"=dword:1\n", kKey, 0},
        {kFile, kSection, kKey, 0},  // an empty section still exists
        {kFile, "[hkey_local_machine\\software\\PELLWORTH\\Mervix\\]\n",
         L"Software\\pellworth\\MERVIX\\", 0},
        {kFile, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellworth]\n", kKey, 2},
        {kFile, "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellworth\\Mervix]\n", kKey, 2},
        {kFile, "[HKEY_CURRENT_USER\\SOFTWARE\\Pellworth\\Mervix]\n", kKey, 2},
        {kMissing, "", kKey, 2},
        {kBelowFile, kSection, kKey, 2},
        {kDirectory, "", kKey, 5},
        {kFile, kSection + std::string(16 << 20, ';'), kKey, 5}};
    int n = 0;
    for (const auto& [kind, content, subkey, rc] : cases) {
        SCOPED_TRACE(n);
        Use(dir_.file("case" + std::to_string(n++)));
        if (kind == kDirectory) std::filesystem::create_directory(path_);
        if (kind == kFile || kind == kBelowFile) Write(content);
        if (kind == kBelowFile) Use(path_ + "/hive.reg");
        HKEY key = HkeyLocalMachine();
        EXPECT_EQ(RegOpenKeyExW(HkeyLocalMachine(), subkey, 0, KEY_READ, &key), rc);
        EXPECT_EQ(key == nullptr, rc != 0);
        RegCloseKey(key);
        // Only the local-machine root is backed by the hive.
        EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x80000001), subkey, 0, KEY_READ, &key), 2);
    }
}

TEST_F(RegistryTest, ValueKindsAndSyntax) {
    Write("Windows Registry Editor Version 5.00\n\n" + kSection +
          "\"DebugLevel\"=dword:0A0B0C0D\n\"JTFA\"=\"1\"\n\"Blob\"=hex:01,02\n"
          "\"Q\"=hex(b):01,02,03,04,05,06,07,08\n\"Multi\"=hex(7):41,00,00,00\n@=\"d\"\n"
          "\"E\\\"sc\"=\"a\\\"b\\\\\"\n\"Wide\"=\"\xC3\xA9\xF0\x9F\x98\x80\"\n"
          "; \"Commented\"=dword:1\ngarbage\n\"BadHex\"=hex:0g\n\"Dw9\"=dword:000000001\n"
          "\"Dw0\"=dword:\n\"Open\"=\"abc\n\"After\"=\"abc\"x\n\"Spaced\" = \"x\"\n"
          "\"Unknown\"=\"a\\n\"\n\"Latin1\"=\"caf\xE9\"\n"
          "\"Long\"=hex:01,02,\\\n  03,04,\\\n  05\n\"Cut\"=hex:01\\\n\"Dup\"=dword:1\n"
          "\"Gone\"=dword:1\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"Other\"=dword:1\n"
          "[hkey_local_machine\\software\\pellworth\\mervix]\n\"DUP\"=dword:2\n\"Gone\"=-\n");
    // Columns: name, buffer size, result, type, *size after, the whole buffer after.
    const std::tuple<const wchar_t*, DWORD, LONG, DWORD, DWORD, Bytes> cases[] = {
        {L"debuglevel", 4, 0, 4, 4, {0x0D, 0x0C, 0x0B, 0x0A}},
        {L"JTFA", 4, 0, 1, 4, {0x31, 0, 0, 0}},
        {L"Blob", 4, 0, 3, 2, {1, 2, 0xEE, 0xEE}},  // the rest of the buffer is left alone
        {L"Q", 8, 0, 11, 8, {1, 2, 3, 4, 5, 6, 7, 8}},
        {L"Q", 4, ERROR_MORE_DATA, 11, 8, {0xEE, 0xEE, 0xEE, 0xEE}},
        {L"Q", 0, 0, 11, 8, {}},  // no buffer: only the size is asked for
        {L"Multi", 4, 0, 7, 4, {0x41, 0, 0, 0}},
        {L"", 4, 0, 1, 4, {'d', 0, 0, 0}},
        {L"e\"SC", 10, 0, 1, 10, {'a', 0, '"', 0, 'b', 0, '\\', 0, 0, 0}},
        {L"Wide", 8, 0, 1, 8, {0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
        {L"Long", 5, 0, 3, 5, {1, 2, 3, 4, 5}},
        {L"Dup", 4, 0, 4, 4, {2, 0, 0, 0}}};
    for (const auto& [name, cap, rc, type, size, buf] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        const Result r = Read(name, cap);
        EXPECT_EQ(r.rc, rc);
        EXPECT_EQ(r.type, type);
        EXPECT_EQ(r.size, size);
        EXPECT_EQ(r.buf, buf);
    }
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExW(nullptr, L"Q", nullptr, nullptr, nullptr, &size), 87);
    for (const wchar_t* name :
         {L"Commented", L"BadHex", L"Dw9", L"Dw0", L"Open", L"After", L"Spaced", L"Unknown", L"Cut",
          L"Latin1", L"Gone", L"Other", L"Absent"}) {
        EXPECT_EQ(Read(name).rc, ERROR_FILE_NOT_FOUND)
            << testing::PrintToString(std::wstring(name));
    }
}

TEST_F(RegistryTest, Encodings) {
    const std::string lf = kSection + "\"A\"=\"\xF0\x9F\x98\x80\"\n\"B\"=hex:01,\\\n  02\n";
    std::string crlf;
    for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    std::string utf16;
    for (char16_t u : std::u16string(u"\uFEFF[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pellworth\\Mervix]\r\n"
                                     u"\"A\"=\"\U0001F600\"\r\n\"B\"=hex:01,\\\r\n  02\r\n"))
        utf16 += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    for (const std::string& hive : {lf, crlf, "\xEF\xBB\xBF" + crlf, utf16}) {
        SCOPED_TRACE(testing::PrintToString(hive));
        Write(hive);
        EXPECT_EQ(Read(L"A", 6).buf, (Bytes{0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
        EXPECT_EQ(Read(L"B", 2).buf, (Bytes{1, 2}));
    }
}

}  // namespace
}  // namespace platform
