// A small made-up service for the codec tests, using what the Brackenfold service does not:
// arrays (dynamic, fixed, of structures, of enumerations, of strings with nil items), an
// enumeration, hexBinary, a header field that must be understood, parameters straight in the
// Body, and an rpc/encoded operation answered with references.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <string_view>

#include <oleauto.h>
#include "soap/soap_root_handler.h"

namespace gallery {

using namespace bf::soap;

inline constexpr const char* kNs = "urn:gallery";
inline constexpr const WCHAR* kWideNs = u"urn:gallery";
inline constexpr int kNsLen = 11;

enum Color : int { Red = 1, Green = 2, Blue = 7 };

struct Point {
    int x;
    short y;
};

struct DrawParams {
    int* values;
    int valueCount;
    int fixed[3];
    int color;
    Point* points;
    int pointCount;
    int* colors;
    int colorCount;
    BSTR* names;
    int nameCount;
    BinaryValue hex;
    Point total;  // out
    int* echoed;  // out
    int echoedCount;
};

struct PingParams {
    BSTR token;  // in
    BSTR reply;  // out
};

struct LookupParams {
    BSTR key;        // in
    Point point;     // out, by reference
    int* list;       // out, by reference
    int listCount;
};

// An array wrapped in a structure whose element is also the array's element.
struct Bag {
    int* items;
    int count;
};
struct PackParams {
    Bag bag;  // out
};
// A single structure parameter given directly in the Body.
struct ChainParams {
    Point pt;  // out
};

struct Session {
    BSTR session;  // in, must be understood (Lookup)
    BSTR served;   // out (Ping)
};

constexpr ULONG kDoc = Flag::Document | Flag::Literal | Flag::Wrapped;
constexpr ULONG kPad = Flag::Document | Flag::Literal | Flag::BodyChildren;
constexpr ULONG kRpc = Flag::Rpc | Flag::Encoded;

constexpr SchemaField field(const char* name, const WCHAR* wide, int type, ULONG flags, std::size_t member,
                            const SchemaMap* nested = nullptr, const int* dims = nullptr, int sizeIndex = -1) {
    return SchemaField{soapHash(std::string_view(name)), name, wide, static_cast<int>(std::string_view(name).size()),
                       type, flags, static_cast<ULONG>(member), dims, nested, sizeIndex, 0, nullptr, nullptr, 0};
}
constexpr SchemaField member(const char* name, const WCHAR* wide, int value) {
    return field(name, wide, value, 0, 0);
}
inline constexpr SchemaField kEnd{};

inline SchemaMap map(const char* name, const WCHAR* wide, int kind, const SchemaField* fields, std::size_t size,
                     ULONG count, ULONG flags) {
    return SchemaMap{soapHash(std::u16string_view(wide)), name, wide, static_cast<int>(std::string_view(name).size()),
                     static_cast<int>(std::u16string_view(wide).size()), kind, fields, static_cast<ULONG>(size), count,
                     -1, flags, soapHash(std::string_view(kNs)), kNs, kWideNs, kNsLen};
}

struct Tables {
    static inline const int fixedDims[] = {1, 3};
    SchemaField colorMembers[4] = {member("Red", u"Red", Red), member("Green", u"Green", Green),
                                   member("Blue", u"Blue", Blue), kEnd};
    SchemaMap colorMap = map("Color", u"Color", MapKind::Enumeration, colorMembers, sizeof(int), 3, 0);
    SchemaField pointFields[3] = {field("x", u"x", Xsd::Int, Flag::Member, offsetof(Point, x)),
                                  field("y", u"y", Xsd::Short, Flag::Member, offsetof(Point, y)), kEnd};
    SchemaMap pointMap = map("Point", u"Point", MapKind::Structure, pointFields, sizeof(Point), 2, 0);

