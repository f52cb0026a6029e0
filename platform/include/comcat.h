// Component categories: the manager class of ole32/comcat that records which categories a class
// implements or requires. Offers: ICatRegister, CATEGORYINFO, CLSID_StdComponentCategoriesMgr
// (a built-in class for CoCreateInstance) and the desk-band category id.
//
// Keys written: HKCR\Component Categories\{catid} (value named by the locale in hex = the
// description), HKCR\CLSID\{clsid}\Implemented Categories\{catid} and ...\Required Categories\{catid}.
#pragma once

#include <unknwn.h>

BF_DECLARE_IID(ICatRegister, "0002E012-0000-0000-C000-000000000046");
inline constexpr CLSID CLSID_StdComponentCategoriesMgr = bf::make_guid("0002E005-0000-0000-C000-000000000046");
inline constexpr CATID CATID_DeskBand = bf::make_guid("00021492-0000-0000-C000-000000000046");
inline constexpr CATID CATID_InfoBand = bf::make_guid("00021493-0000-0000-C000-000000000046");
inline constexpr CATID CATID_CommBand = bf::make_guid("00021494-0000-0000-C000-000000000046");

struct CATEGORYINFO {
    CATID catid;
    LCID lcid;
    OLECHAR szDescription[128];
};

struct BFAPI ICatRegister : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                                  CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                                    CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                 CATID rgcatid[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                                   CATID rgcatid[]) = 0;

protected:
    ~ICatRegister() = default;
};
