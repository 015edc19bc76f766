// Fuzzes the registry hive reader through its public calls, the way the
// monitor reads its tuning values: the input is the hive file (in memory,
// where SANDROW_REGISTRY points), the keys opened are the monitor's and the
// first section the hive names, the values read the monitor's and the first
// names the hive gives. Each value is read as the callers do (size first,
// then too small, then exactly), and the answers must agree.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/registry_params.h"
#include "fuzz_check.h"
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

void ReadValue(HKEY key, const wchar_t* name) {
    DWORD type = 0xFFFFFFFF, size = 0;
    LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    FUZZ_CHECK(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND);
    if (result != ERROR_SUCCESS) return;
    const DWORD needed = size;
    FUZZ_CHECK(needed <= 16u * 1024 * 1024);  // no more than the largest hive
    // Exactly as large: the bytes, the same type and size again.
    std::vector<BYTE> data(needed);
    DWORD type2 = 0xFFFFFFFF;
    FUZZ_CHECK(RegQueryValueExW(key, name, nullptr, &type2, data.data(), &size) == ERROR_SUCCESS);
    FUZZ_CHECK(size == needed && type2 == type);
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
    if (key == nullptr) return;
    for (const wchar_t* name : kMonitorValues) ReadValue(key, name);
    for (const std::wstring& name : names) ReadValue(key, name.c_str());
    FUZZ_CHECK(RegCloseKey(key) == ERROR_SUCCESS);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A file in memory with a path: each open() of it reads from the start.
    static const int hive = [] {
        int fd = memfd_create("registry.reg", MFD_CLOEXEC);
        FUZZ_CHECK(fd >= 0);
        setenv("SANDROW_REGISTRY", ("/proc/self/fd/" + std::to_string(fd)).c_str(), 1);
        return fd;
    }();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(ftruncate(hive, 0) == 0);
    FUZZ_CHECK(pwrite(hive, data, size, 0) == static_cast<ssize_t>(size));
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
