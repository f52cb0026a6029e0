// The registry-script interpreter behind CRegistrar.
#include "module/registrar.h"

#include <new>

#include <oleauto.h>
#include <winreg.h>

namespace Brackenfold {
namespace {

constexpr std::size_t kMaxTokenChars = 4095;
constexpr std::size_t kMaxReplacementNameChars = 31;
// Deeper nesting than any registry path can hold; stops hostile scripts before the stack does.
constexpr int kMaxDepth = 512;

constexpr char16_t kProtected[][21] = {u"AppID", u"CLSID",    u"Component Categories", u"FileType",
                                       u"Interface", u"Hardware", u"Mime", u"SAM", u"SECURITY", u"SYSTEM",
                                       u"Software", u"TypeLib"};

bool is_space(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

char16_t ascii_lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool keyword_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

HKEY root_key(std::u16string_view name) {
    static const struct {
        const char16_t* short_name;
        const char16_t* long_name;
        HKEY key;
    } kRoots[] = {
        {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {u"HKU", u"HKEY_USERS", HKEY_USERS},
        {u"HKPD", u"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {u"HKDD", u"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {u"HKCC", u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& r : kRoots)
        if (keyword_equal(name, r.short_name) || keyword_equal(name, r.long_name)) return r.key;
    return nullptr;
}

HRESULT from_status(LSTATUS st) { return HRESULT_FROM_WIN32(static_cast<ULONG>(st)); }

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Closes a key on every path.
class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { close(); }
    HKEY* put() { close(); return &h_; }
    HKEY get() const { return h_; }
    void close() {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
    }

private:
    HKEY h_ = nullptr;
};

// Walk modes: writing, removing, and reading only (the block of a key that is not there at
// unregistration, or of a Delete entry at registration).
enum class Mode { Register, Unregister, ParseOnly };

class ScriptRunner {
public:
    explicit ScriptRunner(std::u16string_view text) : text_(text) {}

    HRESULT run(bool do_register) {
        std::u16string tok;
        for (;;) {
            if (at_end()) return S_OK;
            if (HRESULT hr = next(tok); FAILED(hr)) return hr;
            HKEY root = root_key(tok);
            if (!root) return DISP_E_EXCEPTION;
            if (HRESULT hr = next(tok); FAILED(hr)) return hr;
            if (tok != u"{" || quoted_) return DISP_E_EXCEPTION;
            // The block is read through once first, so that a syntax error (which would also
            // stop the rollback walk half-way) fails it before anything is written.
            std::size_t start = pos_;
            if (HRESULT hr = block(nullptr, Mode::ParseOnly, 0); FAILED(hr)) return hr;
            pos_ = start;
            HRESULT hr = block(root, do_register ? Mode::Register : Mode::Unregister, 0);
            if (FAILED(hr)) {
                if (do_register) {
                    // Take back what this block wrote; its own failure is what counts.
                    pos_ = start;
                    (void)block(root, Mode::Unregister, 0);
                }
                return hr;
            }
        }
    }

private:
    bool at_end() {
        while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
        return pos_ >= text_.size();
    }

    // A token in quotes is always a name or a value, never a keyword or "{", "}", "=".
    HRESULT next(std::u16string& tok) {
        tok.clear();
        quoted_ = false;
        if (at_end()) return DISP_E_EXCEPTION;
        if (text_[pos_] == u'\'') {
            quoted_ = true;
            ++pos_;
            for (;;) {
                if (pos_ >= text_.size()) return DISP_E_EXCEPTION;
                char16_t c = text_[pos_++];
                if (c == u'\'') {
                    if (pos_ < text_.size() && text_[pos_] == u'\'') {
                        ++pos_;
                    } else {
                        return S_OK;
                    }
                }
                if (tok.size() >= kMaxTokenChars) return DISP_E_EXCEPTION;
                tok.push_back(c);
            }
        }
        while (pos_ < text_.size() && !is_space(text_[pos_])) {
            if (tok.size() >= kMaxTokenChars) return DISP_E_EXCEPTION;
            tok.push_back(text_[pos_++]);
        }
        return S_OK;
    }

    // Whether the next token is `what`; consumes it only then. The end of the text is "no".
    HRESULT accept(std::u16string_view what, bool& found) {
        found = false;
        if (at_end()) return S_OK;
        std::size_t save = pos_;
        std::u16string tok;
        if (HRESULT hr = next(tok); FAILED(hr)) return hr;
        if (tok == what && !quoted_) {
            found = true;
        } else {
            pos_ = save;
        }
        return S_OK;
    }

    // Entries up to and including the closing "}".
    HRESULT block(HKEY key, Mode mode, int depth) {
        if (depth > kMaxDepth) return DISP_E_EXCEPTION;
        std::u16string tok;
        for (;;) {
            if (HRESULT hr = next(tok); FAILED(hr)) return hr;
            if (tok == u"}" && !quoted_) return S_OK;
            if (HRESULT hr = entry(key, mode, std::move(tok), depth); FAILED(hr)) return hr;
        }
    }

    bool is_keyword(const std::u16string& tok, std::u16string_view kw) const {
        return !quoted_ && keyword_equal(tok, kw);
    }

    // One entry; tok is its first token, just read.
    HRESULT entry(HKEY key, Mode mode, std::u16string tok, int depth) {
        bool del = false, force = false, no_remove = false;
        if (is_keyword(tok, u"Delete")) {
            del = true;
        } else if (is_keyword(tok, u"ForceRemove")) {
            force = true;
        }
        if (del || force)
            if (HRESULT hr = next(tok); FAILED(hr)) return hr;
        if (is_keyword(tok, u"NoRemove")) {
            no_remove = true;
            if (HRESULT hr = next(tok); FAILED(hr)) return hr;
        }

        if (is_keyword(tok, u"val")) {
            std::u16string name, eq, type, value;
            if (HRESULT hr = next(name); FAILED(hr)) return hr;
            if (HRESULT hr = next(eq); FAILED(hr)) return hr;
            if (eq != u"=" || quoted_) return DISP_E_EXCEPTION;
            if (HRESULT hr = next(type); FAILED(hr)) return hr;
            if (HRESULT hr = next(value); FAILED(hr)) return hr;
            if (mode == Mode::Register) return set_value(key, name.c_str(), type, value);
            if (mode == Mode::Unregister && !no_remove) return delete_value(key, name.c_str());
            return S_OK;
        }

        // An empty name would stand for the parent key itself.
        const std::u16string name = std::move(tok);
        if (name.empty() || name.find(u'\\') != std::u16string::npos ||
            (!quoted_ && (name == u"{" || name == u"}" || name == u"=")))
            return DISP_E_EXCEPTION;

        bool has_value = false, has_block = false;
        std::u16string type, value;
        if (HRESULT hr = accept(u"=", has_value); FAILED(hr)) return hr;
        if (has_value) {
            if (HRESULT hr = next(type); FAILED(hr)) return hr;
            if (HRESULT hr = next(value); FAILED(hr)) return hr;
        }
        if (HRESULT hr = accept(u"{", has_block); FAILED(hr)) return hr;

        if (mode == Mode::ParseOnly) return has_block ? block(nullptr, Mode::ParseOnly, depth + 1) : S_OK;

        if (mode == Mode::Register) {
            if ((del || force) && !IsProtectedKeyName(name)) (void)RegDeleteTreeW(key, name.c_str());
            if (del) return has_block ? block(nullptr, Mode::ParseOnly, depth + 1) : S_OK;
            Key sub;
            LSTATUS st = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ | KEY_WRITE, sub.put());
            if (st != ERROR_SUCCESS) st = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, sub.put());
            if (st != ERROR_SUCCESS)
                st = RegCreateKeyExW(key, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                     nullptr, sub.put(), nullptr);
            if (st != ERROR_SUCCESS) return from_status(st);
            if (has_value)
                if (HRESULT hr = set_value(sub.get(), nullptr, type, value); FAILED(hr)) return hr;
            return has_block ? block(sub.get(), Mode::Register, depth + 1) : S_OK;
        }

        // Unregistration.
        Key sub;
        LSTATUS st = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, sub.put());
        if (st != ERROR_SUCCESS) {
            // Nothing below a missing key can be removed; the block is only read.
            if (has_block)
                if (HRESULT hr = block(nullptr, Mode::ParseOnly, depth + 1); FAILED(hr)) return hr;
            return st == ERROR_FILE_NOT_FOUND ? S_OK : from_status(st);
        }
        if (has_block)
            if (HRESULT hr = block(sub.get(), Mode::Unregister, depth + 1); FAILED(hr)) return hr;
        if (no_remove) return S_OK;
        DWORD subkeys = 0;
        st = RegQueryInfoKeyW(sub.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr);
        sub.close();
        if (st != ERROR_SUCCESS) return from_status(st);
        if (subkeys != 0) return S_OK;
        st = RegDeleteKeyW(key, name.c_str());
        return st == ERROR_SUCCESS ? S_OK : from_status(st);
    }

    static HRESULT set_value(HKEY key, const WCHAR* name, const std::u16string& type, const std::u16string& value) {
        std::u16string data;  // for s and m
        std::basic_string<BYTE> bytes;
        DWORD reg_type = 0;
        const BYTE* p = nullptr;
        DWORD cb = 0;
        if (keyword_equal(type, u"s")) {
            reg_type = REG_SZ;
            p = reinterpret_cast<const BYTE*>(value.c_str());
            cb = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
        } else if (keyword_equal(type, u"d")) {
            VARIANT src, dst;
            VariantInit(&src);
            VariantInit(&dst);
            src.vt = VT_BSTR;
            src.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
            if (!src.bstrVal) return E_OUTOFMEMORY;
            HRESULT hr = VariantChangeType(&dst, &src, 0, VT_UI4);
            VariantClear(&src);
            if (FAILED(hr)) return hr;
            DWORD n = dst.ulVal;
            for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(n >> (8 * i)));
            reg_type = REG_DWORD;
            p = bytes.data();
            cb = 4;
        } else if (keyword_equal(type, u"b")) {
            if (value.size() % 2 != 0) return E_FAIL;
            for (std::size_t i = 0; i < value.size(); i += 2) {
                int hi = hex_digit(value[i]), lo = hex_digit(value[i + 1]);
                if (hi < 0 || lo < 0) return E_FAIL;
                bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
            }
            reg_type = REG_BINARY;
            p = bytes.data();
            cb = static_cast<DWORD>(bytes.size());
        } else if (keyword_equal(type, u"m")) {
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] == u'\\' && i + 1 < value.size() && value[i + 1] == u'0') {
                    data.push_back(u'\0');
                    ++i;
                } else {
                    data.push_back(value[i]);
                }
            }
            data.push_back(u'\0');
            data.push_back(u'\0');
            reg_type = REG_MULTI_SZ;
            p = reinterpret_cast<const BYTE*>(data.data());
            cb = static_cast<DWORD>(data.size() * sizeof(char16_t));
        } else {
            return DISP_E_EXCEPTION;
        }
        LSTATUS st = RegSetValueExW(key, name, 0, reg_type, p, cb);
        return st == ERROR_SUCCESS ? S_OK : from_status(st);
    }

    static HRESULT delete_value(HKEY key, const WCHAR* name) {
        Key writable;
        LSTATUS st = RegOpenKeyExW(key, nullptr, 0, KEY_SET_VALUE, writable.put());
        if (st != ERROR_SUCCESS) return from_status(st);
        st = RegDeleteValueW(writable.get(), name);
        if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return from_status(st);
        return S_OK;
    }

    std::u16string_view text_;
    std::size_t pos_ = 0;
    bool quoted_ = false;  // of the token read last
};

}  // namespace

