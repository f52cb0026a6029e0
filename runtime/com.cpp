#include "runtime/com.h"

namespace bf::rt {

HRESULT ComRoot::query_table(void* self, const InterfaceEntry* table, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!self || !table || !table[0].iid) return E_NOINTERFACE;
    const InterfaceEntry* hit = nullptr;
    if (riid == IID_IUnknown) {
        hit = &table[0];
    } else {
        for (const InterfaceEntry* e = table; e->iid; ++e)
            if (*e->iid == riid) {
                hit = e;
                break;
            }
    }
    if (!hit) return E_NOINTERFACE;
    IUnknown* unk = hit->cast(self);
    unk->AddRef();
    *ppv = unk;
    return S_OK;
}

}  // namespace bf::rt
