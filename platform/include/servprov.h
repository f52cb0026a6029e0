// Service lookup: IServiceProvider in the original slot order, with its original id.
#pragma once

#include <unknwn.h>

BF_DECLARE_IID(IServiceProvider, "6D5140C1-7436-11CE-8034-00AA006009FA");

struct BFAPI IServiceProvider : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppvObject) = 0;

    template <class Q>
    HRESULT QueryService(REFGUID guidService, Q** pp) {
        return QueryService(guidService, uuid_of<Q>(), reinterpret_cast<void**>(pp));
    }

protected:
    ~IServiceProvider() = default;
};
