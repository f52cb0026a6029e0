// Internal to the codec: small helpers the request writer and the response parser share.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "soap/soap_schema.h"
#include "soap/value_codec.h"
#include "soap/write_stream.h"

namespace bf::soap::detail {

#define BF_TRY(expr)                 \
    do {                             \
        HRESULT hr_ = (expr);        \
        if (FAILED(hr_)) return hr_; \
    } while (0)

inline HRESULT put(IWriteStream* s, std::string_view text) {
    return s->WriteStream(text.data(), static_cast<int>(text.size()), nullptr);
}
inline HRESULT put(IWriteStream* s, const char* text, int length) {
    if (!text || length <= 0) return S_OK;
    return s->WriteStream(text, length, nullptr);
}
inline bool hasNamespace(const char* ns, int len) noexcept { return ns && len > 0; }

inline bool sameName(const WCHAR* text, int length, const char* name, int nameLength) noexcept {
    if (length != nameLength || length < 0) return false;
    for (int i = 0; i < length; ++i)
        if (text[i] != static_cast<unsigned char>(name[i])) return false;
    return true;
}

inline bool sameName(const WCHAR* text, int length, const WCHAR* name, int nameLength) noexcept {
    if (length != nameLength || length < 0) return false;
    return length == 0 || std::memcmp(text, name, static_cast<std::size_t>(length) * sizeof(WCHAR)) == 0;
}

inline bool isIntegerType(int type) noexcept { return type >= Xsd::Integer && type <= Xsd::PositiveInteger; }

inline bool loadCount(int type, const void* p, long long* out) noexcept {
    switch (type) {
        case Xsd::Integer: case Xsd::NonPositiveInteger: case Xsd::NegativeInteger: case Xsd::Long: {
            std::int64_t v; std::memcpy(&v, p, 8); *out = v; return true;
        }
        case Xsd::NonNegativeInteger: case Xsd::UnsignedLong: case Xsd::PositiveInteger: {
            std::uint64_t v; std::memcpy(&v, p, 8);
            *out = v > static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) ? -1 : static_cast<long long>(v);
            return true;
        }
        case Xsd::Int: { std::int32_t v; std::memcpy(&v, p, 4); *out = v; return true; }
        case Xsd::UnsignedInt: { std::uint32_t v; std::memcpy(&v, p, 4); *out = v; return true; }
        case Xsd::Short: { std::int16_t v; std::memcpy(&v, p, 2); *out = v; return true; }
        case Xsd::UnsignedShort: { std::uint16_t v; std::memcpy(&v, p, 2); *out = v; return true; }
        case Xsd::Byte: { std::int8_t v; std::memcpy(&v, p, 1); *out = v; return true; }
        case Xsd::UnsignedByte: { std::uint8_t v; std::memcpy(&v, p, 1); *out = v; return true; }
        default: return false;
    }
}

inline void storeCount(int type, void* p, std::size_t n) noexcept {
    switch (xsdValueSize(type)) {
        case 8: { std::uint64_t v = n; std::memcpy(p, &v, 8); break; }
        case 4: { std::uint32_t v = static_cast<std::uint32_t>(n); std::memcpy(p, &v, 4); break; }
        case 2: { std::uint16_t v = static_cast<std::uint16_t>(n); std::memcpy(p, &v, 2); break; }
        case 1: { std::uint8_t v = static_cast<std::uint8_t>(n); std::memcpy(p, &v, 1); break; }
        default: break;
    }
}

}  // namespace bf::soap::detail
