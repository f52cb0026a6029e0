#include "soap/brackenfold_proxy.h"

#include "platform/text.h"

namespace Brackenfold {

const std::u16string& serviceEndpoint() {
    static const std::u16string endpoint =
        bf::to_utf16("http://" + bf::soap::service_host() + "/brackenfoldws/brackenfold.asmx");
    return endpoint;
}

const std::u16string& newPageActionLine() {
    static const std::u16string line = u"SOAPAction: \"" + bf::soap::service_namespace_wide() + u"/NewPage\"\r\n";
    return line;
}

const std::u16string& getNewAliasEmailForSiteActionLine() {
    static const std::u16string line =
        u"SOAPAction: \"" + bf::soap::service_namespace_wide() + u"/GetNewAliasEmailForSite\"\r\n";
    return line;
}

// The proxy over the real socket is built once, here, for every user of it.
template class CBrackenfoldT<bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>>;

}  // namespace Brackenfold

template class bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>;
