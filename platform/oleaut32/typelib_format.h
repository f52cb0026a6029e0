// The text format this platform keeps type libraries in, and its parser. The format is
// described in resources/README.md; LoadTypeLib reads it from a file or a "TYPELIB" resource.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <oaidl.h>

namespace bf {

struct TypeLibFunc {
    MEMBERID memid = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    WORD flags = 0;  // FUNCFLAG_*
    std::u16string name;
    std::vector<std::u16string> params;
    std::u16string doc;
};

struct TypeLibImpl {
    std::u16string name;
    int flags = 0;  // IMPLTYPEFLAG_* (coclasses)
    HREFTYPE ref = 0;  // index into TypeLibData::types, set by the parser
};

struct TypeLibType {
    std::u16string name;
    GUID guid{};
    TYPEKIND kind = TKIND_INTERFACE;
    WORD flags = 0;  // TYPEFLAG_*
    bool imported = false;  // described for reference only; not one of the library's own types
    std::u16string doc;
    DWORD help_context = 0;
    std::vector<TypeLibFunc> funcs;
    std::vector<TypeLibImpl> impls;  // the base interface, or a coclass's interfaces
};

struct TypeLibData {
    std::u16string name;
    GUID guid{};
    LCID lcid = 0;
    WORD major = 0;
    WORD minor = 0;
    WORD flags = 0;  // LIBFLAG_*
    std::u16string doc;
    std::u16string help_file;
    DWORD help_context = 0;
    // The library's own types first (indices 0 .. own_count-1), then the imported ones.
    std::vector<TypeLibType> types;
    std::size_t own_count = 0;
};

// Largest description accepted, in bytes.
inline constexpr std::size_t kMaxTypeLibBytes = 1 << 20;

// Parses UTF-8 text. S_OK, or TYPE_E_INVDATAREAD with `error` saying which line and why.
BFAPI HRESULT parse_type_library(std::string_view text, TypeLibData& out, std::string* error = nullptr);

// Whether bytes start like a description of this format (its first word is "bftypelib").
BFAPI bool looks_like_type_library(std::string_view text);

}  // namespace bf
