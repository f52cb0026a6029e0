// The interface and class ids of the activation tests' in-process server.
#pragma once

#include <unknwn.h>

BF_DECLARE_IID(ITestAdder, "5B0E7C3A-91D4-4F2B-8A36-2C1D9E4F7A10");
inline constexpr CLSID CLSID_TestAdder = bf::make_guid("5B0E7C3B-91D4-4F2B-8A36-2C1D9E4F7A10");
// Registered to the same library, which does not serve it.
inline constexpr CLSID CLSID_TestUnserved = bf::make_guid("5B0E7C3C-91D4-4F2B-8A36-2C1D9E4F7A10");

struct ITestAdder : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) = 0;

protected:
    ~ITestAdder() = default;
};

// Exported by the server for the tests: objects alive and LockServer count.
using TestServerCountsFn = void (*)(LONG* objects, LONG* locks);
