// Description tables that drive the request writer and the response parser: one SchemaMap per
// operation, structure, enumeration and header block, each with its SchemaField list (ended by a
// record whose hash is 0), the flag bits both share, the XML Schema type codes and their names,
// and the name hash the parser matches elements by.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <windef.h>

namespace bf::soap {

// Name hash: hash = hash * 33 + c over the characters, unsigned 32-bit with wrap-around.
constexpr ULONG soapHash(std::string_view s) noexcept {
    ULONG h = 0;
    for (char c : s) h = h * 33 + static_cast<unsigned char>(c);
    return h;
}
constexpr ULONG soapHash(std::u16string_view s) noexcept {
    ULONG h = 0;
    for (char16_t c : s) h = h * 33 + c;
    return h;
}
constexpr ULONG soapHash(const WCHAR* s, int n) noexcept {
    ULONG h = 0;
    for (int i = 0; i < n; ++i) h = h * 33 + s[i];
    return h;
}

// SchemaMap kinds.
namespace MapKind {
inline constexpr int Enumeration = 1;
inline constexpr int Operation = 2;
inline constexpr int Structure = 3;
inline constexpr int HeaderBlock = 5;
}  // namespace MapKind

// Field flags and call flags share one bit space.
namespace Flag {
inline constexpr ULONG In = 0x00000001;
inline constexpr ULONG Out = 0x00000002;
inline constexpr ULONG ReturnValue = 0x00000004;
inline constexpr ULONG DynamicArray = 0x00000008;
inline constexpr ULONG FixedArray = 0x00000010;
inline constexpr ULONG MustUnderstand = 0x00000020;
inline constexpr ULONG OpenSize = 0x00000040;
inline constexpr ULONG ExpectsText = 0x00000080;  // parser-internal
inline constexpr ULONG Member = 0x00000100;
inline constexpr ULONG NotMarshalled = 0x00000200;
inline constexpr ULONG Nillable = 0x00000400;
inline constexpr ULONG Document = 0x00000800;
inline constexpr ULONG Rpc = 0x00001000;
inline constexpr ULONG Literal = 0x00002000;
inline constexpr ULONG Encoded = 0x00004000;
inline constexpr ULONG Wrapped = 0x00008000;      // parameters inside an element named after the operation
inline constexpr ULONG BodyChildren = 0x00010000; // parameters directly as children of the Body
inline constexpr ULONG Chained = 0x00020000;      // one structure parameter given directly
inline constexpr ULONG SizeField = 0x00040000;    // carries an array's size; its text is ignored
inline constexpr ULONG ArrayWrapper = 0x00080000;
inline constexpr ULONG Arrays = DynamicArray | FixedArray;
}  // namespace Flag

// XML Schema type codes.
namespace Xsd {
inline constexpr int Error = -2;
inline constexpr int Nested = -1;  // structure or enumeration, described by the nested map
inline constexpr int String = 0;
inline constexpr int Boolean = 1;
inline constexpr int Float = 2;
inline constexpr int Double = 3;
inline constexpr int Decimal = 4;
inline constexpr int Duration = 5;
inline constexpr int HexBinary = 6;
inline constexpr int Base64Binary = 7;
inline constexpr int AnyURI = 8;
inline constexpr int Integer = 23;
inline constexpr int NonPositiveInteger = 24;
inline constexpr int NegativeInteger = 25;
inline constexpr int Long = 26;
inline constexpr int Int = 27;
inline constexpr int Short = 28;
inline constexpr int Byte = 29;
inline constexpr int NonNegativeInteger = 30;
inline constexpr int UnsignedLong = 31;
inline constexpr int UnsignedInt = 32;
inline constexpr int UnsignedShort = 33;
inline constexpr int UnsignedByte = 34;
inline constexpr int PositiveInteger = 35;
inline constexpr int DateTime = 36;
inline constexpr int GDay = 43;
inline constexpr int Last = GDay;
inline constexpr int UserType = 4096;
}  // namespace Xsd

struct SchemaField;

struct SchemaMap {
    ULONG hash;                 // of the element the parser matches (operations: the response element)
    const char* name;           // operations: the request element name
    const WCHAR* wideName;      // operations: the response element name
    int nameLength;
    int wideNameLength;
    int kind;                   // MapKind
    const SchemaField* fields;  // ends with a record whose hash is 0
    ULONG recordSize;
    ULONG fieldCount;
    int returnIndex;
    ULONG callFlags;
    ULONG namespaceHash;
    const char* namespaceUri;
    const WCHAR* wideNamespaceUri;
    int namespaceLength;
};

struct SchemaField {
    ULONG hash;
    const char* name;
    const WCHAR* wideName;
    int nameLength;
    int type;          // Xsd code; for an enumeration member its value
    ULONG flags;
    ULONG member;      // offset inside the record or structure
    const int* dimensions;  // fixed arrays: count, then each size
    const SchemaMap* nestedMap;
    int sizeIndex;     // dynamic arrays: field that receives the item count
    ULONG namespaceHash;
    const char* namespaceUri;
    const WCHAR* wideNamespaceUri;
    int namespaceLength;
};

// One entry of the type table.
struct XsdTypeName {
    const WCHAR* wideName;
    const char* name;
    int length;
};

// Name of an XML Schema type code, or null for codes outside 0..Xsd::Last.
const XsdTypeName* xsdTypeName(int type) noexcept;

// In-memory size of a simple type code (0 for codes that are not simple types).
std::size_t xsdValueSize(int type) noexcept;

// Number of fields of a list (records up to the one whose hash is 0).
std::size_t fieldListLength(const SchemaField* fields) noexcept;

// The SOAPAction of an operation: its namespace, "/", its request element name. Clients send it
// and service descriptions publish it, from this one rule.
std::string soapAction(const SchemaMap& operation);

inline bool isArrayField(const SchemaField& f) noexcept {
    return f.dimensions != nullptr || (f.flags & Flag::Arrays) != 0;
}

}  // namespace bf::soap