    SchemaField drawFields[15] = {
        field("values", u"values", Xsd::Int, kDoc | Flag::In | Flag::DynamicArray, offsetof(DrawParams, values),
              nullptr, nullptr, 1),
        field("valueCount", u"valueCount", Xsd::Int, kDoc | Flag::In | Flag::NotMarshalled | Flag::SizeField,
              offsetof(DrawParams, valueCount)),
        field("fixed", u"fixed", Xsd::Int, kDoc | Flag::In | Flag::FixedArray, offsetof(DrawParams, fixed), nullptr,
              fixedDims),
        field("color", u"color", Xsd::Nested, kDoc | Flag::In, offsetof(DrawParams, color), &colorMap),
        field("points", u"points", Xsd::Nested, kDoc | Flag::In | Flag::DynamicArray, offsetof(DrawParams, points),
              &pointMap, nullptr, 5),
        field("pointCount", u"pointCount", Xsd::Int, kDoc | Flag::In | Flag::NotMarshalled | Flag::SizeField,
              offsetof(DrawParams, pointCount)),
        field("colors", u"colors", Xsd::Nested, kDoc | Flag::In | Flag::DynamicArray, offsetof(DrawParams, colors),
              &colorMap, nullptr, 7),
        field("colorCount", u"colorCount", Xsd::Int, kDoc | Flag::In | Flag::NotMarshalled | Flag::SizeField,
              offsetof(DrawParams, colorCount)),
        field("names", u"names", Xsd::String, kDoc | Flag::In | Flag::DynamicArray | Flag::Nillable,
              offsetof(DrawParams, names), nullptr, nullptr, 9),
        field("nameCount", u"nameCount", Xsd::Int, kDoc | Flag::In | Flag::NotMarshalled | Flag::SizeField,
              offsetof(DrawParams, nameCount)),
        field("hex", u"hex", Xsd::HexBinary, kDoc | Flag::In | Flag::Nillable, offsetof(DrawParams, hex)),
        field("total", u"total", Xsd::Nested, kDoc | Flag::Out, offsetof(DrawParams, total), &pointMap),
        field("echoed", u"echoed", Xsd::Int, kDoc | Flag::Out | Flag::DynamicArray, offsetof(DrawParams, echoed),
              nullptr, nullptr, 13),
        field("echoedCount", u"echoedCount", Xsd::Int, kDoc | Flag::Out | Flag::NotMarshalled | Flag::SizeField,
              offsetof(DrawParams, echoedCount)),
        kEnd};
    SchemaMap drawMap = map("Draw", u"DrawResponse", MapKind::Operation, drawFields, sizeof(DrawParams), 2, kDoc);

    SchemaField pingFields[3] = {
        field("token", u"token", Xsd::String, kPad | Flag::In | Flag::Nillable, offsetof(PingParams, token)),
        field("reply", u"reply", Xsd::String, kPad | Flag::Out | Flag::Nillable, offsetof(PingParams, reply)), kEnd};
    SchemaMap pingMap = map("Ping", u"PingResponse", MapKind::Operation, pingFields, sizeof(PingParams), 1, kPad);

    SchemaField lookupFields[5] = {
        field("key", u"key", Xsd::String, kRpc | Flag::In | Flag::Nillable, offsetof(LookupParams, key)),
        field("point", u"point", Xsd::Nested, kRpc | Flag::Out, offsetof(LookupParams, point), &pointMap),
        field("list", u"list", Xsd::Int, kRpc | Flag::Out | Flag::DynamicArray, offsetof(LookupParams, list), nullptr,
              nullptr, 3),
        field("listCount", u"listCount", Xsd::Int, kRpc | Flag::Out | Flag::NotMarshalled | Flag::SizeField,
              offsetof(LookupParams, listCount)),
        kEnd};
    SchemaMap lookupMap = map("Lookup", u"LookupResponse", MapKind::Operation, lookupFields, sizeof(LookupParams), 2,
                              kRpc);

