// Fonts and text: one sans-serif family loaded with FreeType, glyphs rendered with grey-scale
// anti-aliasing and no hinting (identical pixels everywhere), cached per face, size and glyph.
#include "gdi_internal.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

namespace bf::gdi {

namespace {

struct Glyph {
    int left = 0;
    int top = 0;
    int width = 0;
    int rows = 0;
    int advance = 0;
    std::vector<BYTE> coverage;
};

enum Style { kRegular, kBold, kOblique, kBoldOblique, kStyles };

struct Library {
    FT_Library ft = nullptr;
    FT_Face faces[kStyles] = {};
    bool tried[kStyles] = {};
    std::map<std::tuple<int, bool, int, FT_UInt>, Glyph> glyphs;
};

Library& library() {
    static auto* lib = new Library();
    return *lib;
}

FT_Face face_for(int style) {
    Library& lib = library();
    if (!lib.ft && FT_Init_FreeType(&lib.ft) != 0) {
        lib.ft = nullptr;
        return nullptr;
    }
    if (!lib.tried[style]) {
        lib.tried[style] = true;
        std::string path = BRACKENFOLD_FONT_FILE;
        if (style != kRegular) {
            // The styled faces sit next to the regular one: Name.ttf -> Name-Bold.ttf ...
            static const char* const suffix[kStyles] = {"", "-Bold", "-Oblique", "-BoldOblique"};
            const auto dot = path.rfind('.');
            path = path.substr(0, dot) + suffix[style] + path.substr(dot);
        }
        FT_Face face = nullptr;
        if (FT_New_Face(lib.ft, path.c_str(), 0, &face) == 0) lib.faces[style] = face;
    }
    return lib.faces[style];
}

// A font resolved to a face and pixel size.
struct Sized {
    FT_Face face = nullptr;
    int style = kRegular;
    bool embolden = false;  // bold wanted but no bold face
    bool underline = false;
    bool strike = false;
    int ppem = 0;
    int ascent = 0;
    int descent = 0;
    LONG weight = FW_NORMAL;
    bool italic = false;
};

int scale(int units, int ppem, int upem) {
    const long long v = static_cast<long long>(units) * ppem;
    return static_cast<int>(v >= 0 ? (v + upem / 2) / upem : -((-v + upem / 2) / upem));
}

bool resolve(const LOGFONTW& lf, Sized& out) {
    FT_Face regular = face_for(kRegular);
    if (!regular) return false;
    const int upem = regular->units_per_EM ? regular->units_per_EM : 2048;
    int asc_units = regular->ascender, desc_units = -regular->descender;
    if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(regular, FT_SFNT_OS2))) {
        asc_units = os2->usWinAscent;
        desc_units = os2->usWinDescent;
    }
    const int cell_units = std::max(1, asc_units + desc_units);
    // Negative heights ask for the em size, positive ones for the cell height, 0 for the default.
    long long ppem;
    const long long h = lf.lfHeight;
    if (h < 0) {
        ppem = -h;
    } else {
        const long long cell = h == 0 ? 16 : h;
        ppem = (cell * upem + cell_units / 2) / cell_units;
    }
    out.ppem = static_cast<int>(std::clamp<long long>(ppem, 1, 1000));
    out.ascent = scale(asc_units, out.ppem, upem);
    out.descent = scale(desc_units, out.ppem, upem);
    const bool bold = lf.lfWeight >= FW_SEMIBOLD;
    out.italic = lf.lfItalic != 0;
    out.style = (bold ? kBold : kRegular) + (out.italic ? kOblique : kRegular);
    out.face = face_for(out.style);
    if (!out.face && out.italic) {
        out.style = bold ? kBold : kRegular;
        out.face = face_for(out.style);
    }
    if (!out.face) {
        out.style = kRegular;
        out.face = regular;
        out.embolden = bold;
    }
    out.weight = lf.lfWeight == FW_DONTCARE ? FW_NORMAL : lf.lfWeight;
    out.underline = lf.lfUnderline != 0;
    out.strike = lf.lfStrikeOut != 0;
    return true;
}

