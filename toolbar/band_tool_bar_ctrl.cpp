#include "toolbar/band_tool_bar_ctrl.h"

#include "runtime/module.h"
#include "toolbar/page_lookup.h"

namespace Brackenfold {
namespace {

constexpr RECT kToolbarRect{0, 0, 200, 30};
constexpr RECT kRatingRect{0, 1, 200, 29};
constexpr RECT kSeparatorRect{200, 0, 203, 29};
constexpr RECT kStatusRect{205, 1, 455, 22};
constexpr RECT kLoginRect{457, 0, 507, 22};
constexpr RECT kNameRect{509, 1, 559, 22};
constexpr RECT kAdRect{561, 0, 661, 30};

constexpr DWORD kVisibleChild = WS_CHILD | WS_VISIBLE;
constexpr int kRatingImageEmpty = 204;
constexpr int kNameBufferSize = 256;
constexpr int kAdWidth = 100;

// Width of `text` in the device context's current font.
LONG TextWidth(HDC dc, const char16_t* text, int length) {
    SIZE size{0, 0};
    if (length > 0 && !GetTextExtentPoint32W(dc, text, length, &size)) return 0;
    return size.cx;
}

}  // namespace

CBandToolBarCtrl::CBandToolBarCtrl() : m_statusBox(u"EDIT", this, 2), m_nameLabel(u"STATIC", this, 1) {}

CBandToolBarCtrl::~CBandToolBarCtrl() {
    // The windows go first, so that no control still draws with the font deleted below.
    if (is_window()) destroy_detached();
    CloseLookups();
    if (m_toolbarFont) DeleteObject(m_toolbarFont);
    m_ratingLabel.DropImage();
    m_adLabel.DropImage();
}

void CBandToolBarCtrl::CloseLookups() {
    if (m_lookups) m_lookups->Close();
}

void CBandToolBarCtrl::Create(IWebBrowser2* browser, HWND parent, DWORD style, DWORD exStyle, UINT id) {
    m_loggedIn = 0;
    m_statusCode.clear();
    m_browser = browser;

    if (!create(parent, kToolbarRect, nullptr, style, exStyle, id)) return;
    m_lookups = std::make_shared<LookupChannel>(hwnd());

    auto rect = [](const RECT& r) { return r; };
    m_ratingLabel.create(hwnd(), rect(kRatingRect), nullptr, kVisibleChild, WS_EX_TRANSPARENT);
    m_ratingLabel.LoadPngResource(kRatingImageEmpty);
    m_ratingLabel.SetBrowser(browser);
    m_separator.create(hwnd(), rect(kSeparatorRect), nullptr, kVisibleChild, 0);
    m_statusBox.create(hwnd(), rect(kStatusRect), nullptr, kVisibleChild | ES_READONLY, WS_EX_CLIENTEDGE);
    HFONT windowFont = font();
    m_loginButton = CreateWindowExW(0, u"BUTTON", nullptr, kVisibleChild | BS_PUSHBUTTON, kLoginRect.left,
                                    kLoginRect.top, kLoginRect.right - kLoginRect.left,
                                    kLoginRect.bottom - kLoginRect.top, hwnd(), nullptr, bf::rt::module_instance(),
                                    nullptr);
    m_nameLabel.create(hwnd(), rect(kNameRect), nullptr, kVisibleChild | SS_SUNKEN | SS_CENTER, WS_EX_TRANSPARENT);
    m_adLabel.create(hwnd(), rect(kAdRect), nullptr, WS_CHILD, WS_EX_TRANSPARENT);
    m_adLabel.SetBrowser(browser);

    if (m_toolbarFont) {
        // A second Create after the window was closed: the old font goes.
        DeleteObject(m_toolbarFont);
        m_toolbarFont = nullptr;
    }
    if (windowFont) {
        LOGFONTW lf{};
        if (GetObjectW(windowFont, sizeof(lf), &lf)) {
            lf.lfHeight = static_cast<LONG>(lf.lfHeight * 0.95);
            m_toolbarFont = CreateFontIndirectW(&lf);
            if (m_toolbarFont) {
                m_statusBox.set_font(m_toolbarFont, TRUE);
                m_nameLabel.set_font(m_toolbarFont, TRUE);
            }
        }
    }
    RefreshLoginState();
}

std::u16string CBandToolBarCtrl::GetSiteKey(std::u16string_view url) {
    using size_type = std::u16string_view::size_type;
    const long long length = static_cast<long long>(url.size());
    size_type slashes = url.find(u"//");
    long long start = (slashes == std::u16string_view::npos ? -1 : static_cast<long long>(slashes)) + 2;
    long long end = -1;
    if (start >= 0 && start <= length) {
        size_type slash = url.find(u'/', static_cast<size_type>(start));
        end = slash == std::u16string_view::npos ? -1 : static_cast<long long>(slash);
    }
    std::u16string_view host;
    if (start <= length && end - start > 0) host = url.substr(static_cast<size_type>(start), static_cast<size_type>(end - start));

    size_type pos = 0;
    size_type d = host.rfind(u'.');
    if (d != std::u16string_view::npos) {
        std::u16string_view left = host.substr(0, d);
        size_type e = left.rfind(u'.');
        if (e != std::u16string_view::npos) pos = e + 1;
        // co.uk, com.au: two short labels take a third.
        if (host.size() - pos < 7) {
            std::u16string_view left2 = e == std::u16string_view::npos ? std::u16string_view() : host.substr(0, e);
            size_type f = left2.rfind(u'.');
            if (f != std::u16string_view::npos) pos = f + 1;
        }
    }
    std::u16string key = u"http://";
    for (char16_t c : host.substr(pos)) key += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    return key;
}

void CBandToolBarCtrl::SetNameLabel(const std::u16string& text) {
    HWND label = m_nameLabel.hwnd();
    HWND ad = m_adLabel.hwnd();
    if (!IsWindow(label)) return;
    ShowWindow(label, SW_HIDE);
    bool adVisible = ad && IsWindowVisible(ad);
    if (adVisible) ShowWindow(ad, SW_HIDE);

    // The window DC holds no font of ours: the context's default font measures.
    HDC dc = GetWindowDC(label);
    char16_t old[kNameBufferSize] = {};
    int oldLength = GetWindowTextW(label, old, kNameBufferSize);
    LONG oldWidth = dc ? TextWidth(dc, old, oldLength) : 0;
    LONG newWidth = dc ? TextWidth(dc, text.c_str(), static_cast<int>(text.size())) : 0;

    RECT r = m_nameLabel.rect_in_parent();
    if (oldWidth != 0)
        r.right = r.right + newWidth - oldWidth;
    else
        r.right = r.left + newWidth;

    SetWindowTextW(label, text.c_str());
    SetWindowPos(label, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
    if (ad) SetWindowPos(ad, nullptr, r.right + 2, r.top, kAdWidth, r.bottom - r.top, SWP_NOZORDER);

    if (adVisible) InvalidateRect(ad, nullptr, TRUE);
    ShowWindow(label, SW_SHOW);
    if (adVisible) ShowWindow(ad, SW_SHOW);
    if (dc) ReleaseDC(label, dc);
}

void CBandToolBarCtrl::SetStatusText(const char16_t* text) { SetWindowTextW(m_statusBox.hwnd(), text); }

LRESULT CBandToolBarCtrl::OnCommand(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    HWND control = reinterpret_cast<HWND>(lParam);
    if (control && control == m_loginButton) OnLoginButton(msg, wParam, lParam, handled);
    handled = TRUE;  // every command is consumed
    return 0;
}

LRESULT CBandToolBarCtrl::OnNcDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    // Answers posted from now on could never arrive: the channel frees them instead.
    CloseLookups();
    handled = FALSE;
    return 0;
}

LRESULT CBandToolBarCtrl::OnNameLabelEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }

