// COM initialisation counts and in-process activation: built-in classes first, then servers
// registered under HKEY_CLASSES_ROOT\CLSID, loaded with dlopen and kept until they say they may go.
#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <shlwapi.h>
#include <objbase.h>
#include <winreg.h>
#include <msxml2.h>
#include <stringapiset.h>

namespace {


// ---------------------------------------------------------------- initialisation counts

thread_local ULONG t_init_count = 0;
thread_local DWORD t_init_model = COINIT_MULTITHREADED;

// ---------------------------------------------------------------- built-in classes

using GetClassObjectFn = HRESULT (*)(REFIID, void**);

class SaxReaderFactory final : public bf::ComObject<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return bf::create_sax_reader(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }  // the platform never unloads
};

HRESULT sax_reader_class_object(REFIID riid, void** ppv) {
    try {
        return bf::make_com<SaxReaderFactory>()->QueryInterface(riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

struct Builtins {
    std::mutex mu;
    std::vector<std::pair<CLSID, GetClassObjectFn>> classes;
};

Builtins& builtins() {
    // Never destroyed, and built on first use: other pieces register from their static
    // initialisers, in whatever order the loader runs them.
    static Builtins* b = [] {
        auto* t = new Builtins;
        t->classes.emplace_back(CLSID_SAXXMLReader, &sax_reader_class_object);
        return t;
    }();
    return *b;
}

GetClassObjectFn find_builtin(REFCLSID clsid) {
    Builtins& b = builtins();
    std::lock_guard lock(b.mu);
    for (auto& [id, fn] : b.classes)
        if (id == clsid) return fn;
    return nullptr;
}

// ---------------------------------------------------------------- registered servers

struct Library {
    std::string path;
    void* handle;
    LPFNGETCLASSOBJECT get_class_object;
    LPFNCANUNLOADNOW can_unload_now;  // null: never unloaded
    unsigned long uses;
};

struct Libraries {
    // Recursive: a server's DllGetClassObject may itself create objects.
    std::recursive_mutex mu;
    std::list<Library> loaded;  // a list: entries stay put while a nested activation loads more
};

Libraries& libraries() {
    static Libraries* l = new Libraries;  // kept to the end: servers stay loaded until exit
    return *l;
}

// Replaces %NAME% by the environment variable's value; unknown names stay as they are.
std::string expand_environment(const std::string& s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t close = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
        if (close != std::string::npos && close > i + 1) {
            std::string name = s.substr(i + 1, close - i - 1);
            if (const char* v = std::getenv(name.c_str())) {
                out += v;
                i = close + 1;
                continue;
            }
        }
        out += s[i++];
    }
    return out;
}

// The library registered for a class, from its InprocServer32 key.
HRESULT server_path(REFCLSID clsid, std::string& path) {
    std::u16string sub = u"CLSID\\" + bf::guid_to_u16string(clsid) + u"\\InprocServer32";
    HKEY key = nullptr;
    LSTATUS st = RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (st == ERROR_FILE_NOT_FOUND) return REGDB_E_CLASSNOTREG;
    if (st != ERROR_SUCCESS) return REGDB_E_READREGDB;
    DWORD type = 0;
    std::vector<BYTE> data;
    for (;;) {
        DWORD size = static_cast<DWORD>(data.size());
        st = RegQueryValueExW(key, nullptr, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (st == ERROR_SUCCESS && (data.size() >= size)) {
            data.resize(size);
            break;
        }
        if (st != ERROR_SUCCESS && st != ERROR_MORE_DATA) break;
        data.resize(size ? size : 2);  // value changed meanwhile: ask again with room for it
    }
    RegCloseKey(key);
    if (st == ERROR_FILE_NOT_FOUND) return REGDB_E_CLASSNOTREG;
    if (st != ERROR_SUCCESS) return REGDB_E_READREGDB;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return REGDB_E_CLASSNOTREG;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (!c) break;
        text += c;
    }
    if (text.empty()) return REGDB_E_CLASSNOTREG;
    path = bf::to_utf8(text);
    if (type == REG_EXPAND_SZ) path = expand_environment(path);
    return S_OK;
}

// Finds or loads a server; call with the libraries lock held.
HRESULT load_library(Libraries& libs, const std::string& registered, Library*& out) {
    std::string path = registered;
    if (registered.find('/') != std::string::npos) {
        if (char* real = ::realpath(registered.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    for (Library& l : libs.loaded) {
        if (l.path == path) {
            out = &l;
            return S_OK;
        }
    }
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        // A file that is there but will not load is no library; anything else is missing.
        struct stat sb{};
        bool exists = path.find('/') != std::string::npos && ::stat(path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
        return HRESULT_FROM_WIN32(exists ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
    }
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(h, "DllGetClassObject"));
    if (!get) {
        ::dlclose(h);
        return CO_E_ERRORINDLL;
    }
    auto can_unload = reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(h, "DllCanUnloadNow"));
    try {
        libs.loaded.push_back({path, h, get, can_unload, 0});
    } catch (const std::bad_alloc&) {
        ::dlclose(h);
        return E_OUTOFMEMORY;
    }
    out = &libs.loaded.back();
    return S_OK;
}

}  // namespace

namespace bf {

HRESULT register_builtin_class(REFCLSID clsid, HRESULT (*get_class_object)(REFIID riid, void** ppv)) {
    Builtins& b = builtins();
    std::lock_guard lock(b.mu);
    for (auto it = b.classes.begin(); it != b.classes.end(); ++it) {
        if (it->first == clsid) {
            if (get_class_object)
                it->second = get_class_object;
            else
                b.classes.erase(it);
            return S_OK;
        }
    }
    if (!get_class_object) return S_FALSE;
    try {
        b.classes.emplace_back(clsid, get_class_object);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace bf

extern "C" {

BFAPI HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved) return E_INVALIDARG;
    if (dwCoInit & ~DWORD(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY))
        return E_INVALIDARG;
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_init_count > 0) {
        if (model != t_init_model) return RPC_E_CHANGED_MODE;
        ++t_init_count;
        return S_FALSE;
    }
    t_init_model = model;
    t_init_count = 1;
    return S_OK;
}

BFAPI HRESULT WINAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

BFAPI void WINAPI CoUninitialize() {
    if (t_init_count > 0) --t_init_count;
}

BFAPI HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (!(dwClsContext & CLSCTX_INPROC)) return REGDB_E_CLASSNOTREG;  // only in-process servers exist here
    if (GetClassObjectFn builtin = find_builtin(rclsid)) return builtin(riid, ppv);

    std::string path;
    try {
        if (HRESULT hr = server_path(rclsid, path); FAILED(hr)) return hr;
        Libraries& libs = libraries();
        std::lock_guard lock(libs.mu);
        Library* lib = nullptr;
        if (HRESULT hr = load_library(libs, path, lib); FAILED(hr)) return hr;
        HRESULT hr = lib->get_class_object(rclsid, riid, ppv);
        if (SUCCEEDED(hr)) {
            ++lib->uses;
        } else {
            *ppv = nullptr;
        }
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

BFAPI HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv) {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.put_void());
    if (FAILED(hr)) return hr;
    if (!factory) return E_UNEXPECTED;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

BFAPI void WINAPI CoFreeUnusedLibraries() {
    Libraries& libs = libraries();
    std::lock_guard lock(libs.mu);
    for (auto it = libs.loaded.begin(); it != libs.loaded.end();) {
        if (it->can_unload_now && it->can_unload_now() == S_OK) {
            ::dlclose(it->handle);
            it = libs.loaded.erase(it);
        } else {
            ++it;
        }
    }
}

}  // extern "C"