const Glyph& glyph(const Sized& f, char32_t cp) {
    static const Glyph empty;
    Library& lib = library();
    const FT_UInt index = FT_Get_Char_Index(f.face, cp);  // 0 is the font's .notdef
    const auto key = std::make_tuple(f.style, f.embolden, f.ppem, index);
    auto it = lib.glyphs.find(key);
    if (it != lib.glyphs.end()) return it->second;
    if (lib.glyphs.size() > 8192) lib.glyphs.clear();
    Glyph g;
    FT_Set_Pixel_Sizes(f.face, 0, static_cast<FT_UInt>(f.ppem));
    if (FT_Load_Glyph(f.face, index, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) return empty;
    FT_GlyphSlot slot = f.face->glyph;
    FT_Pos extra = 0;
    if (f.embolden && slot->format == FT_GLYPH_FORMAT_OUTLINE) {
        extra = std::max<FT_Pos>(64, f.ppem * 64 / 16);
        FT_Outline_Embolden(&slot->outline, extra);
    }
    g.advance = static_cast<int>((slot->advance.x + extra + 32) >> 6);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) == 0) {
        const FT_Bitmap& bm = slot->bitmap;
        g.left = slot->bitmap_left;
        g.top = slot->bitmap_top;
        g.width = static_cast<int>(bm.width);
        g.rows = static_cast<int>(bm.rows);
        g.coverage.resize(static_cast<std::size_t>(g.width) * g.rows);
        for (int y = 0; y < g.rows; ++y) {
            std::memcpy(g.coverage.data() + static_cast<std::size_t>(y) * g.width, bm.buffer + y * bm.pitch,
                        static_cast<std::size_t>(g.width));
        }
    }
    return lib.glyphs.emplace(key, std::move(g)).first->second;
}

// The characters of a UTF-16 run with the index of the code unit each starts at; unpaired
// surrogates stay as they are and show as .notdef.
std::vector<std::pair<char32_t, std::size_t>> decode(const WCHAR* text, std::size_t count) {
    std::vector<std::pair<char32_t, std::size_t>> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = text[i];
        const std::size_t start = i;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        out.emplace_back(c, start);
    }
    return out;
}

int text_width(const Sized& f, const WCHAR* text, std::size_t count) {
    long long w = 0;
    for (const auto& [c, at] : decode(text, count)) w += glyph(f, c).advance;
    return sat(w);
}

void blend_glyph(const Paint& p, const Glyph& g, int x, int y, std::uint32_t color) {
    const RECT box{x, y, x + g.width, y + g.rows};
    for (const RECT& c : p.clip) {
        const RECT r = rect_intersect(box, c);
        if (rect_empty(r)) continue;
        for (int py = r.top; py < r.bottom; ++py) {
            const BYTE* cov = g.coverage.data() + static_cast<std::size_t>(py - y) * g.width - x;
            for (int px = r.left; px < r.right; ++px) {
                const int a = cov[px];
                if (a == 0) continue;
                if (a == 255) {
                    p.target.store(px, py, color);
                    continue;
                }
                const std::uint32_t d = p.target.load(px, py);
                std::uint32_t out = 0;
                for (int shift = 0; shift < 32; shift += 8) {
                    const int v = static_cast<int>((color >> shift) & 0xFF) * a + static_cast<int>((d >> shift) & 0xFF) * (255 - a);
                    out |= static_cast<std::uint32_t>((v + 127) / 255) << shift;
                }
                p.target.store(px, py, out);
            }
        }
    }
}

