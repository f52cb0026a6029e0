// The registrar: runs registry scripts, the small language the registration resources are
// written in. One CRegistrar lives on the stack for each script run; it holds the replacements
// ("%NAME%" -> value) that the script may use.
//
//   HKCR                                 root blocks: HKCR HKCU HKLM HKU HKPD HKDD HKCC (or the
//   {                                    long HKEY_ names); entries inside "{" ... "}"
//       NoRemove CLSID                   kept at unregistration
//       {
//           ForceRemove {clsid} = s 'Name'   deleted (with subkeys) before it is written again
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//       Delete Obsolete                  deleted at registration, nothing created
//   }
//
// Value types: s (string), d (32-bit number), b (hex byte pairs), m (strings split by "\0").
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <winerror.h>
#include <unknwn.h>

namespace Brackenfold {

// What a registrar offers to the module (AddCommonReplacements) and to script runs.
struct IRegistrar : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;

protected:
    ~IRegistrar() = default;
};

class CRegistrar final : public IRegistrar {
public:
    CRegistrar() = default;
    CRegistrar(const CRegistrar&) = delete;
    CRegistrar& operator=(const CRegistrar&) = delete;

    // Lives on the stack: no interfaces to hand out, no counting.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    // Null name or value: E_INVALIDARG. Names compare case-insensitively; the first one added wins.
    HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) override;
    HRESULT STDMETHODCALLTYPE ClearReplacements() override;
    virtual ~CRegistrar();

    // Runs a whole script for registration or unregistration. Script errors give
    // DISP_E_EXCEPTION (E_FAIL for over-long replacement names and odd binary digits; a 'd'
    // value that is not a number gives DISP_E_TYPEMISMATCH, one out of DWORD range
    // DISP_E_OVERFLOW, as the conversion reports them), registry errors their
    // HRESULT_FROM_WIN32 value. A root block that fails at registration is walked
    // again for unregistration before the failure is returned.
    HRESULT ResourceRegisterSz(LPCOLESTR script, bool do_register);

    // The value of a replacement, or null.
    const std::u16string* Lookup(std::u16string_view name) const;
    // The script with every replacement done.
    HRESULT Substitute(std::u16string_view script, std::u16string& out) const;

private:
    std::vector<std::pair<std::u16string, std::u16string>> replacements_;
};

// Names ForceRemove and Delete never remove ("CLSID", "Software", ...).
bool IsProtectedKeyName(std::u16string_view name);

}  // namespace Brackenfold
