// The registry: the advapi32 registry API subset the component, host and CLI call.
// Offers: the predefined root keys with their original handle values; RegCreateKeyExW,
// RegOpenKeyExW, RegCloseKey, RegQueryValueExW, RegSetValueExW, RegDeleteValueW, RegDeleteKeyW,
// RegDeleteTreeW, RegEnumKeyExW, RegEnumValueW, RegQueryInfoKeyW and the older convenience forms
// RegOpenKeyW, RegCreateKeyW, RegSetValueW, RegQueryValueW; the value types, access rights and
// option values. All calls return the original error numbers.
//
// Storage is the per-user SQLite hive ($BRACKENFOLD_HIVE, or
// ${XDG_DATA_HOME:-$HOME/.local/share}/brackenfold/hive.db), opened on first use. Every change
// is one transaction, so several threads and processes may share a hive.
//
// Where this registry differs from the original:
// - HKEY_CLASSES_ROOT is a root of its own, not a merged view of the machine and user classes;
//   HKEY_CURRENT_CONFIG is a root of its own too.
// - HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA hold nothing: every call on them but RegCloseKey
//   returns ERROR_INVALID_HANDLE.
// - No security descriptors: only the rights a handle was opened with are checked.
// - Volatile keys are stored like any other; classes are not kept (always empty).
// - Data is stored exactly as given, whatever its type says (a 2-byte REG_DWORD stays 2 bytes),
//   as the original does.
#pragma once

#include <string>
#include <string_view>

#include <windef.h>

// Predefined keys: (HKEY)(ULONG_PTR)(LONG)0x8000000N, sign-extended as on 64-bit systems.
#define BF_PREDEFINED_HKEY(n) (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<LONG>(n)))))
#define HKEY_CLASSES_ROOT BF_PREDEFINED_HKEY(0x80000000)
#define HKEY_CURRENT_USER BF_PREDEFINED_HKEY(0x80000001)
#define HKEY_LOCAL_MACHINE BF_PREDEFINED_HKEY(0x80000002)
#define HKEY_USERS BF_PREDEFINED_HKEY(0x80000003)
#define HKEY_PERFORMANCE_DATA BF_PREDEFINED_HKEY(0x80000004)
#define HKEY_CURRENT_CONFIG BF_PREDEFINED_HKEY(0x80000005)
#define HKEY_DYN_DATA BF_PREDEFINED_HKEY(0x80000006)

// Value types.
#define REG_NONE 0ul
#define REG_SZ 1ul
#define REG_EXPAND_SZ 2ul
#define REG_BINARY 3ul
#define REG_DWORD 4ul
#define REG_DWORD_LITTLE_ENDIAN 4ul
#define REG_DWORD_BIG_ENDIAN 5ul
#define REG_LINK 6ul
#define REG_MULTI_SZ 7ul
#define REG_RESOURCE_LIST 8ul
#define REG_FULL_RESOURCE_DESCRIPTOR 9ul
#define REG_RESOURCE_REQUIREMENTS_LIST 10ul
#define REG_QWORD 11ul
#define REG_QWORD_LITTLE_ENDIAN 11ul

// Access rights (the standard and generic ones are in windef.h).
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0xF003F

// Options and dispositions.
#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L


extern "C" {
BFAPI LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                     REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
                                     PHKEY phkResult, LPDWORD lpdwDisposition);
BFAPI LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
BFAPI LSTATUS WINAPI RegCloseKey(HKEY hKey);
BFAPI LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData);
BFAPI LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData);
BFAPI LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
BFAPI LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
BFAPI LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
BFAPI LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
BFAPI LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
BFAPI LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

// Older forms. RegOpenKeyW/RegCreateKeyW with a null or empty subkey hand back hKey itself.
BFAPI LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);
BFAPI LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);
// Sets the unnamed value of a subkey (created if missing) to a string; dwType must be REG_SZ.
BFAPI LSTATUS WINAPI RegSetValueW(HKEY hKey, LPCWSTR lpSubKey, DWORD dwType, LPCWSTR lpData, DWORD cbData);
// Reads the unnamed string value of a subkey; a key without one reads as the empty string.
BFAPI LSTATUS WINAPI RegQueryValueW(HKEY hKey, LPCWSTR lpSubKey, LPWSTR lpData, PLONG lpcbData);
}

namespace bf {

// Longest key name component and value name, in characters.
inline constexpr std::size_t kMaxKeyNameChars = 255;
inline constexpr std::size_t kMaxValueNameChars = 16383;

// Where the hive of this process lives (BRACKENFOLD_HIVE or the per-user default); empty when
// neither BRACKENFOLD_HIVE nor a home directory is known.
BFAPI std::string registry_hive_path();

// Whether two key or value names are the same name to the registry (case-insensitive).
BFAPI bool registry_names_equal(std::u16string_view a, std::u16string_view b);

// The full name of an open key with its stored case ("HKEY_CURRENT_USER\Software\Brackenfold").
BFAPI LSTATUS registry_key_name(HKEY hKey, std::u16string& name);

// Closes the hive connection and invalidates every open key handle, so that a test can point
// BRACKENFOLD_HIVE at another file. The next registry call opens the hive anew.
BFAPI void registry_reset_for_tests();

}  // namespace bf
