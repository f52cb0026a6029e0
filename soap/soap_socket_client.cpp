#include "soap/soap_socket_client.h"

#include <cstring>
#include <new>

#include <stringapiset.h>

namespace bf::soap {

HRESULT CWriteStreamOnString::WriteStream(const char* data, int length, DWORD* written) {
    if (written) *written = 0;
    if (!data) return E_FAIL;
    const std::size_t count = length < 0 ? std::strlen(data) : static_cast<std::size_t>(length);
    try {
        m_string.append(data, count);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    }
    if (written) *written = static_cast<DWORD>(count);
    return S_OK;
}

namespace {

bool KeptAsIs(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("!'()*-./:_~%", c) != nullptr && c != '\0';
}

}  // namespace

bool EscapeEndpointUrl(std::u16string_view text, std::u16string& escaped) {
    static constexpr std::size_t kMaxUrl = 2083;  // with the terminator
    static constexpr char kHex[] = "0123456789abcdef";
    escaped.clear();
    const std::string utf8 = bf::to_utf8(text);
    std::string out;
    out.reserve(utf8.size());
    const std::size_t tail = utf8.find_first_of("?#");
    const std::size_t head = tail == std::string::npos ? utf8.size() : tail;
    for (std::size_t i = 0; i < head; ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (KeptAsIs(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
        if (out.size() >= kMaxUrl) return false;
    }
    out.append(utf8, head, std::string::npos);
    std::u16string result = bf::to_utf16(out);
    if (result.size() + 1 > kMaxUrl) return false;
    escaped = std::move(result);
    return true;
}

bool IsSingleHeaderLine(std::u16string_view line) noexcept {
    if (line.size() < 2 || line.substr(line.size() - 2) != u"\r\n") return false;
    line.remove_suffix(2);
    for (char16_t c : line)
        if (c == u'\r' || c == u'\n' || c == u'\0') return false;
    return true;
}

}  // namespace bf::soap