// Draws a run with its top-left cell corner at logical (x, top), honouring the DC's background
// mode; `dx` (optional) gives the advance of each code unit.
void draw_run(const Dc& dc, const Paint& p, const Sized& f, int x, int top, const WCHAR* text, std::size_t count,
              const INT* dx) {
    const auto chars = decode(text, count);
    long long width = 0;
    std::vector<int> advances;
    advances.reserve(chars.size());
    for (std::size_t k = 0; k < chars.size(); ++k) {
        int adv = glyph(f, chars[k].first).advance;
        if (dx) {
            const std::size_t end = k + 1 < chars.size() ? chars[k + 1].second : count;
            adv = 0;
            long long sum = 0;
            for (std::size_t u = chars[k].second; u < end; ++u) sum += dx[u];
            adv = sat(sum);
        }
        advances.push_back(adv);
        width += adv;
    }
    if (dc.st.bk_mode == OPAQUE && width > 0)
        fill_region(p, RECT{x, top, sat(x + width), sat(static_cast<long long>(top) + f.ascent + f.descent)},
                    pixel_of(dc.st.bk_color));
    const std::uint32_t color = pixel_of(dc.st.text_color);
    const long long baseline = static_cast<long long>(top) + f.ascent + p.offset.y;
    long long pen = static_cast<long long>(x) + p.offset.x;
    for (std::size_t k = 0; k < chars.size(); ++k) {
        const Glyph& g = glyph(f, chars[k].first);
        const bool near = pen > -kCoordLimit && pen < kCoordLimit && baseline > -kCoordLimit && baseline < kCoordLimit;
        if (near && !g.coverage.empty())
            blend_glyph(p, g, static_cast<int>(pen) + g.left, static_cast<int>(baseline) - g.top, color);
        pen += advances[k];
    }
    if (width > 0 && (f.underline || f.strike)) {
        const int thick = std::max(1, f.ppem / 14);
        const long long line_top = static_cast<long long>(top) + f.ascent;
        if (f.underline) fill_region(p, RECT{x, sat(line_top + 1LL), sat(x + width), sat(line_top + 1LL + thick)}, color);
        if (f.strike) {
            const long long y = line_top - f.ascent / 3;
            fill_region(p, RECT{x, sat(y), sat(x + width), sat(y + thick)}, color);
        }
    }
}

bool sized_for(const Dc& dc, Sized& f) { return resolve(dc_font(dc)->lf, f); }

int average_width(const Sized& f) { return glyph(f, U'x').advance; }

// DrawTextW's view of a line: its text, where it starts in the whole text, and its width.
struct Layout {
    const Sized& f;
    int tab = 0;  // tab stop distance when tabs expand, else 0
    int measure(const char16_t* text, std::size_t n) const {
        if (!tab) return text_width(f, text, n);
        long long x = 0;
        std::size_t seg = 0;
        for (std::size_t i = 0; i <= n; ++i) {
            if (i < n && text[i] != u'\t') continue;
            x += text_width(f, text + seg, i - seg);
            if (i < n) x = (x / tab + 1) * tab;
            seg = i + 1;
        }
        return sat(x);
    }
};

struct Line {
    std::u16string text;
    std::size_t offset = 0;
    int width = 0;
};

bool is_space(char16_t c) { return c == u' ' || c == u'\t'; }

// Breaks one paragraph into lines no wider than `limit` where spaces allow; a word wider than
// the limit keeps a line of its own. Trailing spaces do not count.
void wrap(const Layout& lay, const std::u16string& para, std::size_t para_offset, int limit, std::vector<Line>& out) {
    auto emit = [&](std::size_t from, std::size_t to) {
        while (to > from && is_space(para[to - 1])) --to;
        Line l{para.substr(from, to - from), para_offset + from, 0};
        l.width = lay.measure(l.text.data(), l.text.size());
        out.push_back(std::move(l));
    };
    std::size_t start = 0;
    while (true) {
        std::size_t end = start;  // end of what fits
        std::size_t pos = start;
        while (pos < para.size()) {
            std::size_t word_end = pos;
            while (word_end < para.size() && !is_space(para[word_end])) ++word_end;
            const int w = lay.measure(para.data() + start, word_end - start);
            if (w > limit && end > start) break;
            end = word_end;
            pos = word_end;
            while (pos < para.size() && is_space(para[pos])) ++pos;
            if (w > limit) break;  // a lone overlong word
        }
        if (pos >= para.size() && end >= para.size()) {
            emit(start, para.size());
            return;
        }
        emit(start, end);
        start = end;
        while (start < para.size() && is_space(para[start])) ++start;
        if (start >= para.size()) return;
    }
}

