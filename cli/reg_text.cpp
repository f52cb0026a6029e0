#include "cli/reg_text.h"

#include <cstdio>

#include <stringapiset.h>

namespace bf::cli::reg {
namespace {

struct RootEntry {
    const char* full;
    const char* shorter;
    HKEY key;
};

const RootEntry* roots() {
    static const RootEntry table[] = {
        {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
        {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
        {"HKEY_USERS", "HKU", HKEY_USERS},
        {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG},
        {nullptr, nullptr, nullptr},
    };
    return table;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
        if (up(a[i]) != up(b[i])) return false;
    }
    return true;
}

struct TypeEntry {
    DWORD type;
    const char* name;
};
constexpr TypeEntry kTypes[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

// Types `reg add` can write.
constexpr DWORD kWritable[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD};

std::u16string units(const std::vector<BYTE>& data) {
    std::u16string s(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return s;
}

// The text of a string value: up to its first terminator.
std::string string_text(const std::vector<BYTE>& data) {
    std::u16string s = units(data);
    if (auto z = s.find(u'\0'); z != std::u16string::npos) s.resize(z);
    return bf::to_utf8(s);
}

std::vector<std::u16string> multi_strings(const std::vector<BYTE>& data) {
    std::vector<std::u16string> out;
    std::u16string s = units(data);
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t z = s.find(u'\0', pos);
        if (z == std::u16string::npos) z = s.size();
        if (z == pos) break;  // an empty string ends the list
        out.push_back(s.substr(pos, z - pos));
        pos = z + 1;
    }
    return out;
}

std::optional<unsigned long long> parse_number(std::string_view t, unsigned long long max) {
    if (t.empty()) return std::nullopt;
    unsigned base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
    }
    unsigned long long v = 0;
    for (char c : t) {
        unsigned d;
        if (c >= '0' && c <= '9')
            d = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = unsigned(c - 'A' + 10);
        else
            return std::nullopt;
        if (v > (max - d) / base) return std::nullopt;
        v = v * base + d;
    }
    return v;
}

void append_utf16z(std::vector<BYTE>& out, std::u16string_view s) {
    for (char16_t c : s) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

// Width in the original's terms: UTF-16 units, not bytes.
std::size_t width(std::string_view utf8) { return bf::to_utf16(utf8).size(); }

}  // namespace

std::optional<KeyName> parse_key_name(std::string_view text) {
    std::size_t sep = text.find('\\');
    std::string_view root = text.substr(0, sep);
    for (const RootEntry* r = roots(); r->full; ++r) {
        if (!iequals(root, r->full) && !iequals(root, r->shorter)) continue;
        KeyName k;
        k.root = r->key;
        if (sep != std::string_view::npos) {
            std::string_view rest = text.substr(sep + 1);
            while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
            k.sub = bf::to_utf16(rest);
        }
        return k;
    }
    return std::nullopt;
}

std::u16string root_name(HKEY root) {
    for (const RootEntry* r = roots(); r->full; ++r)
        if (r->key == root) return bf::to_utf16(r->full);
    return {};
}

std::string type_name(DWORD type) {
    for (const TypeEntry& t : kTypes)
        if (t.type == type) return t.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(type));
    return buf;
}

std::optional<DWORD> parse_type_name(std::string_view text) {
    for (DWORD w : kWritable)
        if (iequals(text, type_name(w))) return w;
    return std::nullopt;
}

std::optional<std::vector<BYTE>> encode_data(DWORD type, std::string_view text, bool has_data, std::string& error) {
    std::vector<BYTE> out;
    switch (type) {
    case REG_DWORD:
    case REG_QWORD: {
        bool dword = type == REG_DWORD;
        unsigned long long v = 0;
        if (has_data) {
            auto n = parse_number(text, dword ? 0xFFFFFFFFull : ~0ull);
            if (!n) {
                error = "Invalid data for " + type_name(type) + ": '" + std::string(text) + "' is not a number from 0 to " +
                        (dword ? "4294967295" : "18446744073709551615") + " (decimal, or hexadecimal after 0x).";
                return std::nullopt;
            }
            v = *n;
        }
        for (int i = 0; i < (dword ? 4 : 8); ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
        return out;
    }
    case REG_BINARY: {
        if (text.size() % 2) {
            error = "Invalid data for REG_BINARY: an odd number of hexadecimal digits.";
            return std::nullopt;
        }
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        for (std::size_t i = 0; i < text.size(); i += 2) {
            int hi = hex(text[i]), lo = hex(text[i + 1]);
            if (hi < 0 || lo < 0) {
                error = "Invalid data for REG_BINARY: '" + std::string(text) + "' is not hexadecimal digits.";
                return std::nullopt;
            }
            out.push_back(static_cast<BYTE>(hi * 16 + lo));
        }
        return out;
    }
    case REG_MULTI_SZ: {
        std::vector<std::string_view> parts;
        for (std::size_t pos = 0; !text.empty();) {
            std::size_t sep = text.find("\\0", pos);
            parts.push_back(text.substr(pos, sep == std::string_view::npos ? sep : sep - pos));
            if (sep == std::string_view::npos) break;
            pos = sep + 2;
        }
        for (std::string_view p : parts) {
            if (p.empty()) {
                error = "Invalid data for REG_MULTI_SZ: an empty string would end the list early.";
                return std::nullopt;
            }
            append_utf16z(out, bf::to_utf16(p));
        }
        // The double terminator: an empty list is an empty first string and the end of the list.
        if (parts.empty()) append_utf16z(out, u"");
        out.push_back(0);
        out.push_back(0);
        return out;
    }
    default:
        append_utf16z(out, bf::to_utf16(text));
        return out;
    }
}

std::string query_line(std::u16string_view name, DWORD type, const std::vector<BYTE>& data) {
    std::string text;
    char buf[32];
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        text = string_text(data);
    } else if (type == REG_MULTI_SZ) {
        for (const auto& s : multi_strings(data)) {
            if (!text.empty()) text += "\\0";
            text += bf::to_utf8(s);
        }
    } else if ((type == REG_DWORD && data.size() == 4) || (type == REG_QWORD && data.size() == 8)) {
        unsigned long long v = 0;
        for (std::size_t i = data.size(); i-- > 0;) v = (v << 8) | data[i];
        std::snprintf(buf, sizeof buf, "0x%llx", v);
        text = buf;
    } else {
        for (BYTE b : data) {
            std::snprintf(buf, sizeof buf, "%02X", b);
            text += buf;
        }
    }
    std::string shown = name.empty() ? std::string("(Default)") : bf::to_utf8(name);
    return "    " + shown + "    " + type_name(type) + "    " + text + "\n";
}

std::string export_line(std::u16string_view name, DWORD type, const std::vector<BYTE>& data) {
    std::string line = name.empty() ? std::string("@=") : quoted(bf::to_utf8(name)) + "=";
    if (type == REG_SZ) {
        // A well-formed string (no terminator before its last unit) is written as text.
        std::u16string s = units(data);
        std::size_t z = s.find(u'\0');
        if (data.size() % 2 == 0 && (z == std::u16string::npos || z + 1 == s.size()))
            return line + quoted(string_text(data)) + "\n";
    }
    char buf[32];
    if (type == REG_DWORD && data.size() == 4) {
        DWORD v = DWORD(data[0]) | DWORD(data[1]) << 8 | DWORD(data[2]) << 16 | DWORD(data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v));
        return line + buf + "\n";
    }
    if (type == REG_BINARY) {
        line += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
        line += buf;
    }
    // Bytes as "xx," with a continuation ("\" and a new line indented by two) wherever the next
    // byte would push the line past 80 columns, counting the continuation mark.
    std::size_t col = width(line);
    for (std::size_t i = 0; i < data.size(); ++i) {
        bool last = i + 1 == data.size();
        std::size_t need = last ? 2 : 3 + 1;
        if (i > 0 && col + need > 80) {
            line += "\\\n  ";
            col = 2;
        }
        std::snprintf(buf, sizeof buf, last ? "%02x" : "%02x,", data[i]);
        line += buf;
        col += last ? 2 : 3;
    }
    return line + "\n";
}

}  // namespace bf::cli::reg
