// The component categories manager, a built-in class: category descriptions and the categories
// each class implements or requires, kept in the registry.
#include <comcat.h>

#include <cstdio>
#include <new>
#include <string>

#include <shlwapi.h>
#include <objbase.h>
#include <winreg.h>

namespace {

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    HKEY* put() { return &h_; }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

HRESULT from_status(LSTATUS st) { return st == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<ULONG>(st)); }

// Creates HKCR\CLSID\{clsid}\<list>\{catid} for each category.
HRESULT add_class_categories(REFCLSID clsid, const char16_t* list, ULONG n, const CATID* ids) {
    if (n && !ids) return E_POINTER;
    std::u16string base = u"CLSID\\" + bf::guid_to_u16string(clsid) + u"\\" + list + u"\\";
    for (ULONG i = 0; i < n; ++i) {
        Key k;
        LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, (base + bf::guid_to_u16string(ids[i])).c_str(), 0, nullptr, 0,
                                     KEY_READ, nullptr, k.put(), nullptr);
        if (st != ERROR_SUCCESS) return from_status(st);
    }
    return S_OK;
}

// Removes the category keys; the list key goes with its last category.
HRESULT remove_class_categories(REFCLSID clsid, const char16_t* list, ULONG n, const CATID* ids) {
    if (n && !ids) return E_POINTER;
    std::u16string parent = u"CLSID\\" + bf::guid_to_u16string(clsid) + u"\\" + list;
    for (ULONG i = 0; i < n; ++i) {
        LSTATUS st = RegDeleteTreeW(HKEY_CLASSES_ROOT, (parent + u"\\" + bf::guid_to_u16string(ids[i])).c_str());
        if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return from_status(st);
    }
    Key k;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, parent.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS) {
        DWORD subkeys = 0, values = 0;
        if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0)
            RegDeleteKeyW(HKEY_CLASSES_ROOT, parent.c_str());
    }
    return S_OK;
}

class ComponentCategoriesManager final : public bf::ComObject<ICatRegister> {
public:
    HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) override {
        if (cCategories && !rgCategoryInfo) return E_POINTER;
        try {
            for (ULONG i = 0; i < cCategories; ++i) {
                const CATEGORYINFO& c = rgCategoryInfo[i];
                std::u16string key = u"Component Categories\\" + bf::guid_to_u16string(c.catid);
                char name[16];
                std::snprintf(name, sizeof name, "%x", static_cast<unsigned>(c.lcid));
                std::u16string value_name(name, name + std::char_traits<char>::length(name));
                std::size_t len = 0;
                while (len < 127 && c.szDescription[len]) ++len;
                std::u16string desc(c.szDescription, len);
                Key k;
                LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                             k.put(), nullptr);
                if (st == ERROR_SUCCESS)
                    st = RegSetValueExW(k.get(), value_name.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(desc.c_str()),
                                        static_cast<DWORD>((desc.size() + 1) * sizeof(char16_t)));
                if (st != ERROR_SUCCESS) return from_status(st);
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) override {
        if (cCategories && !rgcatid) return E_POINTER;
        try {
            for (ULONG i = 0; i < cCategories; ++i) {
                std::u16string key = u"Component Categories\\" + bf::guid_to_u16string(rgcatid[i]);
                LSTATUS st = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
                if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return from_status(st);
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG n, CATID ids[]) override {
        return guard([&] { return add_class_categories(rclsid, u"Implemented Categories", n, ids); });
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG n, CATID ids[]) override {
        return guard([&] { return remove_class_categories(rclsid, u"Implemented Categories", n, ids); });
    }
    HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG n, CATID ids[]) override {
        return guard([&] { return add_class_categories(rclsid, u"Required Categories", n, ids); });
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG n, CATID ids[]) override {
        return guard([&] { return remove_class_categories(rclsid, u"Required Categories", n, ids); });
    }

private:
    template <class F>
    static HRESULT guard(F f) {
        try {
            return f();
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
};

class ManagerFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // a static
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* m = new (std::nothrow) ComponentCategoriesManager;
        if (!m) return E_OUTOFMEMORY;
        HRESULT hr = m->QueryInterface(riid, ppv);
        m->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

HRESULT manager_class_object(REFIID riid, void** ppv) {
    static ManagerFactory factory;
    return factory.QueryInterface(riid, ppv);
}

[[maybe_unused]] const bool registered =
    (bf::register_builtin_class(CLSID_StdComponentCategoriesMgr, &manager_class_object), true);

}  // namespace