    SchemaField bagFields[3] = {
        field("items", u"items", Xsd::Int, Flag::Member | Flag::DynamicArray, offsetof(Bag, items), nullptr, nullptr, 1),
        field("count", u"count", Xsd::Int, Flag::Member | Flag::NotMarshalled | Flag::SizeField, offsetof(Bag, count)),
        kEnd};
    SchemaMap bagMap = map("Bag", u"Bag", MapKind::Structure, bagFields, sizeof(Bag), 2, 0);
    SchemaField packFields[2] = {
        field("bag", u"bag", Xsd::Nested, kDoc | Flag::Out | Flag::ArrayWrapper, offsetof(PackParams, bag), &bagMap),
        kEnd};
    SchemaMap packMap = map("Pack", u"PackResponse", MapKind::Operation, packFields, sizeof(PackParams), 1, kDoc);
    SchemaField chainFields[2] = {
        field("pt", u"pt", Xsd::Nested, kPad | Flag::Out, offsetof(ChainParams, pt), &pointMap), kEnd};
    SchemaMap chainMap = map("Chain", u"ChainResponse", MapKind::Operation, chainFields, sizeof(ChainParams), 1,
                             kPad | Flag::Chained);

    SchemaField sessionFields[2] = {
        field("session", u"session", Xsd::String, kRpc | Flag::In | Flag::MustUnderstand, offsetof(Session, session)),
        kEnd};
    SchemaField servedFields[2] = {
        field("served", u"served", Xsd::String, kDoc | Flag::Out, offsetof(Session, served)), kEnd};
    SchemaField noFields[1] = {kEnd};
    SchemaMap drawHeader = map("Draw", u"Draw", MapKind::HeaderBlock, noFields, 0, 0, kDoc);
    SchemaMap pingHeader = map("Ping", u"Ping", MapKind::HeaderBlock, servedFields, sizeof(Session), 0, kDoc);
    SchemaMap lookupHeader = map("Lookup", u"Lookup", MapKind::HeaderBlock, sessionFields, sizeof(Session), 0, kRpc);

    SchemaMap emptyHeader = map("Empty", u"Empty", MapKind::HeaderBlock, noFields, 0, 0, kDoc);

    const SchemaMap* operations[6] = {&drawMap, &pingMap, &lookupMap, &packMap, &chainMap, nullptr};
    const SchemaMap* headers[6] = {&drawHeader, &pingHeader, &lookupHeader, &emptyHeader, &emptyHeader, nullptr};
};

inline const Tables& tables() {
    static const Tables t;
    return t;
}

enum { DrawOp = 0, PingOp = 1, LookupOp = 2, PackOp = 3, ChainOp = 4 };

// Root handler of the gallery service. On the service side, Draw answers with the sum of the
// points and the values in reverse order; Ping answers "pong:" + token.
class Handler : public CSoapRootHandler {
public:
    explicit Handler(bool client) { setClientMode(client); }
    const SchemaMap* const* operationMaps() override { return tables().operations; }
    const SchemaMap* const* headerMaps() override { return tables().headers; }
    const WCHAR* namespaceUri(int* n) override {
        *n = kNsLen;
        return kWideNs;
    }
    const char* serviceName(int* n) override {
        *n = 0;
        return nullptr;
    }
    const char* namespaceUriNarrow(int* n) override {
        *n = kNsLen;
        return kNs;
    }
    void* headerRecord() override { return &header; }
    HRESULT invokeOperation(int index, void* record) override {
        ++invoked;
        if (index == DrawOp) {
            auto* p = static_cast<DrawParams*>(record);
            for (int i = 0; i < p->pointCount; ++i) {
                p->total.x += p->points[i].x;
                p->total.y = static_cast<short>(p->total.y + p->points[i].y);
            }
            if (p->valueCount > 0) {
                p->echoed = static_cast<int*>(std::malloc(sizeof(int) * static_cast<std::size_t>(p->valueCount)));
                if (!p->echoed) return E_OUTOFMEMORY;
                for (int i = 0; i < p->valueCount; ++i) p->echoed[i] = p->values[p->valueCount - 1 - i];
                p->echoedCount = p->valueCount;
            }
            return S_OK;
        }
        if (index == PingOp) {
            auto* p = static_cast<PingParams*>(record);
            std::u16string reply = u"pong:" + std::u16string(p->token ? p->token : u"");
            p->reply = SysAllocStringLen(reply.data(), static_cast<UINT>(reply.size()));
            header.served = SysAllocString(u"yes");
            return p->reply && header.served ? S_OK : E_OUTOFMEMORY;
        }
        return E_NOTIMPL;
    }
    Session header{};
    int invoked = 0;
};

}  // namespace gallery