LRESULT CBandToolBarCtrl::OnNameLabelUpdateUiState(UINT, WPARAM, LPARAM, BOOL&) {
    InvalidateRect(m_nameLabel.hwnd(), nullptr, TRUE);
    return 0;
}

LRESULT CBandToolBarCtrl::PaintNameLabel(UINT, WPARAM, LPARAM, BOOL&) {
    HWND label = m_nameLabel.hwnd();
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(label, &ps);
    if (!dc) return 0;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    // The toolbar window's own font, not the smaller toolbar font.
    HGDIOBJ oldFont = nullptr;
    if (HFONT windowFont = font()) oldFont = SelectObject(dc, windowFont);
    std::u16string text = m_nameLabel.text();
    if (!text.empty()) {
        DWORD style = static_cast<DWORD>(send(TB_GETSTYLE));
        UINT format = DT_LEFT;
        if (style & 0x1)
            format = DT_CENTER;
        else if (style & 0x2)
            format = DT_RIGHT;
        if (style & 0xB) format |= DT_VCENTER | DT_SINGLELINE;
        format |= DT_WORDBREAK;
        RECT client = m_nameLabel.client_rect();
        DrawTextW(dc, text.c_str(), -1, &client, format);
    }
    if (oldFont) SelectObject(dc, oldFont);
    EndPaint(label, &ps);
    return 0;
}

LRESULT CBandToolBarCtrl::OnRefreshStatus(UINT, WPARAM, LPARAM, BOOL&) {
    RefreshStatusAndFill(m_browser.get());
    return 0;
}

}  // namespace Brackenfold
