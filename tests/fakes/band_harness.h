// A browser window with the band in it, for the band and toolbar tests: a top-level window as the
// band site's window, a fake browser, the band object created and sited as the browser does it,
// and the toolbar's six controls found by class and place.
#pragma once

#include <memory>
#include <string>

#include "band/brackenfold_toolbar.h"
#include "tests/fakes/fake_browser.h"

namespace fakes {

struct ToolbarWindows {
    HWND toolbar = nullptr;
    HWND rating = nullptr;
    HWND separator = nullptr;
    HWND status = nullptr;
    HWND login = nullptr;
    HWND name = nullptr;
    HWND ad = nullptr;
};

// The controls of a toolbar window.
ToolbarWindows FindToolbarWindows(HWND toolbar);
// A window's rectangle in its parent's client coordinates.
RECT RectInParent(HWND window);

class BandHarness {
public:
    // Creates the site window, the browser and the band; sites the band unless told otherwise.
    explicit BandHarness(bool site = true);
    ~BandHarness();
    BandHarness(const BandHarness&) = delete;
    BandHarness& operator=(const BandHarness&) = delete;

    HRESULT Site();
    // Unsites, closes and lets every reference go, then runs what is still queued.
    void Close();

    ComPtr<IObjectWithSite> objectWithSite;
    ComPtr<IDeskBand> deskBand;
    ComPtr<IDispatch> events;
    ComPtr<FakeBrowser> browser;
    ComPtr<FakeSite> site;
    HWND frame = nullptr;
    ToolbarWindows w;

    std::u16string Status() const { return TextOf(w.status); }
    // As the browser does: the band window moves into the toolbar area and is shown.
    void Show();
    // Moves the top-level page, lets its lookup finish and completes its document, running the
    // messages in between.
    void Visit(const std::u16string& url, ComPtr<FakeDocument> page = nullptr);
};

// The toolbar window on its own, created as the band object creates it.
class ToolbarHarness {
public:
    ToolbarHarness();
    ~ToolbarHarness();
    ToolbarHarness(const ToolbarHarness&) = delete;
    ToolbarHarness& operator=(const ToolbarHarness&) = delete;

    // Sets the status code and lets the status box handle WM_REFRESH_STATUS.
    void Refresh(const std::u16string& statusCode);
    std::u16string Status() const { return TextOf(w.status); }

    HWND frame = nullptr;
    ComPtr<FakeBrowser> browser;
    std::unique_ptr<Brackenfold::CBandToolBarCtrl> toolbar;
    ToolbarWindows w;
};

}  // namespace fakes
