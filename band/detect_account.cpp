// Account detection on the service's own pages: two hidden INPUT elements carry the signed-in
// account's id and user name.
#include "band/account_settings.h"
#include "band/brackenfold_toolbar.h"
#include "band/page_document.h"

namespace Brackenfold {
namespace {

constexpr char16_t kAccountElementId[] = u"MARROWDENE2007QUILT";
constexpr char16_t kUserNameElementId[] = u"MARROWDENE2007QUILT_UN";

}  // namespace

void DetectAccount(CBandToolBarCtrl& toolbar, IWebBrowser2* browser) {
    PageDocument page;
    if (!page.Open(browser)) return;
    SetWindowTextW(toolbar.StatusBoxWindow(), u"Welcome to Bracken Fold");
    toolbar.SetStatusCode(u"");
    for (LONG i = 0; i < page.Count(); ++i) {
        ComPtr<IDispatch> item = page.Item(i);
        if (!item) continue;
        ComPtr<IHTMLInputElement> input = item.as<IHTMLInputElement>();
        ComPtr<IHTMLElement> element = item.as<IHTMLElement>();
        if (!input || !element) continue;
        // Hidden inputs count: the element's type is not looked at.
        std::u16string id = ReadElementId(element.get());
        if (id == kAccountElementId) {
            std::u16string value = ReadInputString(input.get(), &IHTMLInputElement::get_value);
            if (!value.empty()) {
                SaveAccountId(value);
                toolbar.RefreshLoginState();
            }
        }
        if (id == kUserNameElementId) {
            std::u16string value = ReadInputString(input.get(), &IHTMLInputElement::get_value);
            if (!value.empty()) {
                SaveAccountUserName(value);
                SetWindowTextW(toolbar.StatusBoxWindow(), (u"Welcome " + value).c_str());
                toolbar.SetNameLabel(value);
                toolbar.RefreshLoginState();
                InvalidateRect(toolbar.NameLabelWindow(), nullptr, TRUE);
                InvalidateRect(toolbar.AdLabelWindow(), nullptr, TRUE);
            }
        }
    }
}

}  // namespace Brackenfold
