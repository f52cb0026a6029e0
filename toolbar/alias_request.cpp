// The alias command: a click into the status box asks the service for a new alias address for
// the page, or, when the box already shows an address, fills and selects it again.
#include <new>

#include "band/account_settings.h"
#include "soap/brackenfold_proxy.h"
#include "toolbar/band_tool_bar_ctrl.h"

namespace Brackenfold {

LRESULT CBandToolBarCtrl::RequestAlias(UINT, WPARAM, LPARAM, BOOL& handled) {
    handled = TRUE;  // the edit control never sees the click
    HWND status = m_statusBox.hwnd();
    try {
        if (m_statusBox.text().find(u'@') == std::u16string::npos) {
            std::u16string url;
            if (m_browser) {
                bf::BStr location;
                if (SUCCEEDED(m_browser->get_LocationURL(location.put()))) url.assign(location.view());
            }
            std::u16string account = GetAccountId();
            if (account.empty()) return 0;

            CBrackenfold proxy;
            bf::BStr accountId(account);
            bf::BStr domain(url);  // the full address, path and query included
            Ret ret{};
            if (FAILED(proxy.GetNewAliasEmailForSite(accountId.get(), domain.get(), &ret))) return 0;
            if (ret.intRet == 1) {
                m_statusCode = ret.strRet ? std::u16string(ret.strRet, SysStringLen(ret.strRet)) : std::u16string();
            } else {
                SetStatusText(u"Error. Try again later.");
                m_statusCode.clear();
            }
            releaseResult(&ret);
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    RefreshStatusAndFill(m_browser.get());
    SetFocus(status);
    SendMessageW(status, EM_SETSEL, 0, -1);
    SendMessageW(status, EM_SCROLLCARET, 0, 0);
    InvalidateRect(status, nullptr, TRUE);
    return 0;
}

}  // namespace Brackenfold
