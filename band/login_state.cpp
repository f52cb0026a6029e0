// The login state shown in the toolbar, and the login button.
#include "band/account_settings.h"
#include "band/service_site.h"
#include "toolbar/band_tool_bar_ctrl.h"

namespace Brackenfold {

void CBandToolBarCtrl::RefreshLoginState() {
    if (!GetAccountId().empty()) {
        m_loggedIn = 1;
        SetStatusText(u"You are logged in");
        SetWindowTextW(m_loginButton, u"Logout");
        return;
    }
    m_loggedIn = 0;
    SetStatusText(u"Please Login");
    SetWindowTextW(m_loginButton, u"Login");
    SetNameLabel(u"");
    SetRating(0, ServiceSiteKey());
}

LRESULT CBandToolBarCtrl::OnLoginButton(UINT, WPARAM, LPARAM lParam, BOOL&) {
    HWND control = reinterpret_cast<HWND>(lParam);
    if (!control || control != m_loginButton) return 0;
    if (!GetAccountId().empty()) {
        // Logging out is local: nothing goes to the service.
        SaveAccountId(u"");
        SaveAccountUserName(u"");
        RefreshLoginState();
        return 0;
    }
    if (!m_browser) return 0;
    BSTR url = SysAllocStringLen(LoginPageUrl().data(), static_cast<UINT>(LoginPageUrl().size()));
    if (!url) return 0;
    bf::Variant flags, target, postData, headers;
    m_browser->Navigate(url, &flags, &target, &postData, &headers);
    SysFreeString(url);
    return 0;
}

}  // namespace Brackenfold
