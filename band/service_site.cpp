#include "band/service_site.h"

#include <stringapiset.h>
#include <processthreadsapi.h>
#include "soap/deployment.h"

namespace Brackenfold {

const std::u16string& ServiceSitePrefix() {
    static const bf::ProcessConstant<std::u16string> prefix(u"http://www." + bf::to_utf16(bf::soap::service_domain()));
    return prefix.get();
}

const std::u16string& ServiceSiteKey() {
    static const bf::ProcessConstant<std::u16string> key(u"http://" + bf::to_utf16(bf::soap::service_domain()));
    return key.get();
}

const std::u16string& LoginPageUrl() {
    static const bf::ProcessConstant<std::u16string> url(ServiceSitePrefix() + u"/login.aspx");
    return url.get();
}

bool IsServiceSiteUrl(std::u16string_view url) {
    const std::u16string& prefix = ServiceSitePrefix();
    if (url.substr(0, prefix.size()) != prefix) return false;
    if (url.size() == prefix.size()) return true;
    char16_t next = url[prefix.size()];
    return next == u'/' || next == u'?' || next == u'#' || next == u':';
}

}  // namespace Brackenfold
