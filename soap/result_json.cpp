#include "soap/result_json.h"

#include <cstdio>

namespace bf::soap {

namespace {

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

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
    for (std::size_t i = 0; i < length; ++i) {
        unsigned c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
            continue;
        }
        switch (c) {
            case '"': out.append("\\\""); continue;
            case '\\': out.append("\\\\"); continue;
            case '\b': out.append("\\b"); continue;
            case '\f': out.append("\\f"); continue;
            case '\n': out.append("\\n"); continue;
            case '\r': out.append("\\r"); continue;
            case '\t': out.append("\\t"); continue;
            default: break;
        }
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF))
            appendEscape(out, c);  // control characters and lone surrogates
        else
            appendUtf8(out, c);
    }
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
