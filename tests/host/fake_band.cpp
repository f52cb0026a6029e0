// A band object for the host tests. It does what a toolbar needs from the browser and writes
// every call it receives to the file named by BF_FAKE_BAND_LOG, one line each:
//   SetSite / GetBandInfo / GetWindow / ShowDW / CloseDW / SetSite(null) / destroyed
//   event <dispid> <top|frame|other> <vt of each argument, first argument first> <url>
//   input <type>|<id>|<name>|<value>    (the top document's INPUT elements at DocumentComplete)
// At DocumentComplete of the top document it writes BF_FAKE_BAND_FILL into every empty text
// INPUT whose id or name contains "email", through the document model. Its window has the
// controls of the real toolbar at the real places; a click on the login button navigates the
// browser to BF_FAKE_BAND_LOGIN_URL.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <shlwapi.h>
#include <exdisp.h>
#include <mshtml.h>
#include <objbase.h>
#include <ocidl.h>
#include <servprov.h>
#include <shobjidl.h>
#include <stringapiset.h>
#include <winuser.h>
#include "tests/host/fake_band.h"

namespace {

std::atomic<LONG> g_objects{0};

void log_line(const std::string& line) {
    static std::mutex m;
    const char* path = std::getenv("BF_FAKE_BAND_LOG");
    if (!path) return;
    std::lock_guard<std::mutex> lock(m);
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::string str(BSTR b) { return b ? bf::to_utf8(std::u16string_view(b, SysStringLen(b))) : std::string(); }

constexpr UINT kLoginId = 7;

LRESULT CALLBACK toolbar_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COMMAND && lp) {
        auto* browser = reinterpret_cast<IWebBrowser2*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        const char* target = std::getenv("BF_FAKE_BAND_LOGIN_URL");
        if (browser && target && reinterpret_cast<HWND>(lp) == GetDlgItem(hwnd, kLoginId)) {
            bf::BStr url(bf::to_utf16(target));
            HRESULT hr = browser->Navigate(url.get(), nullptr, nullptr, nullptr, nullptr);
            log_line("login-click navigate " + std::to_string(hr));
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void register_classes() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = toolbar_proc;
        wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        wc.lpszClassName = u"FakeBandToolbar";
        RegisterClassExW(&wc);
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = u"Brackenfold_ImageLabel";
        RegisterClassExW(&wc);
    });
}