// Shortens a line to fit `limit` with "..." at its end.
void end_ellipsis(const Layout& lay, Line& l, int limit) {
    if (l.width <= limit) return;
    static const std::u16string dots = u"...";
    const int dots_w = lay.measure(dots.data(), dots.size());
    while (!l.text.empty()) {
        l.text.pop_back();
        if (!l.text.empty() && l.text.back() >= 0xD800 && l.text.back() <= 0xDBFF) l.text.pop_back();
        if (lay.measure(l.text.data(), l.text.size()) + dots_w <= limit) break;
    }
    l.text += dots;
    l.width = lay.measure(l.text.data(), l.text.size());
}

// Draws a line at (x, top), expanding tabs, and underlines the character at `mark` if any.
void draw_line(const Dc& dc, const Paint& p, const Layout& lay, int x, int top, const std::u16string& text,
               std::size_t mark) {
    std::size_t seg = 0;
    long long pen = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !(lay.tab && text[i] == u'\t')) continue;
        draw_run(dc, p, lay.f, sat(x + pen), top, text.data() + seg, i - seg, nullptr);
        pen += text_width(lay.f, text.data() + seg, i - seg);
        if (i < text.size()) pen = (pen / lay.tab + 1) * lay.tab;
        seg = i + 1;
    }
    if (mark < text.size()) {
        const int from = lay.measure(text.data(), mark);
        const std::size_t next = mark + ((text[mark] >= 0xD800 && text[mark] <= 0xDBFF && mark + 1 < text.size()) ? 2 : 1);
        const int to = lay.measure(text.data(), next);
        const int y = top + lay.f.ascent + 1;
        fill_region(p, RECT{sat(static_cast<long long>(x) + from), y, sat(static_cast<long long>(x) + to), y + 1},
                    pixel_of(dc.st.text_color));
    }
}
}  // namespace

}  // namespace bf::gdi

using namespace bf::gdi;

extern "C" {

HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lf) {
    if (!lf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(gdi_lock());
    auto f = std::make_unique<Font>();
    f->lf = *lf;
    f->lf.lfFaceName[LF_FACESIZE - 1] = 0;
    return static_cast<HFONT>(register_object(std::move(f)));
}

HFONT WINAPI CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                         DWORD underline, DWORD strike_out, DWORD charset, DWORD out_precision, DWORD clip_precision,
                         DWORD quality, DWORD pitch_and_family, LPCWSTR face) {
    LOGFONTW lf{};
    lf.lfHeight = height;
    lf.lfWidth = width;
    lf.lfEscapement = escapement;
    lf.lfOrientation = orientation;
    lf.lfWeight = weight;
    lf.lfItalic = static_cast<BYTE>(italic != 0);
    lf.lfUnderline = static_cast<BYTE>(underline != 0);
    lf.lfStrikeOut = static_cast<BYTE>(strike_out != 0);
    lf.lfCharSet = static_cast<BYTE>(charset);
    lf.lfOutPrecision = static_cast<BYTE>(out_precision);
    lf.lfClipPrecision = static_cast<BYTE>(clip_precision);
    lf.lfQuality = static_cast<BYTE>(quality);
    lf.lfPitchAndFamily = static_cast<BYTE>(pitch_and_family);
    for (int i = 0; face && i < LF_FACESIZE - 1 && face[i]; ++i) lf.lfFaceName[i] = face[i];
    return CreateFontIndirectW(&lf);
}

