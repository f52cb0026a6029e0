#include "soap/result_json.h"

#include <cstdio>
#include <string_view>

#include <stringapiset.h>

namespace bf::soap {

namespace {

void appendEscape(std::string& out, unsigned unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", unit);
    out.append(buf, 6);
}

void appendBstr(std::string& out, BSTR s) {
    appendJsonString(out, s, s ? SysStringLen(s) : 0, s == nullptr);
}

void appendBinary(std::string& out, const BinaryValue& b) {
    if (!b.data || b.size <= 0) {
        out.append("null");
        return;
    }
    out.push_back('"');
    appendBase64(out, b.data, static_cast<std::size_t>(b.size), Base64::NoLineBreaks);
    out.push_back('"');
}

}  // namespace

void appendJsonString(std::string& out, const WCHAR* text, std::size_t length, bool isNull) {
    if (isNull) {
        out.append("null");
        return;
    }
    out.push_back('"');
    // Runs of characters that need no escape go through the platform's UTF-8 encoder whole; a
    // surrogate pair stays inside its run, a lone surrogate is escaped like a control character.
    std::size_t run = 0;
    auto flush = [&](std::size_t end) {
        if (end > run) out.append(bf::to_utf8(std::u16string_view(text + run, end - run)));
    };
    for (std::size_t i = 0; i < length; ++i) {
        unsigned c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        const char* escape = nullptr;
        switch (c) {
            case '"': escape = "\\\""; break;
            case '\\': escape = "\\\\"; break;
            case '\b': escape = "\\b"; break;
            case '\f': escape = "\\f"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            default: break;
        }
        if (!escape && c >= 0x20 && (c < 0xD800 || c > 0xDFFF)) continue;
        flush(i);
        if (escape)
            out.append(escape);
        else
            appendEscape(out, c);  // control characters and lone surrogates
        run = i + 1;
    }
    flush(length);
    out.push_back('"');
}

std::string hresultJson(HRESULT hr) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{\"hresult\":\"0x%08X\"}", static_cast<unsigned>(hr));
    return buf;
}

std::string faultJson(HRESULT hr, const FaultRecord& fault) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{\"hresult\":\"0x%08X\",\"code\":%d,\"faultCode\":", static_cast<unsigned>(hr),
                  fault.code);
    std::string out(buf);
    appendJsonString(out, fault.faultCodeText.data(), fault.faultCodeText.size());
    out.append(",\"faultString\":");
    appendJsonString(out, fault.faultString.data(), fault.faultString.size());
    out.append(",\"faultActor\":");
    appendJsonString(out, fault.faultActor.data(), fault.faultActor.size());
    out.append(",\"detail\":");
    appendJsonString(out, fault.detail.data(), fault.detail.size());
    out.push_back('}');
    return out;
}

}  // namespace bf::soap

namespace Brackenfold {

using namespace bf::soap;

std::string toJson(const Combo& v) {
    std::string out("{\"ClsUpdate\":{\"adID\":");
    appendSigned(out, v.ClsUpdate.adID);
    out.append(",\"Height\":");
    appendSigned(out, v.ClsUpdate.Height);
    out.append(",\"Width\":");
    appendSigned(out, v.ClsUpdate.Width);
    out.append(",\"AdType\":");
    appendBstr(out, v.ClsUpdate.AdType);
    out.append(",\"AdURL\":");
    appendBstr(out, v.ClsUpdate.AdURL);
    out.append(",\"AdBinary\":");
    appendBinary(out, v.ClsUpdate.AdBinary);
    out.append("},\"Rating\":");
    appendUnsigned(out, v.Rating);
    out.append(",\"intRet\":");
    appendSigned(out, v.intRet);
    out.append(",\"Alias\":");
    appendBstr(out, v.Alias);
    out.append(",\"Error\":");
    out.append(v.Error ? "true" : "false");
    out.push_back('}');
    return out;
}

std::string toJson(const Ret& v) {
    std::string out("{\"strRet\":");
    appendBstr(out, v.strRet);
    out.append(",\"intRet\":");
    appendSigned(out, v.intRet);
    out.push_back('}');
    return out;
}

}  // namespace Brackenfold
