// The service's own web site as the component names it: the service site prefix
// ("http://www." + service domain), the service site key ("http://" + service domain), the login
// page and the test for a page of the service's own site. The domain is a deployment constant.
#pragma once

#include <string>
#include <string_view>

namespace Brackenfold {

const std::u16string& ServiceSitePrefix();
const std::u16string& ServiceSiteKey();
// ServiceSitePrefix() + "/login.aspx".
const std::u16string& LoginPageUrl();

// True only when the URL begins with the service site prefix followed by the end of the URL, "/",
// "?", "#" or ":". A page that merely mentions the prefix (in its query, say) is a foreign page and
// must never be trusted with the hidden account elements.
bool IsServiceSiteUrl(std::u16string_view url);

}  // namespace Brackenfold
