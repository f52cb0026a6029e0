// ASCII case folding for protocol tokens (scheme names, header names): no locale, no surprises.
#pragma once

#include <string_view>

namespace bf::http {

constexpr char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

constexpr bool AsciiEqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

struct AsciiLessNoCase {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        const std::size_t n = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < n; ++i) {
            const char16_t x = AsciiLower(a[i]), y = AsciiLower(b[i]);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

}  // namespace bf::http
