// Object-site and connection-point interfaces, original slot order and ids: IObjectWithSite,
// IConnectionPointContainer, IConnectionPoint, IEnumConnections, IEnumConnectionPoints, CONNECTDATA
// and the CONNECT_E_* results.
#pragma once

#include <unknwn.h>

BF_DECLARE_IID(IObjectWithSite, "FC4801A3-2BA9-11CF-A229-00AA003D7352");
BF_DECLARE_IID(IConnectionPointContainer, "B196B284-BAB4-101A-B69C-00AA00341D07");
BF_DECLARE_IID(IEnumConnectionPoints, "B196B285-BAB4-101A-B69C-00AA00341D07");
BF_DECLARE_IID(IConnectionPoint, "B196B286-BAB4-101A-B69C-00AA00341D07");
BF_DECLARE_IID(IEnumConnections, "B196B287-BAB4-101A-B69C-00AA00341D07");

#define CONNECT_E_NOCONNECTION HR(0x80040200)
#define CONNECT_E_ADVISELIMIT HR(0x80040201)
#define CONNECT_E_CANNOTCONNECT HR(0x80040202)
#define CONNECT_E_OVERRIDDEN HR(0x80040203)

struct BFAPI IObjectWithSite : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetSite(IUnknown* pUnkSite) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** ppvSite) = 0;

protected:
    ~IObjectWithSite() = default;
};

struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};
using LPCONNECTDATA = CONNECTDATA*;

struct BFAPI IEnumConnections : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, LPCONNECTDATA rgcd, ULONG* pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnections** ppEnum) = 0;

protected:
    ~IEnumConnections() = default;
};

struct IConnectionPointContainer;

struct BFAPI IConnectionPoint : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;

protected:
    ~IConnectionPoint() = default;
};
using LPCONNECTIONPOINT = IConnectionPoint*;

struct BFAPI IEnumConnectionPoints : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, LPCONNECTIONPOINT* ppCP, ULONG* pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** ppEnum) = 0;

protected:
    ~IEnumConnectionPoints() = default;
};

struct BFAPI IConnectionPointContainer : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;

protected:
    ~IConnectionPointContainer() = default;
};
