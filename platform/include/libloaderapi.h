// Modules and their embedded resources.
// Offers: GetModuleHandleW, GetModuleHandleExW (FROM_ADDRESS, UNCHANGED_REFCOUNT, PIN),
// GetModuleFileNameW, LoadLibraryW, LoadLibraryExW (code loads, and data-file loads with
// LOAD_LIBRARY_AS_DATAFILE / _DATAFILE_EXCLUSIVE / LOAD_LIBRARY_AS_IMAGE_RESOURCE that read only the
// resource table and never run the file's code), FreeLibrary, GetProcAddress, FindResourceW,
// FindResourceExW, SizeofResource, LoadResource, LockResource, FreeResource, MAKEINTRESOURCEW,
// IS_INTRESOURCE and the RT_* types.
//
// An HMODULE of a loaded library or of the executable is its load address, as on the original
// platform; a null HMODULE means the executable. Data-file handles have a low bit set and are
// known only to these calls. Module names are file names compared case-sensitively.
//
// Resources are embedded at build time by bf_embed_resources / bf_embed_resource /
// bf_add_resource_library (cmake/Resources.cmake) into the ELF section ".bf_rsrc", which holds one
// or more tables: "BFRSRC01", u32 count, u32 total size, then `count` entries of six u32
// {type id, type name offset, name id, name offset, data offset, data size} (an id of 0 means the
// offset of a zero-terminated upper-case name is used instead; offsets are from the table start),
// then names and data, padded to 16 bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <windef.h>

#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

#ifndef MAKEINTRESOURCEW
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#endif
#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
#endif

#ifndef RT_RCDATA
#define RT_CURSOR MAKEINTRESOURCEW(1)
#define RT_BITMAP MAKEINTRESOURCEW(2)
#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_HTML MAKEINTRESOURCEW(23)
#define RT_MANIFEST MAKEINTRESOURCEW(24)
#endif

using FARPROC = INT_PTR(WINAPI*)();

extern "C" {
BFAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
BFAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
// Full path of the module. A buffer too small gets nSize-1 characters and a terminator, the
// result is nSize and the last error ERROR_INSUFFICIENT_BUFFER.
BFAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
BFAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
BFAPI HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
BFAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
BFAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

// String names and types compare case-insensitively; "#123" means the integer 123.
BFAPI HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
// Resources carry no language here; wLanguage is accepted and ignored.
BFAPI HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage);
BFAPI DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
// The result is the address of the resource's bytes, valid while the module stays loaded.
BFAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
BFAPI LPVOID WINAPI LockResource(HGLOBAL hResData);
BFAPI BOOL WINAPI FreeResource(HGLOBAL hResData);
}

namespace bf {

// Name of the ELF section that holds a module's resource tables.
inline constexpr char kResourceSectionName[] = ".bf_rsrc";

// One resource of a table. data and key point into the table image that was parsed.
struct ResourceEntry {
    WORD type_id = 0;           // 0: the type is type_name
    std::u16string type_name;   // upper case
    WORD name_id = 0;           // 0: the name is name
    std::u16string name;        // upper case
    const BYTE* data = nullptr;
    DWORD size = 0;
    const void* key = nullptr;  // the entry inside the table; HRSRC values are these
};

// Parses every table of a resource section image. False when anything is malformed or points
// outside the image; nothing is read outside [image, image + size).
BFAPI bool parse_resource_tables(const void* image, std::size_t size, std::vector<ResourceEntry>& out);

struct ElfResourceSection {
    bool present = false;
    bool allocated = false;  // part of the loaded image (SHF_ALLOC)
    std::uint64_t address = 0;  // link-time address
    std::uint64_t offset = 0;   // file offset
    std::uint64_t size = 0;
};

// Reads bytes [offset, offset + size) of a file into dst; false on a short read.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t size, void* dst)>;

// Finds the resource section of an ELF executable or shared library of file_size bytes through
// its section headers, reading nothing else. ERROR_SUCCESS (present or not) or ERROR_BAD_FORMAT.
BFAPI DWORD locate_resource_section(std::uint64_t file_size, const ReadAt& read_at, ElfResourceSection& out);

}  // namespace bf
