#include "tests/fakes/band_harness.h"

#include <vector>

namespace fakes {
namespace {

struct Child {
    HWND hwnd;
    std::u16string cls;
    RECT rect;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM param) {
    auto* out = reinterpret_cast<std::vector<Child>*>(param);
    char16_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    out->push_back({hwnd, name, RectInParent(hwnd)});
    return TRUE;
}

}  // namespace

RECT RectInParent(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

ToolbarWindows FindToolbarWindows(HWND toolbar) {
    ToolbarWindows w;
    w.toolbar = toolbar;
    std::vector<Child> children;
    EnumChildWindows(toolbar, &Collect, reinterpret_cast<LPARAM>(&children));
    for (const Child& c : children) {
        if (GetParent(c.hwnd) != toolbar) continue;
        if (c.cls == u"EDIT") w.status = c.hwnd;
        else if (c.cls == u"BUTTON") w.login = c.hwnd;
        else if (c.cls == u"STATIC") w.name = c.hwnd;
        else if (c.cls == u"Brackenfold_BevelLine") w.separator = c.hwnd;
        else if (c.cls == u"Brackenfold_ImageLabel") (c.rect.left == 0 ? w.rating : w.ad) = c.hwnd;
    }
    return w;
}

BandHarness::BandHarness(bool site) {
    frame = CreateWindowExW(0, u"STATIC", u"browser", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 800, 100, nullptr, nullptr,
                            nullptr, nullptr);
    browser = ComPtr<FakeBrowser>::adopt(new FakeBrowser());
    this->site = ComPtr<FakeSite>::adopt(new FakeSite(frame, browser));
    Brackenfold::CBrackenfoldToolbar::CreateInstance(nullptr, IID_IObjectWithSite, objectWithSite.put_void());
    if (objectWithSite) {
        deskBand = objectWithSite.as<IDeskBand>();
        events = objectWithSite.as<IDispatch>();
    }
    if (site) Site();
}

HRESULT BandHarness::Site() {
    HRESULT hr = objectWithSite->SetSite(static_cast<IOleWindow*>(site.get()));
    HWND toolbar = nullptr;
    if (deskBand) deskBand->GetWindow(&toolbar);
    w = toolbar ? FindToolbarWindows(toolbar) : ToolbarWindows{};
    PumpPending();
    return hr;
}

void BandHarness::Close() {
    if (objectWithSite) {
        deskBand->CloseDW(0);
        objectWithSite->SetSite(nullptr);
    }
    events.reset();
    deskBand.reset();
    objectWithSite.reset();
    PumpPending();
}

BandHarness::~BandHarness() {
    Close();
    site.reset();
    browser.reset();
    if (frame) DestroyWindow(frame);
    PumpPending();
}

void BandHarness::Show() {
    SetParent(w.toolbar, frame);
    deskBand->ShowDW(TRUE);
    PumpPending();
}

ToolbarHarness::ToolbarHarness() {
    frame = CreateWindowExW(0, u"STATIC", u"browser", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 800, 100, nullptr, nullptr,
                            nullptr, nullptr);
    browser = ComPtr<FakeBrowser>::adopt(new FakeBrowser());
    toolbar = std::make_unique<Brackenfold::CBandToolBarCtrl>();
    toolbar->Create(browser.get(), frame, 0x4600094D, 0x80, 0xE800);
    w = FindToolbarWindows(toolbar->WindowHandle());
    SetParent(w.toolbar, frame);
    ShowWindow(w.toolbar, SW_SHOW);
    PumpPending();
}

ToolbarHarness::~ToolbarHarness() {
    toolbar.reset();
    PumpPending();
    if (frame) DestroyWindow(frame);
    PumpPending();
}

void ToolbarHarness::Refresh(const std::u16string& statusCode) {
    toolbar->SetStatusCode(statusCode);
    SendMessageW(w.status, WM_REFRESH_STATUS, 0, 0);
}

void BandHarness::Visit(const std::u16string& url, ComPtr<FakeDocument> page) {
    browser->NavigateTo(url, std::move(page));
    // The lookup ends before the document completes, so that the order of texts is fixed.
    bf::wait_platform_threads_idle(10000);
    PumpPending();
    browser->FireDocumentComplete();
    PumpPending();
}

}  // namespace fakes
