// A stand-in for the band object in programs that link the module's code without the band: an
// IDispatch that holds a module lock for its life and counts how many are alive.
#include <atomic>

#include "module/brackenfold_module.h"
#include <shlwapi.h>
#include <oleauto.h>
#include "stand_in_band.h"

namespace {

class StandInBand final : public bf::ComObject<IDispatch> {
public:
    StandInBand() {
        Brackenfold::GetModule().AddLock();
        bf_test::stand_in_bands_alive.fetch_add(1);
    }
    ~StandInBand() override {
        Brackenfold::GetModule().ReleaseLock();
        bf_test::stand_in_bands_alive.fetch_sub(1);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        if (!n) return E_POINTER;
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

}  // namespace

namespace bf_test {
std::atomic<int> stand_in_bands_alive{0};
}

HRESULT Brackenfold::CreateBrackenfoldToolbar(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* band = new StandInBand;
    HRESULT hr = band->QueryInterface(riid, ppv);
    band->Release();
    return hr;
}
