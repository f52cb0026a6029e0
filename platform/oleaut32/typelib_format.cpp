// Parser of the type library text format (see resources/README.md).
#include "typelib_format.h"

#include <cstdlib>
#include <new>

#include <stringapiset.h>

namespace bf {
namespace {

constexpr std::size_t kMaxNameChars = 255;
constexpr std::size_t kMaxTypes = 4096;
constexpr std::size_t kMaxMembers = 4096;
constexpr std::size_t kMaxParams = 64;
// The last method's byte offset must fit a SHORT.
constexpr std::size_t kMaxVtableSlots = 0x7FFF / sizeof(void*) + 1;

struct Token {
    std::string text;
    bool quoted = false;
};

struct Flag {
    const char* name;
    int value;
};

constexpr Flag kLibFlags[] = {{"restricted", LIBFLAG_FRESTRICTED}, {"control", LIBFLAG_FCONTROL},
                              {"hidden", LIBFLAG_FHIDDEN}, {"hasdiskimage", LIBFLAG_FHASDISKIMAGE}};
constexpr Flag kTypeFlags[] = {
    {"appobject", TYPEFLAG_FAPPOBJECT},   {"cancreate", TYPEFLAG_FCANCREATE},
    {"licensed", TYPEFLAG_FLICENSED},     {"predeclid", TYPEFLAG_FPREDECLID},
    {"hidden", TYPEFLAG_FHIDDEN},         {"control", TYPEFLAG_FCONTROL},
    {"dual", TYPEFLAG_FDUAL},             {"nonextensible", TYPEFLAG_FNONEXTENSIBLE},
    {"oleautomation", TYPEFLAG_FOLEAUTOMATION}, {"restricted", TYPEFLAG_FRESTRICTED},
    {"aggregatable", TYPEFLAG_FAGGREGATABLE}, {"replaceable", TYPEFLAG_FREPLACEABLE},
    {"dispatchable", TYPEFLAG_FDISPATCHABLE}, {"reversebind", TYPEFLAG_FREVERSEBIND},
    {"proxy", TYPEFLAG_FPROXY}};
constexpr Flag kFuncFlags[] = {{"restricted", FUNCFLAG_FRESTRICTED}, {"source", FUNCFLAG_FSOURCE},
                               {"bindable", FUNCFLAG_FBINDABLE}, {"hidden", FUNCFLAG_FHIDDEN}};
constexpr Flag kImplFlags[] = {{"default", IMPLTYPEFLAG_FDEFAULT}, {"source", IMPLTYPEFLAG_FSOURCE},
                               {"restricted", IMPLTYPEFLAG_FRESTRICTED},
                               {"defaultvtable", IMPLTYPEFLAG_FDEFAULTVTABLE}};

template <std::size_t N>
bool flag_value(const Flag (&table)[N], const std::string& name, int& out) {
    for (const Flag& f : table)
        if (name == f.name) {
            out = f.value;
            return true;
        }
    return false;
}

bool names_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return true;
}

bool valid_name(const std::string& s) {
    if (s.empty() || s.size() > kMaxNameChars) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        bool digit = c >= '0' && c <= '9';
        if (!alpha && !(digit && i > 0)) return false;
    }
    return true;
}

// Decimal (optionally negative) or 0x hexadecimal, within [lo, hi].
bool parse_number(const std::string& s, long long lo, long long hi, long long& out) {
    if (s.empty() || s.size() > 20) return false;
    std::size_t i = 0;
    bool neg = false;
    if (s[0] == '-') {
        neg = true;
        i = 1;
    }
    int base = 10;
    if (s.size() > i + 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return false;
    long long v = 0;
    for (; i < s.size(); ++i) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFLL) return false;
    }
    if (neg) v = -v;
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

class Parser {
public:
    Parser(TypeLibData& out, std::string* error) : out_(out), error_(error) {}

    HRESULT run(std::string_view text) {
        if (text.size() > kMaxTypeLibBytes) return fail("description too large");
        std::size_t pos = 0;
        while (pos <= text.size()) {
            std::size_t eol = text.find('\n', pos);
            if (eol == std::string_view::npos) eol = text.size();
            ++line_;
            std::vector<Token> toks;
            if (!tokenize(text.substr(pos, eol - pos), toks)) return fail("unterminated quoted string");
            if (!toks.empty())
                if (HRESULT hr = line(toks); FAILED(hr)) return hr;
            pos = eol + 1;
        }
        if (!seen_magic_) return fail("not a type library description");
        if (!seen_library_) return fail("no library line");
        return finish();
    }

private:
    enum class Scope { None, Library, Type, Member };

