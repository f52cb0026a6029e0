// Type library registration under HKEY_CLASSES_ROOT\TypeLib and \Interface, and lookup of
// registered libraries.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <wrl/client.h>
#include <oaidl.h>
#include <winreg.h>
#include <winnls.h>

namespace {

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    HKEY* put() {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
        return &h_;
    }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

std::u16string ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return ascii16(buf);
}

std::u16string version_name(WORD major, WORD minor) { return hex(major) + u"." + hex(minor); }

const char16_t* syskind_name(SYSKIND k) {
    switch (k) {
        case SYS_WIN16: return u"win16";
        case SYS_WIN32: return u"win32";
        case SYS_WIN64: return u"win64";
        default: return nullptr;
    }
}

LSTATUS set_string(HKEY key, const char16_t* sub, const char16_t* name, std::u16string_view value) {
    Key k;
    if (LSTATUS st = RegCreateKeyExW(key, sub, 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.put(), nullptr)) return st;
    std::u16string v(value);
    return RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          static_cast<DWORD>((v.size() + 1) * sizeof(char16_t)));
}

bool read_string(HKEY key, const char16_t* sub, std::u16string& out) {
    Key k;
    if (RegOpenKeyExW(key, sub, 0, KEY_QUERY_VALUE, k.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0, cb = 0;
    if (RegQueryValueExW(k.get(), nullptr, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS || type != REG_SZ) return false;
    std::u16string v(cb / sizeof(char16_t) + 1, u'\0');
    cb = static_cast<DWORD>(v.size() * sizeof(char16_t));
    if (RegQueryValueExW(k.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(v.data()), &cb) != ERROR_SUCCESS)
        return false;
    v.resize(cb / sizeof(char16_t));
    while (!v.empty() && v.back() == u'\0') v.pop_back();
    out = std::move(v);
    return true;
}

bool has_subkeys(HKEY key, const std::u16string& sub) {
    Key k;
    if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return false;
    DWORD n = 0;
    if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr) != ERROR_SUCCESS)
        return true;  // unsure: keep it
    return n != 0;
}

std::vector<std::u16string> subkey_names(HKEY key, const std::u16string& sub) {
    std::vector<std::u16string> names;
    Key k;
    if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return names;
    WCHAR buf[256];
    for (DWORD i = 0;; ++i) {
        DWORD n = 256;
        if (RegEnumKeyExW(k.get(), i, buf, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(buf, n);
    }
    return names;
}

// Parses "maj.min" in hexadecimal.
bool parse_version(const std::u16string& s, unsigned& major, unsigned& minor) {
    auto dot = s.find(u'.');
    if (dot == std::u16string::npos || dot == 0 || dot + 1 >= s.size() || s.size() > 9) return false;
    auto num = [](std::u16string_view v, unsigned& out) {
        out = 0;
        for (char16_t c : v) {
            int d = (c >= u'0' && c <= u'9') ? c - u'0'
                    : (c >= u'a' && c <= u'f') ? c - u'a' + 10
                    : (c >= u'A' && c <= u'F') ? c - u'A' + 10
                                               : -1;
            if (d < 0) return false;
            out = out * 16 + static_cast<unsigned>(d);
        }
        return out <= 0xFFFF;
    };
    std::u16string_view v(s);
    return num(v.substr(0, dot), major) && num(v.substr(dot + 1), minor);
}

bool is_automation_interface(const TYPEATTR& a) {
    if (a.typekind == TKIND_DISPATCH) return true;
    return a.typekind == TKIND_INTERFACE && (a.wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL));
}

// Calls f(ITypeInfo*, TYPEATTR&, name) for each of the library's automation interfaces.
template <class F>
HRESULT for_each_interface(ITypeLib* tl, F f) {
    UINT n = tl->GetTypeInfoCount();
    for (UINT i = 0; i < n; ++i) {
        ComPtr<ITypeInfo> ti;
        if (HRESULT hr = tl->GetTypeInfo(i, ti.put()); FAILED(hr)) return hr;
        TYPEATTR* a = nullptr;
        if (HRESULT hr = ti->GetTypeAttr(&a); FAILED(hr)) return hr;
        HRESULT hr = S_OK;
        if (is_automation_interface(*a)) {
            BSTR name = nullptr;
            hr = ti->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
            if (SUCCEEDED(hr)) hr = f(*a, std::u16string(name ? name : u"", SysStringLen(name)));
            SysFreeString(name);
        }
        ti->ReleaseTypeAttr(a);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT registered_path(REFGUID guid, WORD major, WORD minor, LCID lcid, std::u16string& path) {
    std::u16string lib = u"TypeLib\\" + bf::guid_to_u16string(guid);
    // Same major version; the highest minor that is at least the one asked for.
    std::u16string best;
    unsigned best_minor = 0;
    for (const auto& v : subkey_names(HKEY_CLASSES_ROOT, lib)) {
        unsigned ma, mi;
        if (!parse_version(v, ma, mi) || ma != major || mi < minor) continue;
        if (best.empty() || mi > best_minor) {
            best = v;
            best_minor = mi;
        }
    }
    if (best.empty()) return TYPE_E_LIBNOTREGISTERED;
    std::u16string base = lib + u"\\" + best + u"\\";
    const unsigned lcids[] = {lcid, PRIMARYLANGID(LANGIDFROMLCID(lcid)), 0};
    for (unsigned l : lcids)
        for (const char16_t* sys : {u"win64", u"win32"})
            if (read_string(HKEY_CLASSES_ROOT, (base + hex(l) + u"\\" + sys).c_str(), path) && !path.empty())
                return S_OK;
    return TYPE_E_LIBNOTREGISTERED;
}

}  // namespace

extern "C" {

BFAPI HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, LPBSTR lpbstrPathName) {
    if (!lpbstrPathName) return E_INVALIDARG;
    *lpbstrPathName = nullptr;
    try {
        std::u16string path;
        if (HRESULT hr = registered_path(guid, wMaj, wMin, lcid, path); FAILED(hr)) return hr;
        *lpbstrPathName = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
        return *lpbstrPathName ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

BFAPI HRESULT WINAPI LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
    if (!pptlib) return E_INVALIDARG;
    *pptlib = nullptr;
    BSTR path = nullptr;
    if (HRESULT hr = QueryPathOfRegTypeLib(rguid, wVerMajor, wVerMinor, lcid, &path); FAILED(hr)) return hr;
    HRESULT hr = LoadTypeLib(path, pptlib);
    SysFreeString(path);
    return hr;
}

BFAPI HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (!ptlib || !szFullPath) return E_INVALIDARG;
    TLIBATTR* attr = nullptr;
    if (HRESULT hr = ptlib->GetLibAttr(&attr); FAILED(hr)) return hr;
    TLIBATTR a = *attr;
    ptlib->ReleaseTLibAttr(attr);
    const char16_t* sys = syskind_name(a.syskind);
    if (!sys) return E_INVALIDARG;
    try {
        BSTR name = nullptr, doc = nullptr;
        if (HRESULT hr = ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr); FAILED(hr)) return hr;
        std::u16string title = doc && SysStringLen(doc) ? std::u16string(doc, SysStringLen(doc))
                                                        : std::u16string(name ? name : u"", SysStringLen(name));
        SysFreeString(name);
        SysFreeString(doc);

        std::u16string libid = bf::guid_to_u16string(a.guid);
        std::u16string ver = u"TypeLib\\" + libid + u"\\" + version_name(a.wMajorVerNum, a.wMinorVerNum);
        std::u16string flags = ascii16(std::to_string(a.wLibFlags));
        if (set_string(HKEY_CLASSES_ROOT, ver.c_str(), nullptr, title) ||
            set_string(HKEY_CLASSES_ROOT, (ver + u"\\FLAGS").c_str(), nullptr, flags) ||
            set_string(HKEY_CLASSES_ROOT, (ver + u"\\HELPDIR").c_str(), nullptr, szHelpDir ? szHelpDir : u"") ||
            set_string(HKEY_CLASSES_ROOT, (ver + u"\\" + hex(a.lcid) + u"\\" + sys).c_str(), nullptr, szFullPath))
            return TYPE_E_REGISTRYACCESS;

        std::u16string version = version_name(a.wMajorVerNum, a.wMinorVerNum);
        return for_each_interface(ptlib, [&](const TYPEATTR& t, const std::u16string& iname) -> HRESULT {
            std::u16string key = u"Interface\\" + bf::guid_to_u16string(t.guid);
            // Dual and automation interfaces go through the automation marshaler, pure
            // dispinterfaces through IDispatch's.
            bool pure_dispatch = t.typekind == TKIND_DISPATCH && !(t.wTypeFlags & TYPEFLAG_FDUAL);
            std::u16string ps = bf::guid_to_u16string(pure_dispatch ? CLSID_PSDispatch : CLSID_PSOAInterface);
            if (set_string(HKEY_CLASSES_ROOT, key.c_str(), nullptr, iname) ||
                set_string(HKEY_CLASSES_ROOT, (key + u"\\ProxyStubClsid").c_str(), nullptr, ps) ||
                set_string(HKEY_CLASSES_ROOT, (key + u"\\ProxyStubClsid32").c_str(), nullptr, ps) ||
                set_string(HKEY_CLASSES_ROOT, (key + u"\\TypeLib").c_str(), nullptr, libid) ||
                set_string(HKEY_CLASSES_ROOT, (key + u"\\TypeLib").c_str(), u"Version", version))
                return TYPE_E_REGISTRYACCESS;
            return S_OK;
        });
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

BFAPI HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
    const char16_t* sys = syskind_name(syskind);
    if (!sys) return E_INVALIDARG;
    try {
        std::u16string libid = bf::guid_to_u16string(libID);
        std::u16string lib = u"TypeLib\\" + libid;
        std::u16string ver = lib + u"\\" + version_name(wVerMajor, wVerMinor);
        std::u16string loc = ver + u"\\" + hex(lcid);
        std::u16string path;
        if (!read_string(HKEY_CLASSES_ROOT, (loc + u"\\" + sys).c_str(), path)) return TYPE_E_REGISTRYACCESS;

        // The interface keys go when they still name this library; a library that no longer
        // loads leaves them (there is no telling which are its own).
        ComPtr<ITypeLib> tl;
        if (SUCCEEDED(LoadTypeLib(path.c_str(), tl.put()))) {
            (void)for_each_interface(tl.get(), [&](const TYPEATTR& t, const std::u16string&) -> HRESULT {
                std::u16string key = u"Interface\\" + bf::guid_to_u16string(t.guid);
                std::u16string owner;
                if (read_string(HKEY_CLASSES_ROOT, (key + u"\\TypeLib").c_str(), owner) &&
                    bf::registry_names_equal(owner, libid))
                    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
                return S_OK;
            });
        }

        if (LSTATUS st = RegDeleteKeyW(HKEY_CLASSES_ROOT, (loc + u"\\" + sys).c_str());
            st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND)
            return TYPE_E_REGISTRYACCESS;
        if (!has_subkeys(HKEY_CLASSES_ROOT, loc)) RegDeleteKeyW(HKEY_CLASSES_ROOT, loc.c_str());
        // The version goes when no locale is left in it (FLAGS and HELPDIR are its own).
        bool other_locales = false;
        for (const auto& sub : subkey_names(HKEY_CLASSES_ROOT, ver))
            if (!bf::registry_names_equal(sub, u"FLAGS") && !bf::registry_names_equal(sub, u"HELPDIR"))
                other_locales = true;
        if (!other_locales) RegDeleteTreeW(HKEY_CLASSES_ROOT, ver.c_str());
        if (!has_subkeys(HKEY_CLASSES_ROOT, lib)) RegDeleteKeyW(HKEY_CLASSES_ROOT, lib.c_str());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // extern "C"
