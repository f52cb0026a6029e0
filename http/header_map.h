// HeaderMap: the response's headers by name (ASCII case-insensitive), a repeated name joined
// into one value with ","; and the decoding of a header block into logical lines and of one
// line into name and value. Socket-free.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "http/ascii.h"

namespace bf::http {

class HeaderMap {
public:
    using Map = std::map<std::u16string, std::u16string, AsciiLessNoCase>;

    void Clear() { m_map.clear(); }
    // A name already present keeps its place; its value becomes old + "," + new.
    void Add(std::u16string_view name, std::u16string_view value);
    bool Find(std::u16string_view name, std::u16string& value) const;
    bool Contains(std::u16string_view name) const { return m_map.find(name) != m_map.end(); }
    // Null when absent.
    const std::u16string* Get(std::u16string_view name) const;
    std::size_t Size() const { return m_map.size(); }
    Map::const_iterator begin() const { return m_map.begin(); }
    Map::const_iterator end() const { return m_map.end(); }

private:
    Map m_map;
};

// Names and values of this many bytes or more are dropped.
inline constexpr std::size_t kMaxHeaderPart = 1024;

enum class HeaderLineResult {
    Parsed,   // name and value filled
    Ignored,  // no ":" in the line: not a header, nothing to store
    Failed,   // empty or overlong name, overlong value: the line is dropped
};

// Decodes one logical header line (without its final CR LF). White space after ":" is skipped;
// the value runs to the end, folded continuations included. Bytes are UTF-8.
HeaderLineResult ParseHeaderLine(std::string_view line, std::u16string& name, std::u16string& value);

// Walks the header lines of a block: `lines` starts after the status line and ends with the
// block's blank line. A line ends at a CR LF not followed by a blank or tab; the walk stops at
// the blank line.
class HeaderLineReader {
public:
    explicit HeaderLineReader(std::string_view lines) : m_text(lines) {}
    bool Next(std::string_view& line);

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// Reads the status code from the start of a header block: a first token (the protocol version,
// not checked), blanks, then a decimal number; the line must end with a LF inside `block`.
// `headersBegin` receives the offset just past that LF.
bool ParseStatusLine(std::string_view block, int& status, std::size_t& headersBegin);

}  // namespace bf::http
