#include "soap/brackenfold_proxy.h"

#include <stringapiset.h>
#include <processthreadsapi.h>

namespace Brackenfold {

const std::u16string& serviceEndpoint() {
    static const bf::ProcessConstant<std::u16string> endpoint(
        bf::to_utf16("http://" + bf::soap::service_host() + "/brackenfoldws/brackenfold.asmx"));
    return endpoint.get();
}

const std::u16string& newPageActionLine() {
    static const bf::ProcessConstant<std::u16string> line(u"SOAPAction: \"" + bf::soap::service_namespace_wide() +
                                                         u"/NewPage\"\r\n");
    return line.get();
}

const std::u16string& getNewAliasEmailForSiteActionLine() {
    static const bf::ProcessConstant<std::u16string> line(u"SOAPAction: \"" + bf::soap::service_namespace_wide() +
                                                         u"/GetNewAliasEmailForSite\"\r\n");
    return line.get();
}

// The proxy over the real socket is built once, here, for every user of it.
template class CBrackenfoldT<bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>>;

}  // namespace Brackenfold

template class bf::soap::CSoapSocketClientT<bf::http::CEvtSyncSocket>;
