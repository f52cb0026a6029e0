#include "host/browser_window.h"

#include <algorithm>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <cstring>

#include "host/url.h"
#include "host/web_browser.h"
#include <gdiplus.h>
#include <wingdi.h>
#include <winbase.h>
#include <shlwapi.h>
#include <objbase.h>
#include <ocidl.h>
#include <winreg.h>
#include <servprov.h>
#include <shobjidl.h>
#include <stringapiset.h>
#include <processthreadsapi.h>
#include <winuser.h>

namespace bf::host {
namespace {

constexpr UINT WM_HOST_TASK = WM_APP + 1;      // thread message: lParam is a Task
constexpr UINT WM_HOST_NAVIGATE = WM_APP + 2;  // to the frame window: carry out queued navigations
constexpr size_t kDrainLimit = 1000000;        // a window that floods its own queue still returns
constexpr const char16_t* kToolbarKey = u"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr const char16_t* kFrameClass = u"BrackenfoldBrowserFrame";
constexpr const char16_t* kAreaClass = u"BrackenfoldBrowserBandArea";
constexpr const char16_t* kPageClass = u"BrackenfoldBrowserPage";

std::string hex_hr(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

std::u16string lower_ascii(std::u16string s) {
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

// The site a toolbar is given: the toolbar area's window, the browser as SID_SWebBrowserApp,
// and an input object site that accepts focus notices.
class BandSite final : public bf::ComObject<IOleWindow, IServiceProvider, IInputObjectSite> {
public:
    BandSite(HWND area, ComPtr<WebBrowser> browser) : area_(area), browser_(std::move(browser)) {}

    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override {
        if (!phwnd) return E_POINTER;
        *phwnd = area_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        if (guidService != SID_SWebBrowserApp || !browser_) return E_NOINTERFACE;
        return browser_->QueryInterface(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE OnFocusChangeIS(IUnknown*, BOOL) override { return S_OK; }

    void detach() {
        ComPtr<WebBrowser> gone;
        std::lock_guard<std::mutex> lock(mutex_);
        gone = std::move(browser_);
    }

private:
    HWND area_;
    std::mutex mutex_;
    ComPtr<WebBrowser> browser_;
};

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT CALLBACK page_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

void register_classes() {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = frame_proc;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
        wc.lpszClassName = kFrameClass;
        RegisterClassExW(&wc);
        wc.lpfnWndProc = DefWindowProcW;
        wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        wc.lpszClassName = kAreaClass;
        RegisterClassExW(&wc);
        wc.lpfnWndProc = page_proc;
        wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
        wc.lpszClassName = kPageClass;
        RegisterClassExW(&wc);
    });
}

struct Task {
    const std::function<void(BrowserWindow::Core&)>* fn;
    std::promise<void> done;
};

}  // namespace

class BrowserWindow::Core final : public NavigationQueue, public EngineHost {
public:
    ~Core() {
        if (!closed_) close();
    }

    bool create(const WindowOptions& options, EngineFactory& engines, std::string* error) {
        options_ = options;
        register_classes();
        frame_ = CreateWindowExW(0, kFrameClass, u"Brackenfold", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                 options.toolbar_width, options.toolbar_height + options.page_height, nullptr,
                                 nullptr, nullptr, nullptr);
        if (!frame_) {
            *error = "cannot create the browser window (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        SetWindowLongPtrW(frame_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        area_ = CreateWindowExW(0, kAreaClass, u"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                                options.toolbar_width, options.toolbar_height, frame_, nullptr, nullptr, nullptr);
        page_ = area_ ? CreateWindowExW(0, kPageClass, u"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0,
                                        options.toolbar_height, options.toolbar_width, options.page_height, frame_,
                                        nullptr, nullptr, nullptr)
                      : nullptr;
        if (!area_ || !page_) {
            *error = "cannot create the toolbar area (error " + std::to_string(GetLastError()) + ")";
            DestroyWindow(frame_);
            frame_ = area_ = page_ = nullptr;
            return false;
        }
        browser_ = WebBrowser::create(this);
        site_ = bf::make_com<BandSite>(area_, browser_);
        engine_ = engines.make_engine();
        if (!engine_ || !engine_->start(*this, error)) {
            if (error->empty()) *error = "cannot start the browser engine";
            engine_.reset();
            close();
            return false;
        }
        return true;
    }

    // Every class id named by a value under the browser's toolbar key, created and sited in turn.
    void load_toolbars() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kToolbarKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
        std::vector<std::u16string> names;
        for (DWORD i = 0;; ++i) {
            WCHAR name[260];
            DWORD len = 260;
            LSTATUS s = RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
            if (s == ERROR_NO_MORE_ITEMS) break;
            if (s == ERROR_SUCCESS) names.emplace_back(name, len);
            else if (s != ERROR_MORE_DATA) break;
        }
        RegCloseKey(key);
        for (const auto& name : names) load_toolbar(name);
        int rows = std::max<int>(1, static_cast<int>(bands_.size()));
        area_height_ = options_.toolbar_height * rows;
        SetWindowPos(area_, nullptr, 0, 0, options_.toolbar_width, area_height_, SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(page_, nullptr, 0, area_height_, options_.toolbar_width, options_.page_height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(frame_, nullptr, 0, 0, options_.toolbar_width, area_height_ + options_.page_height,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }

    void request_navigation(NavigationRequest request) override {
        {
            std::lock_guard<std::mutex> lock(pending_mutex_);
            pending_.push_back(std::move(request));
        }
        PostMessageW(frame_, WM_HOST_NAVIGATE, 0, 0);
    }

    void process_navigations() {
        for (;;) {
            if (closed_) {
                std::lock_guard<std::mutex> lock(pending_mutex_);
                pending_.clear();
                return;
            }
            NavigationRequest request;
            {
                std::lock_guard<std::mutex> lock(pending_mutex_);
                if (pending_.empty()) return;
                request = std::move(pending_.front());
                pending_.pop_front();
            }
            if (engine_ && browser_) engine_->navigate(request);
        }
    }

    void engine_wake() {
        if (engine_ && !closed_) engine_->on_wake();
    }

    // Handles whatever is queued, sent messages included.
    void drain() {
        MSG m;
        for (size_t n = 0; n < kDrainLimit && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++n) {
            if (m.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(m.wParam));
                return;
            }
            if (!m.hwnd && m.message == WM_HOST_TASK) {
                auto* task = reinterpret_cast<Task*>(m.lParam);
                (*task->fn)(*this);
                task->done.set_value();
                continue;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }

    bool queue_empty() {
        MSG m;
        return !PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    }

    // EngineHost
    WebBrowser& browser() override { return *browser_; }
    HWND frame_window() override { return frame_; }
    bool closed() const override { return closed_ || !browser_; }

    bool pump_until(const std::function<bool()>& done, Clock::time_point deadline) override {
        for (;;) {
            drain();
            if (closed() || quitting()) return false;
            if (done()) return true;
            if (Clock::now() >= deadline) return false;
            MSG m;
            BOOL got = GetMessageW(&m, nullptr, 0, 0);
            if (got <= 0) {
                PostQuitMessage(got == 0 ? static_cast<int>(m.wParam) : 0);
                return false;
            }
            if (!m.hwnd && m.message == WM_HOST_TASK) {
                auto* task = reinterpret_cast<Task*>(m.lParam);
                (*task->fn)(*this);
                task->done.set_value();
                continue;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }

    // BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel); false when
    // a sink cancelled.
    bool before_navigate(WebBrowser& target, const NavigationRequest& request) override {
        bf::Variant url, flags, frame_name, post_data, headers;
        V_VT(&url) = VT_BSTR;
        V_BSTR(&url) = SysAllocString(bf::to_utf16(request.url).c_str());
        V_VT(&flags) = VT_I4;
        V_I4(&flags) = 0;
        V_VT(&frame_name) = VT_BSTR;
        V_BSTR(&frame_name) = SysAllocString(u"");
        // Post data travels as VT_EMPTY: the platform has no safe arrays to carry the bytes.
        V_VT(&headers) = VT_BSTR;
        std::u16string h = request.method == "POST" ? bf::to_utf16("Content-Type: " + request.content_type + "\r\n")
                                                    : std::u16string();
        V_BSTR(&headers) = SysAllocString(h.c_str());
        VARIANT_BOOL cancel = VARIANT_FALSE;
        VARIANT args[7];
        for (auto& a : args) VariantInit(&a);
        V_VT(&args[6]) = VT_DISPATCH;
        V_DISPATCH(&args[6]) = target.as_dispatch();
        VARIANT* byref[5] = {&url, &flags, &frame_name, &post_data, &headers};
        for (int i = 0; i < 5; ++i) {
            V_VT(&args[5 - i]) = VT_VARIANT | VT_BYREF;
            args[5 - i].pvarVal = byref[i];
        }
        V_VT(&args[0]) = VT_BOOL | VT_BYREF;
        args[0].byref = &cancel;
        DISPPARAMS params{args, nullptr, 7, 0};
        browser_->fire(DISPID_BEFORENAVIGATE2, &params);
        return cancel == VARIANT_FALSE;
    }

    // NavigateComplete2 and DocumentComplete: (pDisp, URL).
    void complete_event(DISPID id, WebBrowser& target, const std::string& url_text) override {
        bf::Variant url;
        V_VT(&url) = VT_BSTR;
        V_BSTR(&url) = SysAllocString(bf::to_utf16(url_text).c_str());
        VARIANT args[2];
        VariantInit(&args[0]);
        VariantInit(&args[1]);
        V_VT(&args[1]) = VT_DISPATCH;
        V_DISPATCH(&args[1]) = target.as_dispatch();
        V_VT(&args[0]) = VT_VARIANT | VT_BYREF;
        args[0].pvarVal = &url;
        DISPPARAMS params{args, nullptr, 2, 0};
        browser_->fire(id, &params);
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        {
            std::lock_guard<std::mutex> lock(pending_mutex_);
            pending_.clear();  // a closing window starts no more navigations
        }
        if (browser_) {
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            browser_->fire(DISPID_ONQUIT, &none);
        }
        for (auto& band : bands_) {
            band.desk->ShowDW(FALSE);
            band.desk->CloseDW(0);
            if (band.with_site) band.with_site->SetSite(nullptr);
        }
        bands_.clear();
        drain();
        if (engine_) engine_->close();
        if (site_) site_->detach();
        site_.reset();
        if (browser_) browser_->detach();
        browser_.reset();
        drain();
        engine_.reset();
        if (page_image_) DeleteObject(page_image_);
        page_image_ = nullptr;
        if (frame_) DestroyWindow(frame_);
        frame_ = area_ = page_ = nullptr;
        PostQuitMessage(0);
    }

    bool open_typed(const std::string& typed, std::string* error) {
        auto url = url_from_typed(typed);
        if (!url) {
            *error = "cannot open '" + typed + "': not an http, https, file or about address";
            return false;
        }
        NavigationRequest r;
        r.url = *url;
        request_navigation(std::move(r));
        return true;
    }

    // After a command: the queued navigations are carried out and the engine has settled.
    bool settle(std::string* error) {
        drain();
        if (!engine_ || closed()) return true;
        return engine_->settle(error);
    }

    bool idle() { return !engine_ || closed() || engine_->idle(); }
    std::string engine_failure() { return engine_ ? engine_->failure() : std::string(); }

    std::string location() { return browser_ ? browser_->location() : std::string(); }

    FieldsReport fields() { return engine_ && !closed() ? engine_->fields() : FieldsReport{}; }

    std::optional<ToolbarReport> toolbar() {
        HWND tb = toolbar_window();
        if (!tb) return std::nullopt;
        ToolbarReport r;
        Controls c = controls_of(tb);
        r.status = text_of(c.status);
        r.login = text_of(c.login);
        r.name = text_of(c.name);
        r.status_focused = c.status && GetFocus() == c.status;
        if (c.status) {
            DWORD start = 0, end = 0;
            SendMessageW(c.status, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
            r.selection_start = static_cast<long>(start);
            r.selection_end = static_cast<long>(end);
        }
        r.name_rect = rect_in(tb, c.name);
        r.rating = {visible(c.rating), rect_in(tb, c.rating)};
        r.ad = {visible(c.ad), rect_in(tb, c.ad)};
        return r;
    }

    bool click(BandControl which, std::string* error) {
        HWND tb = toolbar_window();
        if (!tb) {
            *error = "this window has no toolbar";
            return false;
        }
        Controls c = controls_of(tb);
        HWND target = which == BandControl::status  ? c.status
                      : which == BandControl::login ? c.login
                      : which == BandControl::name  ? c.name
                      : which == BandControl::rating ? c.rating
                                                     : c.ad;
        if (!target) {
            *error = "the toolbar has no such control";
            return false;
        }
        RECT r = rect_in(tb, target);
        return click_at(POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}, error);
    }

    bool click_at(POINT p, std::string* error) {
        HWND tb = toolbar_window();
        if (!tb) {
            *error = "this window has no toolbar";
            return false;
        }
        if (!bf::inject_click(tb, p)) {
            *error = "the click could not be delivered (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        return true;
    }

    bool set_field(const std::string& field, const std::string& text, std::string* error) {
        if (!engine_ || closed()) {
            *error = "no page is loaded";
            return false;
        }
        return engine_->set_field(field, text, error);
    }

    bool has_field(const std::string& field, std::string* error) {
        return engine_ && !closed() && engine_->has_field(field, error);
    }

    bool submit(const std::string& field, std::string* error) {
        if (!engine_ || closed()) {
            *error = "no page is loaded";
            return false;
        }
        return engine_->submit(field, error);
    }

    bool snapshot(const std::string& path, std::string* error) {
        HWND tb = toolbar_window();
        if (!tb) {
            *error = "this window has no toolbar";
            return false;
        }
        std::string png;
        if (engine_ && !closed() && engine_->page_image(&png, error)) {
            if (!show_page_image(png, error)) return false;
            // The toolbars above the page, as the window shows them.
            if (!bf::snapshot_window(frame_, path.c_str())) {
                *error = "cannot write '" + path + "' (error " + std::to_string(GetLastError()) + ")";
                return false;
            }
            return true;
        }
        if (!error->empty()) return false;
        if (!bf::snapshot_window(tb, path.c_str())) {
            *error = "cannot write '" + path + "' (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
        return true;
    }

    void paint_page(HWND hwnd) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r{};
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
        if (page_image_) {
            HDC mem = CreateCompatibleDC(dc);
            HGDIOBJ old = SelectObject(mem, page_image_);
            BitBlt(dc, 0, 0, page_size_.cx, page_size_.cy, mem, 0, 0, SRCCOPY);
            SelectObject(mem, old);
            DeleteDC(mem);
        }
        EndPaint(hwnd, &ps);
    }

    std::vector<std::string> problems_;
    bool has_toolbar() const { return !bands_.empty(); }

private:
    struct Band {
        ComPtr<IUnknown> object;
        ComPtr<IObjectWithSite> with_site;
        ComPtr<IDeskBand> desk;
        HWND window = nullptr;
    };
    struct Controls {
        HWND rating = nullptr, status = nullptr, login = nullptr, name = nullptr, ad = nullptr;
    };

    static bool quitting() {
        MSG m;
        return PeekMessageW(&m, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != 0;
    }

    // The engine's picture of the page goes into the page area, which grows to its size.
    bool show_page_image(const std::string& png, std::string* error) {
        HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, png.size());
        void* p = mem ? GlobalLock(mem) : nullptr;
        if (!p) {
            if (mem) GlobalFree(mem);
            *error = "out of memory for the page's picture";
            return false;
        }
        std::memcpy(p, png.data(), png.size());
        GlobalUnlock(mem);
        ComPtr<IStream> stream;
        if (FAILED(CreateStreamOnHGlobal(mem, TRUE, stream.put()))) {
            GlobalFree(mem);
            *error = "out of memory for the page's picture";
            return false;
        }
        ULONG_PTR token = 0;
        Gdiplus::GdiplusStartupInput in;
        if (Gdiplus::GdiplusStartup(&token, &in, nullptr) != Gdiplus::Ok) {
            *error = "the image decoder does not start";
            return false;
        }
        bool ok = false;
        Gdiplus::GpBitmap* bitmap = nullptr;
        if (Gdiplus::DllExports::GdipCreateBitmapFromStream(stream.get(), &bitmap) == Gdiplus::Ok && bitmap) {
            UINT w = 0, h = 0;
            Gdiplus::DllExports::GdipGetImageWidth(bitmap, &w);
            Gdiplus::DllExports::GdipGetImageHeight(bitmap, &h);
            Gdiplus::BitmapData data;
            if (w && h &&
                Gdiplus::DllExports::GdipBitmapLockBits(bitmap, nullptr, Gdiplus::ImageLockModeRead,
                                                        PixelFormat32bppARGB, &data) == Gdiplus::Ok) {
                BITMAPINFO bi{};
                bi.bmiHeader.biSize = sizeof bi.bmiHeader;
                bi.bmiHeader.biWidth = static_cast<LONG>(w);
                bi.bmiHeader.biHeight = -static_cast<LONG>(h);
                bi.bmiHeader.biPlanes = 1;
                bi.bmiHeader.biBitCount = 32;
                bi.bmiHeader.biCompression = BI_RGB;
                void* bits = nullptr;
                HBITMAP dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
                if (dib && bits) {
                    for (UINT y = 0; y < h; ++y)
                        std::memcpy(static_cast<char*>(bits) + static_cast<size_t>(y) * w * 4,
                                    static_cast<const char*>(data.Scan0) + static_cast<ptrdiff_t>(y) * data.Stride,
                                    static_cast<size_t>(w) * 4);
                    if (page_image_) DeleteObject(page_image_);
                    page_image_ = dib;
                    page_size_ = {static_cast<LONG>(w), static_cast<LONG>(h)};
                    ok = true;
                } else if (dib) {
                    DeleteObject(dib);
                }
                Gdiplus::DllExports::GdipBitmapUnlockBits(bitmap, &data);
            }
            Gdiplus::DllExports::GdipDisposeImage(bitmap);
        }
        Gdiplus::GdiplusShutdown(token);
        if (!ok) {
            *error = "the browser's picture of the page cannot be read";
            return false;
        }
        int width = std::max<int>(options_.toolbar_width, page_size_.cx);
        SetWindowPos(page_, nullptr, 0, area_height_, width, page_size_.cy, SWP_NOZORDER | SWP_NOACTIVATE);
        SetWindowPos(frame_, nullptr, 0, 0, width, area_height_ + page_size_.cy,
                     SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
        InvalidateRect(page_, nullptr, TRUE);
        return true;
    }

    void load_toolbar(const std::u16string& name) {
        std::string shown = bf::to_utf8(name);
        CLSID clsid{};
        if (FAILED(CLSIDFromString(name.c_str(), &clsid))) {
            problems_.push_back("toolbar value '" + shown + "' is not a class id");
            return;
        }
        Band band;
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, band.object.put_void());
        if (FAILED(hr) || !band.object) {
            problems_.push_back("toolbar " + shown + " cannot be created (" + hex_hr(hr) + ")");
            return;
        }
        hr = band.object.as(band.with_site);
        if (FAILED(hr) || !band.with_site) {
            problems_.push_back("toolbar " + shown + " takes no site (" + hex_hr(hr) + ")");
            return;
        }
        hr = band.with_site->SetSite(static_cast<IOleWindow*>(site_.get()));
        if (FAILED(hr)) {
            problems_.push_back("toolbar " + shown + " refused its site (" + hex_hr(hr) + ")");
            return;
        }
        hr = band.object.as(band.desk);
        if (FAILED(hr) || !band.desk) {
            problems_.push_back("toolbar " + shown + " is no desk band (" + hex_hr(hr) + ")");
            band.with_site->SetSite(nullptr);
            return;
        }
        DESKBANDINFO info{};
        info.dwMask = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE | DBIM_MODEFLAGS |
                      DBIM_BKCOLOR;
        band.desk->GetBandInfo(static_cast<DWORD>(bands_.size()), DBIF_VIEWMODE_NORMAL, &info);
        if (FAILED(band.desk->GetWindow(&band.window)) || !band.window || !IsWindow(band.window)) {
            problems_.push_back("toolbar " + shown + " has no window");
            band.desk->CloseDW(0);
            band.with_site->SetSite(nullptr);
            return;
        }
        // The band's window moves into the toolbar area; the band's own host window stays hidden.
        SetParent(band.window, area_);
        int y = options_.toolbar_height * static_cast<int>(bands_.size());
        SetWindowPos(band.window, nullptr, 0, y, options_.toolbar_width, options_.toolbar_height,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        band.desk->ShowDW(TRUE);
        bands_.push_back(std::move(band));
    }

    HWND toolbar_window() {
        for (const auto& b : bands_)
            if (IsWindow(b.window)) return b.window;
        return nullptr;
    }

    static Controls controls_of(HWND toolbar) {
        Controls c;
        HWND labels[2] = {nullptr, nullptr};
        int nlabels = 0;
        for (HWND w = GetWindow(toolbar, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
            WCHAR cls[64] = {};
            int n = GetClassNameW(w, cls, 64);
            std::u16string name(cls, n > 0 ? static_cast<size_t>(n) : 0);
            name = lower_ascii(name);
            if (name == u"edit" && !c.status) c.status = w;
            else if (name == u"button" && !c.login) c.login = w;
            else if (name == u"static" && !c.name) c.name = w;
            else if (name == u"brackenfold_imagelabel" && nlabels < 2) labels[nlabels++] = w;
        }
        // The rating label comes first, the advertisement label last.
        c.rating = labels[0];
        c.ad = labels[1];
        return c;
    }

    static std::u16string text_of(HWND w) {
        if (!w) return {};
        int len = GetWindowTextLengthW(w);
        std::u16string s(static_cast<size_t>(std::max(len, 0)) + 1, u'\0');
        int got = GetWindowTextW(w, s.data(), static_cast<int>(s.size()));
        s.resize(static_cast<size_t>(std::max(got, 0)));
        return s;
    }

    static RECT rect_in(HWND toolbar, HWND w) {
        RECT r{};
        if (!w || !GetWindowRect(w, &r)) return RECT{};
        MapWindowPoints(nullptr, toolbar, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    static bool visible(HWND w) { return w && (GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE) != 0; }

    WindowOptions options_;
    HWND frame_ = nullptr;
    HWND area_ = nullptr;
    HWND page_ = nullptr;
    int area_height_ = 0;
    HBITMAP page_image_ = nullptr;
    SIZE page_size_{};
    ComPtr<WebBrowser> browser_;
    ComPtr<BandSite> site_;
    std::unique_ptr<BrowserEngine> engine_;
    std::vector<Band> bands_;
    std::mutex pending_mutex_;
    std::deque<NavigationRequest> pending_;
    bool closed_ = false;
};

namespace {

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_HOST_NAVIGATE || msg == WM_HOST_ENGINE) {
        if (auto* core = reinterpret_cast<BrowserWindow::Core*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
            if (msg == WM_HOST_NAVIGATE) core->process_navigations();
            else core->engine_wake();
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK page_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_PAINT) {
        auto* core = reinterpret_cast<BrowserWindow::Core*>(GetWindowLongPtrW(GetParent(hwnd), GWLP_USERDATA));
        if (core) {
            core->paint_page(hwnd);
            return 0;
        }
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

struct BrowserWindow::Thread {
    std::thread thread;
    DWORD id = 0;
    bool open = false;
    bool has_toolbar = false;
    std::vector<std::string> problems;
};

std::unique_ptr<BrowserWindow> BrowserWindow::open(const WindowOptions& options, EngineFactory& engines,
                                                   std::string* error) {
    std::unique_ptr<BrowserWindow> window(new BrowserWindow());
    window->thread_ = std::make_unique<Thread>();
    Thread* t = window->thread_.get();
    std::promise<std::string> ready;
    std::future<std::string> started = ready.get_future();
    t->thread = std::thread(&BrowserWindow::thread_main, t, options, &engines, std::move(ready));
    std::string why = started.get();
    if (!why.empty()) {
        t->thread.join();
        if (error) *error = why;
        return nullptr;
    }
    t->open = true;
    return window;
}

// The window's thread: its windows, toolbars and message loop live and die here.
void BrowserWindow::thread_main(Thread* t, WindowOptions options, EngineFactory* engines,
                                std::promise<std::string> ready) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        Core core;
        std::string why;
        if (!core.create(options, *engines, &why)) {
            ready.set_value(why.empty() ? "cannot create the window" : why);
        } else {
            core.load_toolbars();
            t->problems = core.problems_;
            t->has_toolbar = core.has_toolbar();
            t->id = GetCurrentThreadId();
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts
            ready.set_value(std::string());
            while (GetMessageW(&m, nullptr, 0, 0) > 0) {
                if (!m.hwnd && m.message == WM_HOST_TASK) {
                    auto* task = reinterpret_cast<Task*>(m.lParam);
                    (*task->fn)(core);
                    core.drain();
                    task->done.set_value();
                    continue;
                }
                TranslateMessage(&m);
                DispatchMessageW(&m);
            }
            core.close();
            core.drain();
        }
    }
    CoUninitialize();
}

BrowserWindow::~BrowserWindow() { close(); }

void BrowserWindow::run(const std::function<void(Core&)>& fn) {
    if (!thread_ || !thread_->open) return;
    Task task{&fn, {}};
    std::future<void> done = task.done.get_future();
    if (!PostThreadMessageW(thread_->id, WM_HOST_TASK, 0, reinterpret_cast<LPARAM>(&task))) return;
    done.get();
}

std::vector<std::string> BrowserWindow::toolbar_problems() const { return thread_ ? thread_->problems : std::vector<std::string>{}; }
bool BrowserWindow::has_toolbar() const { return thread_ && thread_->has_toolbar; }
bool BrowserWindow::is_open() const { return thread_ && thread_->open; }

bool BrowserWindow::open_url(const std::string& typed, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.open_typed(typed, error) && c.settle(error); });
    return ok;
}

bool BrowserWindow::pump() {
    bool empty = true;
    run([&](Core& c) {
        c.drain();
        empty = c.queue_empty() && c.idle();
    });
    return empty;
}

std::string BrowserWindow::engine_failure() {
    std::string why;
    run([&](Core& c) { why = c.engine_failure(); });
    return why;
}

std::string BrowserWindow::location() {
    std::string url;
    run([&](Core& c) { url = c.location(); });
    return url;
}

FieldsReport BrowserWindow::fields() {
    FieldsReport r;
    run([&](Core& c) { r = c.fields(); });
    return r;
}

std::optional<ToolbarReport> BrowserWindow::toolbar() {
    std::optional<ToolbarReport> r;
    run([&](Core& c) { r = c.toolbar(); });
    return r;
}

bool BrowserWindow::click(BandControl control, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.click(control, error) && c.settle(error); });
    return ok;
}

bool BrowserWindow::click_at(int x, int y, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.click_at(POINT{x, y}, error) && c.settle(error); });
    return ok;
}

bool BrowserWindow::set_field(const std::string& field, const std::string& text, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.set_field(field, text, error) && c.settle(error); });
    return ok;
}

bool BrowserWindow::has_field(const std::string& field, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.has_field(field, error); });
    return ok;
}

bool BrowserWindow::submit(const std::string& field, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.submit(field, error) && c.settle(error); });
    return ok;
}

bool BrowserWindow::snapshot(const std::string& path, std::string* error) {
    bool ok = false;
    run([&](Core& c) { ok = c.snapshot(path, error); });
    return ok;
}

void BrowserWindow::close() {
    if (!thread_ || !thread_->open) return;
    run([](Core& c) { c.close(); });
    thread_->open = false;
    if (thread_->thread.joinable()) thread_->thread.join();
}

void release_unused_servers() { CoFreeUnusedLibraries(); }

}  // namespace bf::host