    HRESULT fail(const char* why) {
        if (error_) *error_ = "line " + std::to_string(line_) + ": " + why;
        return TYPE_E_INVDATAREAD;
    }

    static bool tokenize(std::string_view l, std::vector<Token>& toks) {
        std::size_t i = 0;
        while (i < l.size()) {
            char c = l[i];
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
                continue;
            }
            if (c == '#') break;
            Token t;
            if (c == '"') {
                t.quoted = true;
                ++i;
                for (;;) {
                    if (i >= l.size()) return false;
                    char d = l[i++];
                    if (d == '"') break;
                    if (d == '\\' && i < l.size() && (l[i] == '"' || l[i] == '\\')) d = l[i++];
                    t.text.push_back(d);
                }
            } else {
                while (i < l.size() && l[i] != ' ' && l[i] != '\t' && l[i] != '\r') t.text.push_back(l[i++]);
            }
            toks.push_back(std::move(t));
        }
        return true;
    }

    HRESULT line(const std::vector<Token>& t) {
        const std::string& kw = t[0].text;
        if (t[0].quoted) return fail("a line starts with a keyword");
        if (!seen_magic_) {
            if (kw != "bftypelib" || t.size() != 2 || t[1].text != "1") return fail("expected \"bftypelib 1\"");
            seen_magic_ = true;
            return S_OK;
        }
        if (kw == "library") return library(t);
        if (kw == "import" || kw == "interface" || kw == "dispinterface" || kw == "coclass") return type(t);
        if (kw == "method" || kw == "propget" || kw == "propput" || kw == "propputref") return member(t);
        if (kw == "implements") return implements(t);
        if (kw == "doc") {
            if (t.size() != 2 || !t[1].quoted) return fail("doc takes one quoted string");
            std::u16string s = to_utf16(t[1].text);
            switch (scope_) {
                case Scope::Library: out_.doc = std::move(s); break;
                case Scope::Type: out_.types.back().doc = std::move(s); break;
                case Scope::Member: out_.types.back().funcs.back().doc = std::move(s); break;
                case Scope::None: return fail("doc before library");
            }
            return S_OK;
        }
        if (kw == "helpfile") {
            if (scope_ != Scope::Library || t.size() != 2 || !t[1].quoted) return fail("helpfile belongs to the library");
            out_.help_file = to_utf16(t[1].text);
            return S_OK;
        }
        if (kw == "lcid") {
            long long v;
            if (scope_ != Scope::Library || t.size() != 2 || !parse_number(t[1].text, 0, 0xFFFFFFFFLL, v))
                return fail("lcid belongs to the library and takes a number");
            out_.lcid = static_cast<LCID>(v);
            return S_OK;
        }
        if (kw == "helpcontext") {
            long long v;
            if (t.size() != 2 || !parse_number(t[1].text, 0, 0xFFFFFFFFLL, v)) return fail("helpcontext takes a number");
            if (scope_ == Scope::Library) out_.help_context = static_cast<DWORD>(v);
            else if (scope_ == Scope::Type) out_.types.back().help_context = static_cast<DWORD>(v);
            else return fail("helpcontext belongs to the library or a type");
            return S_OK;
        }
        if (kw == "flags") return flags(t);
        return fail("unknown keyword");
    }

    HRESULT library(const std::vector<Token>& t) {
        if (seen_library_) return fail("a second library line");
        if (t.size() != 4 || !valid_name(t[1].text)) return fail("library NAME GUID MAJOR.MINOR");
        auto g = parse_guid(std::string_view(t[2].text));
        if (!g) return fail("bad library GUID");
        auto dot = t[3].text.find('.');
        long long maj, min;
        if (dot == std::string::npos || !parse_number(t[3].text.substr(0, dot), 0, 0xFFFF, maj) ||
            !parse_number(t[3].text.substr(dot + 1), 0, 0xFFFF, min))
            return fail("bad library version");
        out_.name = to_utf16(t[1].text);
        out_.guid = *g;
        out_.major = static_cast<WORD>(maj);
        out_.minor = static_cast<WORD>(min);
        seen_library_ = true;
        scope_ = Scope::Library;
        return S_OK;
    }

    HRESULT type(const std::vector<Token>& t) {
        if (!seen_library_) return fail("types come after the library line");
        std::size_t i = 0;
        TypeLibType ty;
        if (t[0].text == "import") {
            ty.imported = true;
            i = 1;
        }
        if (t.size() < i + 3) return fail("KIND NAME GUID [: BASE]");
        const std::string& kind = t[i].text;
        if (kind == "interface") ty.kind = TKIND_INTERFACE;
        else if (kind == "dispinterface") ty.kind = TKIND_DISPATCH;
        else if (kind == "coclass") ty.kind = TKIND_COCLASS;
        else return fail("unknown type kind");
        if (!valid_name(t[i + 1].text)) return fail("bad type name");
        auto g = parse_guid(std::string_view(t[i + 2].text));
        if (!g) return fail("bad type GUID");
        ty.name = to_utf16(t[i + 1].text);
        ty.guid = *g;
        std::size_t rest = t.size() - (i + 3);
        if (rest == 2) {
            if (ty.kind == TKIND_COCLASS || t[i + 3].text != ":" || !valid_name(t[i + 4].text))
                return fail("only interfaces take \": BASE\"");
            ty.impls.push_back({to_utf16(t[i + 4].text), 0, 0});
        } else if (rest != 0) {
            return fail("KIND NAME GUID [: BASE]");
        }
        for (const auto& other : out_.types)
            if (names_equal(other.name, ty.name)) return fail("a type of that name exists");
        if (out_.types.size() >= kMaxTypes) return fail("too many types");
        out_.types.push_back(std::move(ty));
        scope_ = Scope::Type;
        return S_OK;
    }

    HRESULT member(const std::vector<Token>& t) {
        if (out_.types.empty() || out_.types.back().kind == TKIND_COCLASS || scope_ == Scope::Library)
            return fail("members belong to an interface");
        TypeLibType& ty = out_.types.back();
        if (t.size() < 3) return fail("MEMBER DISPID NAME [PARAM...]");
        if (t.size() - 3 > kMaxParams) return fail("too many parameters");
        if (ty.funcs.size() >= kMaxMembers) return fail("too many members");
        TypeLibFunc f;
        const std::string& kw = t[0].text;
        f.invkind = kw == "method"    ? INVOKE_FUNC
                    : kw == "propget" ? INVOKE_PROPERTYGET
                    : kw == "propput" ? INVOKE_PROPERTYPUT
                                      : INVOKE_PROPERTYPUTREF;
        long long id;
        if (!parse_number(t[1].text, -0x80000000LL, 0xFFFFFFFFLL, id)) return fail("bad dispid");
        f.memid = static_cast<MEMBERID>(static_cast<DWORD>(id));
        if (!valid_name(t[2].text)) return fail("bad member name");
        f.name = to_utf16(t[2].text);
        for (std::size_t k = 3; k < t.size(); ++k) {
            if (!valid_name(t[k].text)) return fail("bad parameter name");
            f.params.push_back(to_utf16(t[k].text));
        }
        ty.funcs.push_back(std::move(f));
        scope_ = Scope::Member;
        return S_OK;
    }

    HRESULT implements(const std::vector<Token>& t) {
        if (out_.types.empty() || out_.types.back().kind != TKIND_COCLASS || scope_ == Scope::Library)
            return fail("implements belongs to a coclass");
        if (t.size() < 2 || !valid_name(t[1].text)) return fail("implements NAME [FLAG...]");
        TypeLibImpl impl{to_utf16(t[1].text), 0, 0};
        for (std::size_t k = 2; k < t.size(); ++k) {
            int v;
            if (!flag_value(kImplFlags, t[k].text, v)) return fail("unknown implements flag");
            impl.flags |= v;
        }
        if (out_.types.back().impls.size() >= kMaxMembers) return fail("too many interfaces");
        out_.types.back().impls.push_back(std::move(impl));
        return S_OK;
    }

    HRESULT flags(const std::vector<Token>& t) {
        int all = 0;
        for (std::size_t k = 1; k < t.size(); ++k) {
            int v = 0;
            bool ok = scope_ == Scope::Library ? flag_value(kLibFlags, t[k].text, v)
                      : scope_ == Scope::Type  ? flag_value(kTypeFlags, t[k].text, v)
                      : scope_ == Scope::Member ? flag_value(kFuncFlags, t[k].text, v)
                                                : false;
            if (!ok) return fail("unknown flag here");
            all |= v;
        }
        switch (scope_) {
            case Scope::Library: out_.flags = static_cast<WORD>(all); break;
            case Scope::Type: out_.types.back().flags = static_cast<WORD>(all); break;
            case Scope::Member: out_.types.back().funcs.back().flags = static_cast<WORD>(all); break;
            case Scope::None: return fail("flags before library");
        }
        return S_OK;
    }

    // Own types first, then resolve every reference by name and refuse base cycles.
    HRESULT finish() {
        std::vector<TypeLibType> ordered;
        ordered.reserve(out_.types.size());
        for (auto& ty : out_.types)
            if (!ty.imported) ordered.push_back(std::move(ty));
        out_.own_count = ordered.size();
        for (auto& ty : out_.types)
            if (ty.imported) ordered.push_back(std::move(ty));
        out_.types = std::move(ordered);

        for (auto& ty : out_.types) {
            for (auto& impl : ty.impls) {
                std::size_t k = 0;
                while (k < out_.types.size() && !names_equal(out_.types[k].name, impl.name)) ++k;
                if (k == out_.types.size()) {
                    line_ = 0;
                    return fail("a referenced type is not described");
                }
                if (out_.types[k].kind == TKIND_COCLASS) {
                    line_ = 0;
                    return fail("a coclass cannot be a base or an implemented interface");
                }
                impl.ref = static_cast<HREFTYPE>(k);
            }
        }
        for (std::size_t start = 0; start < out_.types.size(); ++start) {
            std::size_t cur = start, steps = 0;
            while (out_.types[cur].kind != TKIND_COCLASS && !out_.types[cur].impls.empty()) {
                cur = out_.types[cur].impls[0].ref;
                if (++steps > out_.types.size()) {
                    line_ = 0;
                    return fail("interfaces derive from each other in a circle");
                }
            }
        }
        // A method's place in the vtable is told as a SHORT byte offset (and the table's size as a
        // WORD): an interface whose methods, its bases' included, reach past that is refused
        // rather than described with offsets that wrap.
        std::vector<std::size_t> slots(out_.types.size(), 0);
        std::vector<bool> counted(out_.types.size(), false);
        std::vector<std::size_t> chain;
        for (std::size_t start = 0; start < out_.types.size(); ++start) {
            chain.clear();
            std::size_t cur = start;
            while (!counted[cur] && out_.types[cur].kind == TKIND_INTERFACE && !out_.types[cur].impls.empty()) {
                chain.push_back(cur);
                cur = out_.types[cur].impls[0].ref;
            }
            std::size_t below = counted[cur]                                  ? slots[cur]
                                : out_.types[cur].kind == TKIND_DISPATCH      ? 7
                                : out_.types[cur].kind == TKIND_INTERFACE     ? out_.types[cur].funcs.size()
                                                                              : 0;
            slots[cur] = below;
            counted[cur] = true;
            for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
                below += out_.types[*it].funcs.size();
                slots[*it] = below;
                counted[*it] = true;
            }
            if (slots[start] > kMaxVtableSlots) {
                line_ = 0;
                return fail("an interface has more methods than its vtable offsets can reach");
            }
        }
        return S_OK;
    }

    TypeLibData& out_;
    std::string* error_;
    std::size_t line_ = 0;
    bool seen_magic_ = false;
    bool seen_library_ = false;
    Scope scope_ = Scope::None;
};

}  // namespace

bool looks_like_type_library(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    // Comment lines may come first.
    while (i < text.size() && text[i] == '#') {
        while (i < text.size() && text[i] != '\n') ++i;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    }
    return text.substr(i, 9) == "bftypelib";
}

HRESULT parse_type_library(std::string_view text, TypeLibData& out, std::string* error) {
    out = TypeLibData{};
    try {
        HRESULT hr = Parser(out, error).run(text);
        if (FAILED(hr)) out = TypeLibData{};  // nothing half-read
        return hr;
    } catch (const std::bad_alloc&) {
        out = TypeLibData{};
        return E_OUTOFMEMORY;
    }
}

}  // namespace bf
