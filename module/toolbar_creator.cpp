// The object map's creation function for the band object.
#include "module/brackenfold_module.h"

#if __has_include("band/brackenfold_toolbar.h")
#include "band/brackenfold_toolbar.h"
#define BF_HAVE_BAND_OBJECT 1
#endif

namespace Brackenfold {

HRESULT CreateBrackenfoldToolbar(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
#ifdef BF_HAVE_BAND_OBJECT
    return CBrackenfoldToolbar::CreateInstance(outer, riid, ppv);
#else
    (void)riid;
    return E_NOTIMPL;
#endif
}

}  // namespace Brackenfold
