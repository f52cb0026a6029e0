// Type library objects (ITypeLib, ITypeInfo) over a parsed description, and LoadTypeLib.
#include <algorithm>
#include <fstream>
#include <memory>
#include <new>

#include <shlwapi.h>
#include <libloaderapi.h>
#include <objbase.h>
#include <stringapiset.h>
#include "typelib_format.h"

namespace {

using bf::TypeLibData;
using bf::TypeLibFunc;
using bf::TypeLibType;

bool names_equal(std::u16string_view a, const OLECHAR* b) {
    std::size_t n = bf::wcslen16(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// Hands out a new automation string, or null for an empty one when `null_when_empty`.
HRESULT out_string(BSTR* out, const std::u16string& s, bool null_when_empty = false) {
    if (!out) return S_OK;
    *out = nullptr;
    if (s.empty() && null_when_empty) return S_OK;
    *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

class TypeLib;

class TypeInfo final : public bf::ComObject<ITypeInfo> {
public:
    TypeInfo(TypeLib* lib, std::shared_ptr<const TypeLibData> data, std::size_t index);

    HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** ppTypeAttr) override {
        if (!ppTypeAttr) return E_INVALIDARG;
        *ppTypeAttr = nullptr;
        auto* a = new (std::nothrow) TYPEATTR{};
        if (!a) return E_OUTOFMEMORY;
        const TypeLibType& t = type();
        a->guid = t.guid;
        a->lcid = data_->lcid;
        a->memidConstructor = MEMBERID_NIL;
        a->memidDestructor = MEMBERID_NIL;
        a->cbSizeInstance = sizeof(void*);
        a->typekind = t.kind;
        a->cFuncs = static_cast<WORD>(t.funcs.size());
        a->cImplTypes = static_cast<WORD>(t.impls.size());
        a->cbSizeVft = static_cast<WORD>(vtable_slots(index_) * sizeof(void*));
        a->cbAlignment = alignof(void*);
        a->wTypeFlags = t.flags;
        a->tdescAlias.vt = VT_EMPTY;
        *ppTypeAttr = a;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override {
        if (ppTComp) *ppTComp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) override {
        if (!ppFuncDesc) return E_INVALIDARG;
        *ppFuncDesc = nullptr;
        const TypeLibType& t = type();
        if (index >= t.funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
        const TypeLibFunc& f = t.funcs[index];
        auto* d = new (std::nothrow) FUNCDESC{};
        if (!d) return E_OUTOFMEMORY;
        if (!f.params.empty()) {
            d->lprgelemdescParam = new (std::nothrow) ELEMDESC[f.params.size()]{};
            if (!d->lprgelemdescParam) {
                delete d;
                return E_OUTOFMEMORY;
            }
            for (std::size_t i = 0; i < f.params.size(); ++i) {
                d->lprgelemdescParam[i].tdesc.vt = VT_VARIANT;
                d->lprgelemdescParam[i].paramdesc.wParamFlags = PARAMFLAG_FIN;
            }
        }
        d->memid = f.memid;
        d->funckind = t.kind == TKIND_DISPATCH ? FUNC_DISPATCH : FUNC_PUREVIRTUAL;
        d->invkind = f.invkind;
        d->callconv = CC_STDCALL;
        d->cParams = static_cast<SHORT>(f.params.size());
        d->oVft = t.kind == TKIND_DISPATCH ? 0 : static_cast<SHORT>((base_slots(index_) + index) * sizeof(void*));
        d->elemdescFunc.tdesc.vt = t.kind == TKIND_DISPATCH ? VT_VOID : VT_HRESULT;
        d->wFuncFlags = f.flags;
        *ppFuncDesc = d;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** ppVarDesc) override {
        if (!ppVarDesc) return E_INVALIDARG;
        *ppVarDesc = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;  // the format describes no variables
    }
    HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) override {
        if (!pcNames) return E_INVALIDARG;
        *pcNames = 0;
        const TypeLibFunc* f = find_member(memid);
        if (!f) return TYPE_E_ELEMENTNOTFOUND;
        if (cMaxNames > 0 && !rgBstrNames) return E_INVALIDARG;
        UINT n = 0;
        auto put = [&](const std::u16string& s) -> HRESULT {
            if (n >= cMaxNames) return S_OK;
            if (HRESULT hr = out_string(&rgBstrNames[n], s); FAILED(hr)) return hr;
            ++n;
            return S_OK;
        };
        HRESULT hr = put(f->name);
        for (std::size_t i = 0; SUCCEEDED(hr) && i < f->params.size(); ++i) hr = put(f->params[i]);
        if (FAILED(hr)) {
            for (UINT i = 0; i < n; ++i) {
                SysFreeString(rgBstrNames[i]);
                rgBstrNames[i] = nullptr;
            }
            return hr;
        }
        *pcNames = n;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override {
        if (!pRefType) return E_INVALIDARG;
        const TypeLibType& t = type();
        if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
        *pRefType = t.impls[index].ref;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* pImplTypeFlags) override {
        if (!pImplTypeFlags) return E_INVALIDARG;
        const TypeLibType& t = type();
        if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
        *pImplTypeFlags = t.impls[index].flags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        if (!rgszNames || !pMemId || cNames == 0) return E_INVALIDARG;
        for (UINT i = 0; i < cNames; ++i) pMemId[i] = MEMBERID_NIL;
        if (!rgszNames[0]) return E_INVALIDARG;
        const TypeLibFunc* f = find_member(rgszNames[0]);
        if (!f) return DISP_E_UNKNOWNNAME;
        pMemId[0] = f->memid;
        HRESULT hr = S_OK;
        for (UINT i = 1; i < cNames; ++i) {
            std::size_t k = 0;
            while (rgszNames[i] && k < f->params.size() && !names_equal(f->params[k], rgszNames[i])) ++k;
            if (rgszNames[i] && k < f->params.size()) {
                pMemId[i] = static_cast<MEMBERID>(k);
            } else {
                hr = DISP_E_UNKNOWNNAME;
            }
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        const std::u16string* name;
        const std::u16string* doc;
        DWORD context = 0;
        if (memid == MEMBERID_NIL) {
            name = &type().name;
            doc = &type().doc;
            context = type().help_context;
        } else {
            const TypeLibFunc* f = find_member(memid);
            if (!f) return TYPE_E_ELEMENTNOTFOUND;
            name = &f->name;
            doc = &f->doc;
        }
        return documentation(*name, *doc, context, data_->help_file, pBstrName, pBstrDocString, pdwHelpContext,
                             pBstrHelpFile);
    }
    HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName,
                                          WORD* pwOrdinal) override {
        if (pBstrDllName) *pBstrDllName = nullptr;
        if (pBstrName) *pBstrName = nullptr;
        if (pwOrdinal) *pwOrdinal = 0;
        return TYPE_E_ELEMENTNOTFOUND;  // only modules have entry points, and the format has none
    }
    HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) override;
    HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) override {
        if (!ppvObj) return E_INVALIDARG;
        *ppvObj = nullptr;
        if (type().kind != TKIND_COCLASS) return TYPE_E_BADMODULEKIND;
        return CoCreateInstance(type().guid, pUnkOuter, CLSCTX_SERVER, riid, ppvObj);
    }
    HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* pBstrMops) override {
        if (pBstrMops) *pBstrMops = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override;
    void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }
    void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* pFuncDesc) override {
        if (!pFuncDesc) return;
        delete[] pFuncDesc->lprgelemdescParam;
        delete pFuncDesc;
    }
    void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* pVarDesc) override { delete pVarDesc; }

