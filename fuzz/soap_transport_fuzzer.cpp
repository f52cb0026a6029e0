// Feeds the input to the whole service proxy as the server's side of its connection: transport,
// status mapping, fault parse and response parse. The first byte picks the calls, the next eight
// the sizes of successive receives (0: a receive that fails), the rest is what the server sends.
// Three calls run on one proxy, so later ones see whatever earlier ones left behind.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_socket.h"
#include "soap/brackenfold_proxy.h"

namespace {

using Proxy = Brackenfold::CBrackenfoldT<bf::soap::CSoapSocketClientT<FuzzSocket>>;

void Check(const Proxy& proxy, HRESULT hr) {
    const int error = proxy.GetClientError();
    if (SUCCEEDED(hr) != (error == bf::soap::SoapClientNoError)) __builtin_trap();
    if (proxy.HasFault() && error != bf::soap::SoapClientSoapFault) __builtin_trap();
    volatile std::size_t sum = proxy.Fault().faultString.size() + proxy.Fault().detail.size();
    (void)sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return 0;
    Proxy proxy(nullptr, u"http://service.example:8731/brackenfoldws/brackenfold.asmx");
    proxy.HttpClient().Socket().refuseOnceDrained = true;
    proxy.HttpClient().Socket().Load(data + 1, data + 9, size - 9);
    bf::BStr account(u"42"), domain(u"example.com");
    for (int call = 0; call < 3; ++call) {
        if ((data[0] >> call) & 1) {
            Brackenfold::Ret result{};
            const HRESULT hr = proxy.GetNewAliasEmailForSite(account.get(), nullptr, &result);
            Check(proxy, hr);
            if (FAILED(hr) && (result.strRet || result.intRet)) __builtin_trap();
            Brackenfold::releaseResult(&result);
        } else {
            Brackenfold::Combo result{};
            const HRESULT hr = proxy.NewPage(nullptr, domain.get(), 1, &result);
            Check(proxy, hr);
            if (FAILED(hr) && (result.Alias || result.ClsUpdate.AdBinary.data)) __builtin_trap();
            Brackenfold::releaseResult(&result);
        }
    }
    return 0;
}
