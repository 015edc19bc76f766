// Fuzzes the registry hive reader through its public calls, the way the
// monitor reads its tuning values: the input is the hive file (written to a
// file in memory that SANDROW_REGISTRY points at), the key opened is the
// monitor's own and the first section the hive names, and the values read
// are the monitor's and the first names the hive gives. Each read is done as
// the callers do it (size first, then too small, then exactly), and the
// answers must agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/registry_params.h"
#include "fuzz_check.h"
#include "memory_file.h"
#include "platform/registry.h"

namespace {

using namespace platform;

constexpr size_t kMaxNames = 8;
constexpr size_t kMaxNameLength = 64;
const wchar_t* const kMonitorValues[] = {L"DeferalSecs",
                                         L"FloorPercentage",
                                         L"AllowGrowUp",
                                         L"JumpToFloorPercentage",
                                         L"IdleRecoverySecs",
                                         L"ProbeCountReportHours",
                                         L"JTFA",
                                         L"DebugLevel",
                                         L"VormProbeMonthBudgetMB",
                                         L""};

// Bytes as wide characters, one each: enough to name keys and values that
// the hive spells in ASCII, and odd bytes become odd names.
std::wstring Widen(std::string_view text) {
    std::wstring wide;
    for (unsigned char c : text) wide.push_back(static_cast<wchar_t>(c));
    return wide;
}

LONG ReadDword(HKEY key, const wchar_t* name, DWORD* size) {
    uint32_t dword = 0;
    *size = sizeof dword;
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&dword), size);
}

void ReadValue(HKEY key, const wchar_t* name) {
    DWORD type = 0xFFFFFFFF, size = 0, dwordSize = 0;
    LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    FUZZ_CHECK(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND);
    if (result != ERROR_SUCCESS) {
        // A missing value is missing however it is asked for.
        FUZZ_CHECK(ReadDword(key, name, &dwordSize) == ERROR_FILE_NOT_FOUND);
        return;
    }
    const DWORD needed = size;
    FUZZ_CHECK(needed <= 16u * 1024 * 1024);  // no more than the largest hive
    // Exactly as large: the bytes, the same type and size again.
    std::vector<BYTE> data(needed);
    DWORD type2 = 0xFFFFFFFF;
    FUZZ_CHECK(RegQueryValueExW(key, name, nullptr, &type2, data.data(), &size) == ERROR_SUCCESS);
    FUZZ_CHECK(size == needed && type2 == type);
    // A DWORD read into a DWORD buffer, as the monitor reads them.
    if (type == 4 && needed == 4) {
        FUZZ_CHECK(ReadDword(key, name, &dwordSize) == ERROR_SUCCESS && dwordSize == 4);
    }
    if (needed == 0) return;
    // One byte too small: the size needed, and nothing written past it.
    std::vector<BYTE> small(needed, 0xA5);
    size = needed - 1;
    FUZZ_CHECK(RegQueryValueExW(key, name, nullptr, nullptr, small.data(), &size) ==
               ERROR_MORE_DATA);
    FUZZ_CHECK(size == needed && small[needed - 1] == 0xA5);
}

void ReadKey(const wchar_t* subkey, const std::vector<std::wstring>& names) {
    HKEY key = reinterpret_cast<HKEY>(uintptr_t{1});
    LONG result = RegOpenKeyExW(HkeyLocalMachine(), subkey, 0, KEY_READ, &key);
    // The file is always there and readable: found or not found, nothing else.
    FUZZ_CHECK(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND);
    FUZZ_CHECK((result == ERROR_SUCCESS) == (key != nullptr));
    // A trailing backslash names the same key.
    std::wstring slashed = std::wstring(subkey) + L"\\";
    HKEY again = nullptr;
    FUZZ_CHECK(RegOpenKeyExW(HkeyLocalMachine(), slashed.c_str(), 0, KEY_READ, &again) == result);
    if (again != nullptr) RegCloseKey(again);
    if (key == nullptr) return;
    for (const wchar_t* name : kMonitorValues) ReadValue(key, name);
    for (const std::wstring& name : names) ReadValue(key, name.c_str());
    FUZZ_CHECK(RegCloseKey(key) == ERROR_SUCCESS);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile* hive = [] {
        auto* file = new fuzz::MemoryFile("registry.reg");
        setenv("SANDROW_REGISTRY", file->path().c_str(), 1);
        return file;
    }();

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hive->Write(text);
    // The first section name and the first quoted value names of the text.
    std::wstring section;
    std::vector<std::wstring> names;
    const size_t open = text.find("[HKEY_LOCAL_MACHINE\\");
    const size_t close = text.find(']', open + 20);
    if (open != std::string_view::npos && close != std::string_view::npos &&
        close - open - 20 <= kMaxNameLength) {
        section = Widen(text.substr(open + 20, close - open - 20));
    }
    for (size_t at = text.find("\n\""); at != std::string_view::npos && names.size() < kMaxNames;
         at = text.find("\n\"", at + 1)) {
        size_t end = text.find('"', at + 2);
        if (end != std::string_view::npos && end - at - 2 <= kMaxNameLength) {
            names.push_back(Widen(text.substr(at + 2, end - at - 2)));
        }
    }
    ReadKey(kRegistrySubkey, names);
    if (!section.empty()) ReadKey(section.c_str(), names);
    return 0;
}