    static HRESULT documentation(const std::u16string& name, const std::u16string& doc, DWORD context,
                                 const std::u16string& help_file, BSTR* pName, BSTR* pDoc, DWORD* pContext,
                                 BSTR* pHelpFile) {
        if (pName) *pName = nullptr;
        if (pDoc) *pDoc = nullptr;
        if (pHelpFile) *pHelpFile = nullptr;
        HRESULT hr = out_string(pName, name);
        if (SUCCEEDED(hr)) hr = out_string(pDoc, doc, true);
        if (SUCCEEDED(hr)) hr = out_string(pHelpFile, help_file, true);
        if (FAILED(hr)) {
            for (BSTR* p : {pName, pDoc, pHelpFile})
                if (p) {
                    SysFreeString(*p);
                    *p = nullptr;
                }
            return hr;
        }
        if (pContext) *pContext = context;
        return S_OK;
    }

private:
    const TypeLibType& type() const { return data_->types[index_]; }

    // Methods of the vtable before this interface's own: IDispatch's seven for a dispinterface,
    // the base chain's for an interface.
    std::size_t base_slots(std::size_t index) const {
        const TypeLibType& t = data_->types[index];
        if (t.kind == TKIND_DISPATCH) return 7;
        if (t.kind != TKIND_INTERFACE || t.impls.empty()) return 0;
        return vtable_slots(t.impls[0].ref);
    }
    std::size_t vtable_slots(std::size_t index) const {
        const TypeLibType& t = data_->types[index];
        if (t.kind == TKIND_DISPATCH) return 7;
        if (t.kind != TKIND_INTERFACE) return 0;
        return base_slots(index) + t.funcs.size();
    }

