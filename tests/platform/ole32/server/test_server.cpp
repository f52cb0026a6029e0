// The activation tests' in-process server: one class that adds numbers and refuses aggregation,
// with the usual object and lock counts behind DllCanUnloadNow.
#include <atomic>
#include <new>

#include <shlwapi.h>
#include "tests/platform/ole32/server/test_server.h"

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

class Adder final : public bf::ComObject<ITestAdder> {
public:
    Adder() { ++g_objects; }
    ~Adder() override { --g_objects; }
    HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) override {
        if (!sum) return E_POINTER;
        *sum = a + b;
        return S_OK;
    }
};

class Factory final : public bf::ComObject<IClassFactory> {
public:
    // A class object held by a client keeps the server loaded, as the original expects.
    Factory() { ++g_objects; }
    ~Factory() override { --g_objects; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* a = new (std::nothrow) Adder;
        if (!a) return E_OUTOFMEMORY;
        HRESULT hr = a->QueryInterface(riid, ppv);
        a->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++g_locks : --g_locks;
        return S_OK;
    }
};

}  // namespace

extern "C" {

BFAPI HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_TestAdder) return CLASS_E_CLASSNOTAVAILABLE;
    auto* f = new (std::nothrow) Factory;
    if (!f) return E_OUTOFMEMORY;
    HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

BFAPI HRESULT DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

BFAPI void TestServer_Counts(LONG* objects, LONG* locks) {
    *objects = g_objects;
    *locks = g_locks;
}
}
