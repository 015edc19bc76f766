// The registry key of the tuning values, read from a text hive file in the
// registry export syntax. The file is parsed afresh at every open, so an edit
// takes effect at the next read.
#pragma once

#include <cstdint>

namespace platform {

using LONG = int32_t;
using DWORD = uint32_t;
using BYTE = uint8_t;
using REGSAM = uint32_t;
struct RegKey;
using HKEY = RegKey*;

// Result codes as the registry API returns them.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_MORE_DATA = 234;

inline constexpr REGSAM KEY_READ = 0x20019;

// The predefined root handle; only this root is backed by the hive file.
inline constexpr uintptr_t kHkeyLocalMachineValue = 0x80000002;
inline HKEY HkeyLocalMachine() {
    return reinterpret_cast<HKEY>(kHkeyLocalMachineValue);
}

// Opens `subkey` (backslash-separated, case-insensitive) below `root`.
// 0 when the hive file is readable and holds the section
// "[HKEY_LOCAL_MACHINE\<subkey>]"; 2 for a missing file or section (or another
// root); 5 for a file that exists but cannot be read. On success *result owns a
// snapshot of the section's values until RegCloseKey.
LONG RegOpenKeyExW(HKEY root, const wchar_t* subkey, DWORD options, REGSAM access, HKEY* result);

// Copies the value `name` (case-insensitive) into data[0..*size). A missing
// value gives 2; data longer than *size gives 234 with *size set to the length
// needed; otherwise the bytes are copied, *size is set to their count and the
// result is 0. The registry type is stored in *type when type is not null.
LONG RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);

LONG RegCloseKey(HKEY key);

// Path of the hive file: $SANDROW_REGISTRY, else /etc/sandrow/registry.reg.
const char* RegistryHivePath();

}  // namespace platform
