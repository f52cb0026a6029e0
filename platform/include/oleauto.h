// OLE Automation subset: automation strings (BSTR), VARIANT, DISPPARAMS, EXCEPINFO and IDispatch.
// Offers: SysAllocString, SysAllocStringLen, SysAllocStringByteLen, SysReAllocString,
// SysReAllocStringLen, SysFreeString, SysStringLen, SysStringByteLen; VariantInit, VariantClear,
// VariantCopy, VariantChangeType (text, integers, reals, VT_BOOL and VT_EMPTY among each other,
// by-reference sources, object values); the V_* accessors; bf::BStr and bf::Variant as owning wrappers.
//
// A BSTR points at UTF-16 text preceded by a 32-bit byte length and followed by a zero
// character. A null BSTR and an empty one are different values; SysStringLen(nullptr) is 0.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include <unknwn.h>

using BSTR = OLECHAR*;
using LPBSTR = BSTR*;
using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using DISPID = LONG;
using MEMBERID = DISPID;
using DATE = double;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

struct IDispatch;
struct ITypeInfo;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        VARIANT* pvarVal;
        PVOID byref;
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;

#define V_VT(v) ((v)->vt)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_I8(v) ((v)->llVal)
#define V_UI1(v) ((v)->bVal)
#define V_UI4(v) ((v)->ulVal)
#define V_UI8(v) ((v)->ullVal)
#define V_R8(v) ((v)->dblVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_ERROR(v) ((v)->scode)
#define V_UNKNOWN(v) ((v)->punkVal)
#define V_DISPATCH(v) ((v)->pdispVal)

struct DISPPARAMS {
    VARIANTARG* rgvarg;  // arguments in reverse order
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

BF_DECLARE_IID(IDispatch, "00020400-0000-0000-C000-000000000046");

struct BFAPI IDispatch : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                    DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                             DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;

protected:
    ~IDispatch() = default;
};

extern "C" {
BFAPI BSTR WINAPI SysAllocString(const OLECHAR* psz);
BFAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BFAPI BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
BFAPI INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
BFAPI INT WINAPI SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
BFAPI void WINAPI SysFreeString(BSTR bstrString);
BFAPI UINT WINAPI SysStringLen(BSTR pbstr);
BFAPI UINT WINAPI SysStringByteLen(BSTR bstr);

BFAPI void WINAPI VariantInit(VARIANTARG* pvarg);
BFAPI HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
BFAPI HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
BFAPI HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
}

namespace bf {

// Owns one automation string (null allowed). Releases with SysFreeString.
class BFAPI BStr {
public:
    BStr() noexcept = default;
    // Copies; throws std::bad_alloc when the allocator fails.
    explicit BStr(std::u16string_view s);
    explicit BStr(const OLECHAR* s);  // null gives a null string
    BStr(const BStr& o);
    BStr(BStr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    BStr& operator=(BStr o) noexcept {
        std::swap(s_, o.s_);
        return *this;
    }
    ~BStr() { reset(); }

    static BStr adopt(BSTR s) noexcept {
        BStr b;
        b.s_ = s;
        return b;
    }
    void reset(BSTR s = nullptr) noexcept;
    [[nodiscard]] BSTR detach() noexcept { return std::exchange(s_, nullptr); }
    BSTR* put() noexcept {
        reset();
        return &s_;
    }

    BSTR get() const noexcept { return s_; }
    bool is_null() const noexcept { return s_ == nullptr; }
    UINT length() const noexcept { return SysStringLen(s_); }
    std::u16string_view view() const noexcept { return s_ ? std::u16string_view(s_, length()) : std::u16string_view(); }

private:
    BSTR s_ = nullptr;
};

// Owns one VARIANT; clears it on destruction.
class BFAPI Variant : public VARIANT {
public:
    Variant() noexcept { VariantInit(this); }
    Variant(const Variant& o);
    Variant& operator=(const Variant& o);
    ~Variant() { VariantClear(this); }
};

}  // namespace bf