bool IsProtectedKeyName(std::u16string_view name) {
    for (const auto* p : kProtected)
        if (keyword_equal(name, p)) return true;
    return false;
}

CRegistrar::~CRegistrar() = default;

HRESULT STDMETHODCALLTYPE CRegistrar::AddReplacement(LPCOLESTR key, LPCOLESTR item) {
    if (!key || !item) return E_INVALIDARG;
    try {
        replacements_.emplace_back(key, item);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CRegistrar::ClearReplacements() {
    replacements_.clear();
    return S_OK;
}

const std::u16string* CRegistrar::Lookup(std::u16string_view name) const {
    for (const auto& [n, v] : replacements_)
        if (bf::registry_names_equal(n, name)) return &v;
    return nullptr;
}

HRESULT CRegistrar::Substitute(std::u16string_view script, std::u16string& out) const {
    out.clear();
    out.reserve(script.size());
    for (std::size_t i = 0; i < script.size();) {
        char16_t c = script[i];
        if (c != u'%') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 < script.size() && script[i + 1] == u'%') {
            out.push_back(u'%');
            i += 2;
            continue;
        }
        std::size_t j = i + 1;
        while (j < script.size() && script[j] != u'%') {
            if (j - i - 1 >= kMaxReplacementNameChars) return E_FAIL;
            ++j;
        }
        if (j >= script.size()) return DISP_E_EXCEPTION;
        const std::u16string* value = Lookup(script.substr(i + 1, j - i - 1));
        if (!value) return DISP_E_EXCEPTION;
        out += *value;
        i = j + 1;
    }
    return S_OK;
}

HRESULT CRegistrar::ResourceRegisterSz(LPCOLESTR script, bool do_register) {
    if (!script) return E_INVALIDARG;
    try {
        std::u16string text;
        if (HRESULT hr = Substitute(script, text); FAILED(hr)) return hr;
        return ScriptRunner(text).run(do_register);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace Brackenfold