BOOL WINAPI GetTextMetricsW(HDC hdc, TEXTMETRICW* tm) {
    std::lock_guard<std::mutex> g(gdi_lock());
    Dc* dc = lookup_dc(hdc);
    Sized f;
    if (!dc || !tm) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!sized_for(*dc, f)) return FALSE;
    *tm = TEXTMETRICW{};
    tm->tmAscent = f.ascent;
    tm->tmDescent = f.descent;
    tm->tmHeight = f.ascent + f.descent;
    tm->tmInternalLeading = tm->tmHeight - f.ppem;
    tm->tmAveCharWidth = average_width(f);
    tm->tmMaxCharWidth = scale(static_cast<int>(f.face->max_advance_width), f.ppem, f.face->units_per_EM);
    tm->tmWeight = f.weight;
    tm->tmDigitizedAspectX = 96;
    tm->tmDigitizedAspectY = 96;
    tm->tmFirstChar = 0x20;
    tm->tmLastChar = 0xFFFC;
    tm->tmDefaultChar = 0x1F;
    tm->tmBreakChar = 0x20;
    tm->tmItalic = static_cast<BYTE>(f.italic);
    tm->tmUnderlined = static_cast<BYTE>(f.underline);
    tm->tmStruckOut = static_cast<BYTE>(f.strike);
    tm->tmPitchAndFamily = 0x06 | FF_SWISS;  // variable pitch, outline font
    tm->tmCharSet = DEFAULT_CHARSET;
    return TRUE;
}

