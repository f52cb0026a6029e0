#include "http/header_map.h"

#include <climits>

#include <stringapiset.h>

namespace bf::http {
namespace {

// Header lines are ASCII in practice: widen that straight, decode only what is not.
// Header text is ASCII in practice: widen it in one pass, convert only what is not.
std::u16string Widen(std::string_view bytes) {
    std::u16string out(bytes.size(), u'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) return bf::to_utf16(bytes);
        out[i] = c;
    }
    return out;
}

}  // namespace

void HeaderMap::Add(std::u16string_view name, std::u16string_view value) {
    auto it = m_map.find(name);
    if (it == m_map.end()) {
        m_map.emplace(std::u16string(name), std::u16string(value));
        return;
    }
    it->second += u',';
    it->second.append(value);
}

bool HeaderMap::Find(std::u16string_view name, std::u16string& value) const {
    const std::u16string* found = Get(name);
    if (!found) return false;
    value = *found;
    return true;
}

const std::u16string* HeaderMap::Get(std::u16string_view name) const {
    auto it = m_map.find(name);
    return it == m_map.end() ? nullptr : &it->second;
}

HeaderLineResult ParseHeaderLine(std::string_view line, std::u16string& name, std::u16string& value) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return HeaderLineResult::Ignored;
    if (colon == 0 || colon >= kMaxHeaderPart) return HeaderLineResult::Failed;
    std::size_t start = colon + 1;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t' || line[start] == '\r' || line[start] == '\n'))
        ++start;
    if (line.size() - start >= kMaxHeaderPart) return HeaderLineResult::Failed;
    name = Widen(line.substr(0, colon));
    value = Widen(line.substr(start));
    return HeaderLineResult::Parsed;
}

bool HeaderLineReader::Next(std::string_view& line) {
    const std::string_view rest = m_text.substr(m_pos);
    if (rest.empty() || rest.substr(0, 2) == "\r\n") return false;
    std::size_t search = 0;
    for (;;) {
        const std::size_t crlf = rest.find("\r\n", search);
        if (crlf == std::string_view::npos) {
            line = rest;
            m_pos = m_text.size();
            return true;
        }
        const std::size_t next = crlf + 2;
        if (next < rest.size() && (rest[next] == ' ' || rest[next] == '\t')) {
            search = next;
            continue;
        }
        line = rest.substr(0, crlf);
        m_pos += next;
        return true;
    }
}

bool ParseStatusLine(std::string_view block, int& status, std::size_t& headersBegin) {
    status = -1;
    std::size_t i = 0;
    while (i < block.size() && block[i] != ' ' && block[i] != '\t' && block[i] != '\r' && block[i] != '\n') ++i;
    while (i < block.size() && (block[i] == ' ' || block[i] == '\t')) ++i;
    if (i >= block.size() || block[i] < '0' || block[i] > '9') return false;
    long long value = 0;
    while (i < block.size() && block[i] >= '0' && block[i] <= '9') {
        value = value * 10 + (block[i] - '0');
        if (value > INT_MAX) return false;
        ++i;
    }
    const std::size_t lf = block.find('\n', i);
    if (lf == std::string_view::npos) return false;
    status = static_cast<int>(value);
    headersBegin = lf + 1;
    return true;
}

}  // namespace bf::http
