// Value encodings of the codec: how each in-memory form becomes element text on writing, and how
// element text becomes the in-memory form on reading. Also the value allocator (IMemMgr over the
// runtime heap) that owns decoded bytes and array items, and BinaryValue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <winerror.h>

namespace bf::soap {

// Allocator interface for values the parser creates; slot order: allocate, free, reallocate, size.
struct IMemMgr {
    virtual void* Allocate(std::size_t bytes) noexcept = 0;
    virtual void Free(void* p) noexcept = 0;
    virtual void* Reallocate(void* p, std::size_t bytes) noexcept = 0;
    virtual std::size_t GetSize(void* p) noexcept = 0;

protected:
    ~IMemMgr() = default;
};

// The runtime heap (malloc and friends): what a caller releases BinaryValue bytes with (free).
class CRuntimeHeap final : public IMemMgr {
public:
    void* Allocate(std::size_t bytes) noexcept override;
    void Free(void* p) noexcept override;
    void* Reallocate(void* p, std::size_t bytes) noexcept override;
    std::size_t GetSize(void* p) noexcept override;
};

// A decoded hexBinary or base64Binary value. No bytes (count 0, null data) means missing or nil.
struct BinaryValue {
    LONG size;
    BYTE* data;
};

// Base64 encoder options.
namespace Base64 {
inline constexpr unsigned Default = 0;
inline constexpr unsigned NoPadding = 1;
inline constexpr unsigned NoLineBreaks = 2;
}  // namespace Base64

// --- writing ---------------------------------------------------------------------------------

// Escapes UTF-16 text for element content (or, with `attribute`, for an attribute value) into
// pure ASCII: markup characters as entities, everything outside 0x20..0x7E as a hexadecimal
// character reference, surrogate pairs joined into one six-digit reference. Stops at a zero unit.
// Throws std::bad_alloc.
void appendEscaped(std::string& out, const WCHAR* text, std::size_t length, bool attribute = false);
// "NaN", "INF", "-INF", "-0", otherwise the shortest text that reads back as the same double,
// without a decimal point for integral values and without a plus sign.
void appendDouble(std::string& out, double value);
void appendBase64(std::string& out, const BYTE* data, std::size_t length, unsigned options = Base64::Default);
void appendHex(std::string& out, const BYTE* data, std::size_t length);
void appendSigned(std::string& out, std::int64_t value);
void appendUnsigned(std::string& out, std::uint64_t value);

// Text of one simple value of type code `type` stored at `value`. Fails with E_FAIL for codes
// that are not simple types (-1, -2, user types). Strings may be null: they write nothing here,
// the writer decides about nil. Throws std::bad_alloc.
HRESULT appendSimpleValue(std::string& out, int type, const void* value);

// Whether the simple value at `value` counts as null (nil on writing).
bool isNullValue(int type, const void* value) noexcept;

// --- reading ---------------------------------------------------------------------------------

// White space as the wide-character classification sees it (ASCII space, tab, line breaks,
// vertical tab, form feed and the Unicode space separators).
bool isSoapSpace(WCHAR c) noexcept;

// "true"/"1" or "false"/"0", exactly.
bool parseBoolean(const WCHAR* text, std::size_t length, bool* value) noexcept;

// Integer text: optional white space, optional sign, decimal digits, optional white space; empty
// or only white space reads as 0. Fails on overflow or anything else.
bool parseSigned(const WCHAR* text, std::size_t length, std::int64_t* value) noexcept;
// As parseSigned for unsigned 64-bit; a minus sign is only accepted on zero.
bool parseUnsigned(const WCHAR* text, std::size_t length, std::uint64_t* value) noexcept;
// "INF", "-INF", "NaN" exactly, or white space around a decimal floating-point number. Overflow,
// a range error and stray characters fail.
bool parseDouble(const WCHAR* text, std::size_t length, double* value) noexcept;

// Converts the complete text of an element into the in-memory form of `type` at `value`,
// allocating strings with SysAllocStringLen and bytes with `heap`. E_FAIL for text that does not
// convert or a type that is not simple; E_INVALIDARG for a binary value that already holds bytes;
// E_OUTOFMEMORY when an allocation fails.
HRESULT convertValue(int type, const WCHAR* text, std::size_t length, void* value, IMemMgr& heap) noexcept;

// Releases what a simple value of `type` owns (strings, binary bytes) and zeroes it.
void releaseValue(int type, void* value, IMemMgr& heap) noexcept;

}  // namespace bf::soap