BOOL WINAPI GetTextExtentPoint32W(HDC hdc, LPCWSTR text, int count, LPSIZE size) {
    std::lock_guard<std::mutex> g(gdi_lock());
    Dc* dc = lookup_dc(hdc);
    Sized f;
    if (!dc || !size || count < 0 || (count > 0 && !text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!sized_for(*dc, f)) return FALSE;
    size->cx = count ? text_width(f, text, static_cast<std::size_t>(count)) : 0;
    size->cy = f.ascent + f.descent;
    return TRUE;
}

BOOL WINAPI ExtTextOutW(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCWSTR text, UINT count,
                        const INT* dx) {
    std::lock_guard<std::mutex> g(gdi_lock());
    Dc* dc = lookup_dc(hdc);
    if (!dc || (count > 0 && !text) || count > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Sized f;
    if (!sized_for(*dc, f)) return FALSE;
    Paint p;
    if (!prepare_paint(*dc, p)) return TRUE;
    if (rect && (options & ETO_OPAQUE)) fill_region(p, *rect, pixel_of(dc->st.bk_color));
    if (count == 0) return TRUE;
    if (rect && (options & ETO_CLIPPED)) p.clip = region_intersect(p.clip, shift(*rect, p.offset));
    x = sat(x);
    y = sat(y);
    const UINT align = dc->st.text_align;
    long long sum = 0;
    if (align & (TA_CENTER | TA_RIGHT)) {
        if (dx) {
            for (UINT i = 0; i < count; ++i) sum += dx[i];
        } else {
            sum = text_width(f, text, count);
        }
    }
    const int width = sat(sum);
    if ((align & TA_CENTER) == TA_CENTER) x -= width / 2;
    else if (align & TA_RIGHT) x -= width;
    int top = y;
    if ((align & TA_BASELINE) == TA_BASELINE) top = y - f.ascent;
    else if (align & TA_BOTTOM) top = y - f.ascent - f.descent;
    draw_run(*dc, p, f, x, top, text, count, dx);
    return TRUE;
}

BOOL WINAPI TextOutW(HDC hdc, int x, int y, LPCWSTR text, int count) {
    if (count < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ExtTextOutW(hdc, x, y, 0, nullptr, text, static_cast<UINT>(count), nullptr);
}

int WINAPI DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format) {
    std::lock_guard<std::mutex> g(gdi_lock());
    Dc* dc = lookup_dc(hdc);
    if (!dc || !rect || count < -1 || (count != 0 && !text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Sized f;
    if (!sized_for(*dc, f)) return 0;
    std::u16string raw = count == -1 ? std::u16string(text) : std::u16string(text, static_cast<std::size_t>(count));
    std::size_t mark = std::u16string::npos;  // the character a prefix underlines
    if (!(format & DT_NOPREFIX)) {
        // "&x" shows x underlined, "&&" shows one ampersand.
        std::u16string plain;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == u'&') {
                if (i + 1 >= raw.size()) continue;
                ++i;
                if (raw[i] != u'&') mark = plain.size();
            }
            plain.push_back(raw[i]);
        }
        raw.swap(plain);
    }
    const Layout lay{f, (format & DT_EXPANDTABS) ? std::max(1, 8 * average_width(f)) : 0};
    const int line_height = f.ascent + f.descent;
    const RECT box = sat(*rect);
    const int box_w = box.right - box.left;
    std::vector<Line> lines;
    if (format & DT_SINGLELINE) {
        lines.push_back(Line{raw, 0, lay.measure(raw.data(), raw.size())});
    } else {
        std::size_t start = 0;
        while (true) {
            const std::size_t nl = raw.find_first_of(u"\r\n", start);
            const std::u16string para = raw.substr(start, nl == std::u16string::npos ? std::u16string::npos : nl - start);
            if (format & DT_WORDBREAK) {
                wrap(lay, para, start, box_w, lines);
            } else {
                lines.push_back(Line{para, start, lay.measure(para.data(), para.size())});
            }
            if (nl == std::u16string::npos) break;
            start = nl + (raw[nl] == u'\r' && nl + 1 < raw.size() && raw[nl + 1] == u'\n' ? 2 : 1);
            if (start >= raw.size()) break;  // a final line break adds no empty line
        }
    }
    if (lines.empty()) lines.push_back(Line{});
    if ((format & DT_END_ELLIPSIS) && !(format & DT_CALCRECT)) {
        for (Line& l : lines) end_ellipsis(lay, l, box_w);
    }
    const int total = sat(static_cast<long long>(lines.size()) * line_height);
    int max_w = 0;
    for (const Line& l : lines) max_w = std::max(max_w, l.width);
    if (format & DT_CALCRECT) {
        auto grow = [](LONG from, int by) {
            return static_cast<LONG>(std::min<long long>(static_cast<long long>(from) + by, INT32_MAX));
        };
        rect->right = grow(rect->left, max_w);
        rect->bottom = grow(rect->top, total);
        return total;
    }
    int y = box.top;
    const bool single = format & DT_SINGLELINE;
    if (single && (format & DT_VCENTER)) y = box.top + (box.bottom - box.top - total) / 2;
    else if (single && (format & DT_BOTTOM)) y = box.bottom - total;
    Paint p;
    if (prepare_paint(*dc, p)) {
        if (!(format & DT_NOCLIP)) {
            p.clip = region_intersect(p.clip, shift(box, p.offset));
        }
        long long line_top = y;
        for (const Line& l : lines) {
            if (line_top >= kCoordLimit) break;
            int x = box.left;
            if (format & DT_CENTER) x = box.left + (box_w - l.width) / 2;
            else if (format & DT_RIGHT) x = box.right - l.width;
            const std::size_t local = mark != std::u16string::npos && mark >= l.offset ? mark - l.offset : std::u16string::npos;
            draw_line(*dc, p, lay, x, static_cast<int>(line_top), l.text, local);
            line_top += line_height;
        }
    }
    if (single && (format & (DT_VCENTER | DT_BOTTOM))) return y - box.top + total;
    return total;
}

}  // extern "C"
