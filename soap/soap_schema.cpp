#include "soap/soap_schema.h"

#include "soap/value_codec.h"

namespace bf::soap {
namespace {
constexpr XsdTypeName kTypeNames[] = {
    {u"string", "string", 6},
    {u"boolean", "boolean", 7},
    {u"float", "float", 5},
    {u"double", "double", 6},
    {u"decimal", "decimal", 7},
    {u"duration", "duration", 8},
    {u"hexBinary", "hexBinary", 9},
    {u"base64Binary", "base64Binary", 12},
    {u"anyURI", "anyURI", 6},
    {u"ID", "ID", 2},
    {u"IDREF", "IDREF", 5},
    {u"ENTITY", "ENTITY", 6},
    {u"NOTATION", "NOTATION", 8},
    {u"QName", "QName", 5},
    {u"normalizedString", "normalizedString", 16},
    {u"token", "token", 5},
    {u"language", "language", 8},
    {u"IDREFS", "IDREFS", 6},
    {u"ENTITIES", "ENTITIES", 8},
    {u"NMTOKEN", "NMTOKEN", 7},
    {u"NMTOKENS", "NMTOKENS", 8},
    {u"Name", "Name", 4},
    {u"NCName", "NCName", 6},
    {u"integer", "integer", 7},
    {u"nonPositiveInteger", "nonPositiveInteger", 18},
    {u"negativeInteger", "negativeInteger", 15},
    {u"long", "long", 4},
    {u"int", "int", 3},
    {u"short", "short", 5},
    {u"byte", "byte", 4},
    {u"nonNegativeInteger", "nonNegativeInteger", 18},
    {u"unsignedLong", "unsignedLong", 12},
    {u"unsignedInt", "unsignedInt", 11},
    {u"unsignedShort", "unsignedShort", 13},
    {u"unsignedByte", "unsignedByte", 12},
    {u"positiveInteger", "positiveInteger", 15},
    {u"dateTime", "dateTime", 8},
    {u"time", "time", 4},
    {u"date", "date", 4},
    {u"gMonth", "gMonth", 6},
    {u"gYearMonth", "gYearMonth", 10},
    {u"gYear", "gYear", 5},
    {u"gMonthDay", "gMonthDay", 9},
    {u"gDay", "gDay", 4},
};
static_assert(sizeof kTypeNames / sizeof kTypeNames[0] == Xsd::Last + 1);
}  // namespace

const XsdTypeName* xsdTypeName(int type) noexcept {
    return type >= 0 && type <= Xsd::Last ? &kTypeNames[type] : nullptr;
}

std::size_t xsdValueSize(int type) noexcept {
    switch (type) {
        case Xsd::Boolean: return 1;
        case Xsd::Float: return sizeof(float);
        case Xsd::Double: case Xsd::Decimal: return sizeof(double);
        case Xsd::HexBinary: case Xsd::Base64Binary: return sizeof(BinaryValue);
        case Xsd::Integer: case Xsd::NonPositiveInteger: case Xsd::NegativeInteger: case Xsd::Long:
        case Xsd::NonNegativeInteger: case Xsd::UnsignedLong: case Xsd::PositiveInteger:
            return 8;
        case Xsd::Int: case Xsd::UnsignedInt: return 4;
        case Xsd::Short: case Xsd::UnsignedShort: return 2;
        case Xsd::Byte: case Xsd::UnsignedByte: return 1;
        default:
            return type >= 0 && type <= Xsd::Last ? sizeof(void*) : 0;  // automation string
    }
}

std::string soapAction(const SchemaMap& operation) {
    std::string action(operation.namespaceUri ? operation.namespaceUri : "",
                       operation.namespaceUri ? static_cast<std::size_t>(operation.namespaceLength) : 0);
    action.push_back('/');
    action.append(operation.name, static_cast<std::size_t>(operation.nameLength));
    return action;
}

std::size_t fieldListLength(const SchemaField* fields) noexcept {
    std::size_t n = 0;
    if (fields)
        while (fields[n].hash != 0) ++n;
    return n;
}

}  // namespace bf::soap