    // Own members first, then the base interfaces' (the parser refused cycles).
    template <class Pred>
    const TypeLibFunc* search(Pred pred) const {
        std::size_t cur = index_;
        for (;;) {
            const TypeLibType& t = data_->types[cur];
            for (const auto& f : t.funcs)
                if (pred(f)) return &f;
            if (t.kind == TKIND_COCLASS || t.impls.empty()) return nullptr;
            cur = t.impls[0].ref;
        }
    }
    const TypeLibFunc* find_member(MEMBERID id) const {
        return search([id](const TypeLibFunc& f) { return f.memid == id; });
    }
    const TypeLibFunc* find_member(const OLECHAR* name) const {
        return search([name](const TypeLibFunc& f) { return names_equal(f.name, name); });
    }

    TypeLib* lib_;  // kept alive by lib_ref_
    ComPtr<ITypeLib> lib_ref_;
    std::shared_ptr<const TypeLibData> data_;
    std::size_t index_;
};

class TypeLib final : public bf::ComObject<ITypeLib> {
public:
    explicit TypeLib(std::shared_ptr<const TypeLibData> data) : data_(std::move(data)) {}

    HRESULT type_info(std::size_t index, ITypeInfo** pp) {
        try {
            *pp = new TypeInfo(this, data_, index);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return static_cast<UINT>(data_->own_count); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_INVALIDARG;
        *ppTInfo = nullptr;
        if (index >= data_->own_count) return TYPE_E_ELEMENTNOTFOUND;
        return type_info(index, ppTInfo);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
        if (!pTKind) return E_INVALIDARG;
        if (index >= data_->own_count) return TYPE_E_ELEMENTNOTFOUND;
        *pTKind = data_->types[index].kind;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) override {
        if (!ppTinfo) return E_INVALIDARG;
        *ppTinfo = nullptr;
        for (std::size_t i = 0; i < data_->own_count; ++i)
            if (data_->types[i].guid == guid) return type_info(i, ppTinfo);
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override {
        if (!ppTLibAttr) return E_INVALIDARG;
        *ppTLibAttr = nullptr;
        auto* a = new (std::nothrow) TLIBATTR{};
        if (!a) return E_OUTOFMEMORY;
        a->guid = data_->guid;
        a->lcid = data_->lcid;
        a->syskind = SYS_WIN64;
        a->wMajorVerNum = data_->major;
        a->wMinorVerNum = data_->minor;
        a->wLibFlags = data_->flags;
        *ppTLibAttr = a;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** ppTComp) override {
        if (ppTComp) *ppTComp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        if (index == -1)
            return TypeInfo::documentation(data_->name, data_->doc, data_->help_context, data_->help_file, pBstrName,
                                           pBstrDocString, pdwHelpContext, pBstrHelpFile);
        if (index < 0 || static_cast<std::size_t>(index) >= data_->own_count) return TYPE_E_ELEMENTNOTFOUND;
        const TypeLibType& t = data_->types[static_cast<std::size_t>(index)];
        return TypeInfo::documentation(t.name, t.doc, t.help_context, data_->help_file, pBstrName, pBstrDocString,
                                       pdwHelpContext, pBstrHelpFile);
    }
    HRESULT STDMETHODCALLTYPE IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) override {
        if (!szNameBuf || !pfName) return E_INVALIDARG;
        *pfName = FALSE;
        const std::u16string* found = nullptr;
        for (std::size_t i = 0; i < data_->own_count && !found; ++i) {
            const TypeLibType& t = data_->types[i];
            if (names_equal(t.name, szNameBuf)) found = &t.name;
            for (const auto& f : t.funcs) {
                if (found) break;
                if (names_equal(f.name, szNameBuf)) found = &f.name;
                for (const auto& p : f.params)
                    if (!found && names_equal(p, szNameBuf)) found = &p;
            }
        }
        if (found) {
            // The caller's buffer gets the name as the library spells it (same length).
            std::copy(found->begin(), found->end(), szNameBuf);
            *pfName = TRUE;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                                       USHORT* pcFound) override {
        if (!szNameBuf || !ppTInfo || !rgMemId || !pcFound) return E_INVALIDARG;
        USHORT max = *pcFound, n = 0;
        for (std::size_t i = 0; i < data_->own_count && n < max; ++i) {
            const TypeLibType& t = data_->types[i];
            MEMBERID id = 0;
            bool hit = false;
            if (names_equal(t.name, szNameBuf)) {
                hit = true;
                id = MEMBERID_NIL;
            }
            for (const auto& f : t.funcs)
                if (!hit && names_equal(f.name, szNameBuf)) {
                    hit = true;
                    id = f.memid;
                }
            if (!hit) continue;
            if (HRESULT hr = type_info(i, &ppTInfo[n]); FAILED(hr)) {
                for (USHORT k = 0; k < n; ++k) {
                    ppTInfo[k]->Release();
                    ppTInfo[k] = nullptr;
                }
                *pcFound = 0;
                return hr;
            }
            rgMemId[n++] = id;
        }
        *pcFound = n;
        return S_OK;
    }
    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

    std::size_t type_count() const { return data_->types.size(); }

private:
    std::shared_ptr<const TypeLibData> data_;
};

TypeInfo::TypeInfo(TypeLib* lib, std::shared_ptr<const TypeLibData> data, std::size_t index)
    : lib_(lib), lib_ref_(lib), data_(std::move(data)), index_(index) {}

HRESULT STDMETHODCALLTYPE TypeInfo::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_INVALIDARG;
    *ppTInfo = nullptr;
    if (hRefType >= lib_->type_count()) return TYPE_E_ELEMENTNOTFOUND;
    return lib_->type_info(hRefType, ppTInfo);
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    if (!ppTLib) return E_INVALIDARG;
    *ppTLib = lib_;
    lib_->AddRef();
    if (pIndex) *pIndex = static_cast<UINT>(index_);
    return S_OK;
}

HRESULT make_type_lib(std::string_view text, ITypeLib** pptlib) {
    try {
        auto data = std::make_shared<TypeLibData>();
        if (HRESULT hr = bf::parse_type_library(text, *data); FAILED(hr)) return hr;
        *pptlib = new TypeLib(std::move(data));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// A trailing "\N" picks resource N of a library, as on the original.
void split_resource_index(std::u16string& path, WORD& id) {
    id = 1;
    auto bs = path.find_last_of(u'\\');
    if (bs == std::u16string::npos || bs + 1 >= path.size() || path.size() - bs > 6) return;
    unsigned v = 0;
    for (std::size_t i = bs + 1; i < path.size(); ++i) {
        if (path[i] < u'0' || path[i] > u'9') return;
        v = v * 10 + (path[i] - u'0');
    }
    if (v == 0 || v > 0xFFFF) return;
    id = static_cast<WORD>(v);
    path.resize(bs);
}

}  // namespace

extern "C" {

BFAPI HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    if (!pptlib) return E_INVALIDARG;
    *pptlib = nullptr;
    if (!szFile || !*szFile) return E_INVALIDARG;
    try {
        std::u16string path(szFile);
        WORD id = 1;
        split_resource_index(path, id);

        if (HMODULE lib = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
            HRESULT hr = TYPE_E_CANTLOADLIBRARY;
            if (HRSRC res = FindResourceW(lib, MAKEINTRESOURCEW(id), u"TYPELIB")) {
                DWORD size = SizeofResource(lib, res);
                HGLOBAL g = LoadResource(lib, res);
                const char* bytes = g ? static_cast<const char*>(LockResource(g)) : nullptr;
                if (bytes) hr = make_type_lib(std::string_view(bytes, size), pptlib);
            }
            FreeLibrary(lib);
            return hr;
        }

        // Not a library: a description file of its own.
        std::ifstream in(bf::to_utf8(path), std::ios::binary);
        if (!in) return TYPE_E_CANTLOADLIBRARY;
        std::string text;
        text.resize(bf::kMaxTypeLibBytes + 1);
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        if (!bf::looks_like_type_library(text)) return TYPE_E_CANTLOADLIBRARY;
        return make_type_lib(text, pptlib);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

BFAPI HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
    HRESULT hr = LoadTypeLib(szFile, pptlib);
    if (SUCCEEDED(hr) && regkind == REGKIND_REGISTER) {
        hr = RegisterTypeLib(*pptlib, szFile, nullptr);
        if (FAILED(hr)) {
            (*pptlib)->Release();
            *pptlib = nullptr;
        }
    }
    return hr;
}

BFAPI HRESULT WINAPI DispGetIDsOfNames(ITypeInfo* ptinfo, OLECHAR** rgszNames, UINT cNames, DISPID* rgdispid) {
    if (!ptinfo) return E_INVALIDARG;
    return ptinfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
}

}  // extern "C"
