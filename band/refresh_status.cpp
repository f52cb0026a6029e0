// RefreshStatusAndFill: the status box text from the status code and, for an alias address, the
// page's empty e-mail fields.
#include "band/page_document.h"
#include "toolbar/band_tool_bar_ctrl.h"

namespace Brackenfold {

void CBandToolBarCtrl::RefreshStatusAndFill(IWebBrowser2* browser) {
    HWND status = m_statusBox.hwnd();
    const char16_t* text = nullptr;
    if (m_statusCode.empty()) {
        // Logged in with nothing known yet: the box keeps what it shows ("Waiting on Site Load...").
        if (m_loggedIn) return;
        text = u"Please Login";
    } else if (m_statusCode == u"bf") {
        text = u"Welcome to Bracken Fold";
    } else if (m_statusCode == u"su") {
        text = u"Service Unavailable/Invalid Site";
    } else if (m_statusCode == u"cfe") {
        text = u"Click for Alias Email...";
    }
    if (text) {
        SetWindowTextW(status, text);
        InvalidateRect(status, nullptr, TRUE);
        return;
    }
    // Any other code is the alias address for the current site.
    std::u16string address = m_statusCode;
    SetWindowTextW(status, address.c_str());
    InvalidateRect(status, nullptr, TRUE);
    FillEmailFields(browser, address);
}

}  // namespace Brackenfold