class FakeBand final : public bf::ComObject<IObjectWithSite, IDeskBand, IDispatch> {
public:
    FakeBand() { ++g_objects; }
    ~FakeBand() override {
        log_line("destroyed");
        --g_objects;
    }

    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override {
        if (!site) {
            log_line("SetSite(null)");
            if (cpc_) {
                ComPtr<IConnectionPoint> cp;
                if (SUCCEEDED(cpc_->FindConnectionPoint(IID_DWebBrowserEvents2, cp.put())))
                    log_line("Unadvise " + std::to_string(cp->Unadvise(cookie_)));
            }
            cpc_.reset();
            return S_OK;
        }
        log_line("SetSite");
        ComPtr<IOleWindow> ole;
        HWND parent = nullptr;
        if (FAILED(site->QueryInterface(ole.put())) || FAILED(ole->GetWindow(&parent)) || !IsWindow(parent))
            return E_UNEXPECTED;
        ComPtr<IServiceProvider> sp;
        if (FAILED(site->QueryInterface(sp.put()))) return E_FAIL;
        if (FAILED(sp->QueryService(SID_SWebBrowserApp, browser_.put()))) return E_FAIL;
        if (FAILED(browser_.as(cpc_))) return E_FAIL;
        ComPtr<IInputObjectSite> input_site;
        log_line(std::string("input-object-site ") + (SUCCEEDED(site->QueryInterface(input_site.put())) ? "yes" : "no"));
        if (!create_window(parent)) return E_FAIL;
        ComPtr<IConnectionPoint> cp;
        if (SUCCEEDED(cpc_->FindConnectionPoint(IID_DWebBrowserEvents2, cp.put())))
            log_line("Advise " + std::to_string(cp->Advise(static_cast<IDispatch*>(this), &cookie_)));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSite(REFIID, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        return E_FAIL;
    }

    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override {
        log_line("GetWindow");
        if (!phwnd) return E_POINTER;
        *phwnd = toolbar_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ShowDW(BOOL show) override {
        log_line("ShowDW " + std::to_string(show));
        if (IsWindow(toolbar_)) ShowWindow(toolbar_, show ? SW_SHOW : SW_HIDE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CloseDW(DWORD) override {
        log_line("CloseDW");
        if (IsWindow(toolbar_)) DestroyWindow(toolbar_);
        if (IsWindow(host_)) DestroyWindow(host_);
        toolbar_ = host_ = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ResizeBorderDW(LPCRECT, IUnknown*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBandInfo(DWORD id, DWORD mode, DESKBANDINFO* info) override {
        if (!info) return E_INVALIDARG;
        log_line("GetBandInfo " + std::to_string(id) + " " + std::to_string(mode) + " " + std::to_string(info->dwMask));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        if (!n) return E_POINTER;
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        if (!params) return E_INVALIDARG;
        std::string line = "event " + std::to_string(id);
        std::string url;
        const char* who = "";
        if (params->cArgs > 0) {
            const VARIANT& first = params->rgvarg[params->cArgs - 1];
            if (V_VT(&first) == VT_DISPATCH) who = same_object(V_DISPATCH(&first), browser_.get()) ? " top" : " frame";
            else who = " other";
        }
        line += who;
        for (UINT i = params->cArgs; i > 0; --i) {
            const VARIANT& a = params->rgvarg[i - 1];
            char buf[16];
            std::snprintf(buf, sizeof buf, " %x", V_VT(&a));
            line += buf;
            if (i == params->cArgs - 1 && V_VT(&a) == (VT_VARIANT | VT_BYREF) && V_VT(a.pvarVal) == VT_BSTR)
                url = str(V_BSTR(a.pvarVal));
        }
        log_line(line + " " + url);
        if (id == DISPID_BEFORENAVIGATE2 && params->cArgs == 7) {
            const char* cancel = std::getenv("BF_FAKE_BAND_CANCEL");
            if (cancel && url.find(cancel) != std::string::npos)
                *static_cast<VARIANT_BOOL*>(params->rgvarg[0].byref) = VARIANT_TRUE;
        }
        if (id == DISPID_DOCUMENTCOMPLETE && std::string(who) == " top") read_document();
        return S_OK;
    }

private:
    static bool same_object(IUnknown* a, IUnknown* b) {
        if (!a || !b) return false;
        ComPtr<IUnknown> ua, ub;
        a->QueryInterface(IID_IUnknown, ua.put_void());
        b->QueryInterface(IID_IUnknown, ub.put_void());
        return ua && ua == ub;
    }

    bool create_window(HWND parent) {
        register_classes();
        // As the real band: a hidden host window, the toolbar window inside it.
        host_ = CreateWindowExW(0, u"STATIC", u"", WS_CHILD, 0, 0, 200, 30, parent, nullptr, nullptr, nullptr);
        toolbar_ = CreateWindowExW(0, u"FakeBandToolbar", u"", WS_CHILD | WS_CLIPCHILDREN, 0, 0, 200, 30, host_,
                                   nullptr, nullptr, nullptr);
        if (!toolbar_) return false;
        SetWindowLongPtrW(toolbar_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(browser_.get()));
        auto child = [&](const char16_t* cls, DWORD style, DWORD ex, int l, int t, int r, int b, UINT id) {
            return CreateWindowExW(ex, cls, u"", WS_CHILD | style, l, t, r - l, b - t, toolbar_,
                                   reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), nullptr, nullptr);
        };
        child(u"Brackenfold_ImageLabel", WS_VISIBLE, 0, 0, 1, 200, 29, 0);
        HWND status = child(u"EDIT", WS_VISIBLE | ES_READONLY, WS_EX_CLIENTEDGE, 205, 1, 455, 22, 0);
        HWND login = child(u"BUTTON", WS_VISIBLE, 0, 457, 0, 507, 22, kLoginId);
        child(u"STATIC", WS_VISIBLE, 0, 509, 1, 509, 22, 0);
        child(u"Brackenfold_ImageLabel", 0, 0, 511, 1, 611, 22, 0);
        SetWindowTextW(status, u"Fake band ready");
        SetWindowTextW(login, u"Login");
        return true;
    }

    void read_document() {
        ComPtr<IDispatch> disp;
        ComPtr<IHTMLDocument2> doc;
        ComPtr<IHTMLElementCollection> all, inputs;
        ComPtr<IDispatch> tagged;
        if (FAILED(browser_->get_Document(disp.put())) || !disp || FAILED(disp.as(doc)) ||
            FAILED(doc->get_all(all.put())) || !all)
            return;
        bf::Variant tag;
        V_VT(&tag) = VT_BSTR;
        V_BSTR(&tag) = SysAllocString(u"INPUT");
        if (FAILED(all->tags(tag, tagged.put())) || !tagged || FAILED(tagged.as(inputs))) return;
        LONG n = 0;
        inputs->get_length(&n);
        const char* fill = std::getenv("BF_FAKE_BAND_FILL");
        for (LONG i = 0; i < n; ++i) {
            bf::Variant index, missing;
            V_VT(&index) = VT_I4;
            V_I4(&index) = i;
            V_VT(&missing) = VT_ERROR;
            V_ERROR(&missing) = static_cast<SCODE>(0x80020004);  // DISP_E_PARAMNOTFOUND
            ComPtr<IDispatch> item;
            ComPtr<IHTMLInputElement> input;
            ComPtr<IHTMLElement> element;
            if (FAILED(inputs->item(index, missing, item.put())) || !item || FAILED(item.as(input)) ||
                FAILED(item.as(element)))
                continue;
            bf::BStr type, id, name, value;
            input->get_type(type.put());
            element->get_id(id.put());
            input->get_name(name.put());
            input->get_value(value.put());
            log_line("input " + str(type.get()) + "|" + str(id.get()) + "|" + str(name.get()) + "|" + str(value.get()));
            std::string key = str(id.get()) + " " + str(name.get());
            for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (fill && str(type.get()) == "text" && key.find("email") != std::string::npos && value.length() == 0) {
                bf::BStr v(bf::to_utf16(fill));
                input->put_value(v.get());
            }
        }
    }

    ComPtr<IWebBrowser2> browser_;
    ComPtr<IConnectionPointContainer> cpc_;
    HWND host_ = nullptr;
    HWND toolbar_ = nullptr;
    DWORD cookie_ = 0;
};

class Factory final : public bf::ComObject<IClassFactory> {
public:
    Factory() { ++g_objects; }
    ~Factory() override { --g_objects; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* b = new (std::nothrow) FakeBand;
        if (!b) return E_OUTOFMEMORY;
        HRESULT hr = b->QueryInterface(riid, ppv);
        b->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" {

BFAPI HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_FakeBand) return CLASS_E_CLASSNOTAVAILABLE;
    auto* f = new (std::nothrow) Factory;
    if (!f) return E_OUTOFMEMORY;
    HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

BFAPI HRESULT DllCanUnloadNow() {
    if (g_objects.load() == 0) log_line("unload-asked yes");
    return g_objects.load() == 0 ? S_OK : S_FALSE;
}
}
