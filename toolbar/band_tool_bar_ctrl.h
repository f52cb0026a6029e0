// CBandToolBarCtrl: the toolbar window the band object places in the browser's toolbar area, a
// superclass of the platform toolbar control inside a reflecting host, with six children left to
// right: rating label, separator line, status box, login button, name label, advertisement label.
// It owns the status model (the status code and the logged-in flag), the private messages by which
// work reaches its thread, and the page lookups it starts. Everything here runs on the thread that
// created the window, the browser window's thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <wrl/client.h>
#include <exdisp.h>
#include <wingdi.h>
#include "runtime/window.h"
#include "toolbar/band_messages.h"
#include "toolbar/bevel_line.h"
#include "toolbar/image_label.h"

namespace Brackenfold {

class LookupChannel;

class CBandToolBarCtrl : public bf::rt::ReflectedWindowImpl<CBandToolBarCtrl, bf::rt::ControlTraits> {
public:
    BF_WINDOW_SUPERCLASS(u"BrackenfoldBandToolBar", TOOLBARCLASSNAMEW)

    BF_BEGIN_MSG_MAP(CBandToolBarCtrl)
        BF_MESSAGE_HANDLER(WM_COMMAND, OnCommand)
        BF_MESSAGE_HANDLER(WM_NCDESTROY, OnNcDestroy)
        BF_MESSAGE_HANDLER(WM_LOOKUP_DONE, OnLookupDone)
    BF_ALT_MSG_MAP(1)  // name label
        BF_MESSAGE_HANDLER(WM_ERASEBKGND, OnNameLabelEraseBackground)
        BF_MESSAGE_HANDLER(WM_PAINT, PaintNameLabel)
        BF_MESSAGE_HANDLER(WM_UPDATEUISTATE, OnNameLabelUpdateUiState)
    BF_ALT_MSG_MAP(2)  // status box
        BF_MESSAGE_HANDLER(WM_LBUTTONDOWN, RequestAlias)
        BF_MESSAGE_HANDLER(WM_REFRESH_STATUS, OnRefreshStatus)
    BF_END_MSG_MAP()

    CBandToolBarCtrl();
    ~CBandToolBarCtrl() override;

    // Creates the host window, the toolbar window and its six controls, then shows the login
    // state. The band object checks WindowHandle() afterwards.
    void Create(IWebBrowser2* browser, HWND parent, DWORD style, DWORD exStyle, UINT id);

    HWND WindowHandle() const { return hwnd(); }
    HWND StatusBoxWindow() const { return m_statusBox.hwnd(); }
    HWND NameLabelWindow() const { return m_nameLabel.hwnd(); }
    HWND LoginButtonWindow() const { return m_loginButton; }
    HWND RatingLabelWindow() const { return m_ratingLabel.hwnd(); }
    HWND AdLabelWindow() const { return m_adLabel.hwnd(); }
    HWND SeparatorWindow() const { return m_separator.hwnd(); }
    HFONT ToolbarFont() const { return m_toolbarFont; }
    const CImageLabel& RatingLabel() const { return m_ratingLabel; }
    const CImageLabel& AdLabel() const { return m_adLabel; }

    // Status model.
    const std::u16string& StatusCode() const { return m_statusCode; }
    void SetStatusCode(std::u16string code) { m_statusCode = std::move(code); }
    int LoggedIn() const { return m_loggedIn; }

    // "http://" + the lower-cased last two (or three, when those are short) labels of the host.
    static std::u16string GetSiteKey(std::u16string_view url);

    // Puts `text` into the name label and lays the name and advertisement labels out again.
    void SetNameLabel(const std::u16string& text);
    // Status box text from the status code; for an address, fills the page's e-mail fields.
    void RefreshStatusAndFill(IWebBrowser2* browser);
    // Logged-in flag, status text, login button text and, when logged out, name label and rating.
    void RefreshLoginState();
    // Starts one page lookup worker for the site key; returns at once.
    void StartPageLookup(const std::u16string& siteKey);
    // Rating image 204 + rating (204 outside 1..10) and the rating page link for the site key.
    void SetRating(int rating, const std::u16string& siteKey);
    // Shows (adId != 0) or hides the advertisement label; loads the image from `bytes`.
    void ShowAdvertisement(int adId, const std::u16string& adUrl, const std::vector<BYTE>& bytes);

    LRESULT OnLoginButton(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT RequestAlias(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnLookupDone(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT PaintNameLabel(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);

private:
    LRESULT OnCommand(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnNcDestroy(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnNameLabelEraseBackground(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnNameLabelUpdateUiState(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnRefreshStatus(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    void SetStatusText(const char16_t* text);
    void CloseLookups();

    ComPtr<IWebBrowser2> m_browser;
    CImageLabel m_ratingLabel;
    CBevelLine m_separator;
    bf::rt::ContainedWindow m_statusBox;
    HFONT m_toolbarFont = nullptr;
    bf::rt::ContainedWindow m_nameLabel;
    HWND m_loginButton = nullptr;
    CImageLabel m_adLabel;
    std::u16string m_statusCode;
    int m_loggedIn = 0;

    // The lookups of the current window, and the site key of the one started last.
    std::shared_ptr<LookupChannel> m_lookups;
    std::u16string m_lookupSiteKey;
};

}  // namespace Brackenfold
