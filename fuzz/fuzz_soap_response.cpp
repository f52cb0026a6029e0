// Fuzzes the response parser in client mode (NewPage or GetNewAliasEmailForSite) and the service
// side's request parser and response writer. The same document cut into other pieces must give
// the same outcome: a value must never depend on where the reader cut its text.
#include <cstdlib>

#include "fuzz_input.h"
#include "soap/brackenfold_handler.h"
#include "soap/buffer_stream.h"
#include "soap/result_json.h"

namespace {

ComPtr<bf::soap::CBufferStream> stream(const FuzzInput& in, bool cut) {
    auto s = bf::make_com<bf::soap::CBufferStream>(in.document);
    if (cut) s->setChunks(in.chunks);
    return s;
}

std::string decode(const FuzzInput& in, bool cut, HRESULT* hr) {
    Brackenfold::CBrackenfoldRootHandler handler;
    std::string json;
    if (in.mode & 1) {
        Brackenfold::Ret r{};
        *hr = handler.ReadGetNewAliasEmailForSiteResponse(stream(in, cut).get(), &r);
        if (SUCCEEDED(*hr)) json = Brackenfold::toJson(r);
        Brackenfold::releaseResult(&r);
    } else {
        Brackenfold::Combo r{};
        *hr = handler.ReadNewPageResponse(stream(in, cut).get(), &r);
        if (SUCCEEDED(*hr)) json = Brackenfold::toJson(r);
        Brackenfold::releaseResult(&r);
    }
    return json;
}

// The service side answers every operation with something to write.
class Service final : public Brackenfold::CBrackenfoldRootHandler {
public:
    Service() : CBrackenfoldRootHandler(nullptr, false) {}
    HRESULT invokeOperation(int index, void* record) override {
        if (index == Brackenfold::NewPageOperation) {
            auto* p = static_cast<Brackenfold::NewPageParams*>(record);
            p->NewPageResult.Alias = SysAllocString(p->AccountID ? p->AccountID : u"");
            p->NewPageResult.intRet = static_cast<int>(p->Version);
            return p->NewPageResult.Alias ? S_OK : E_OUTOFMEMORY;
        }
        if (index == Brackenfold::GetNewAliasEmailForSiteOperation) {
            auto* p = static_cast<Brackenfold::GetNewAliasEmailForSiteParams*>(record);
            p->GetNewAliasEmailForSiteResult.strRet = SysAllocString(p->DomainName ? p->DomainName : u"");
            return p->GetNewAliasEmailForSiteResult.strRet ? S_OK : E_OUTOFMEMORY;
        }
        return S_OK;
    }
};

std::string serve(const FuzzInput& in, bool cut, HRESULT* hr) {
    Service service;
    bf::soap::CStringWriteStream out;
    *hr = service.dispatchRequest(stream(in, cut).get(), &out);
    return out.text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in;
    if (!in.read(data, size)) return 0;
    HRESULT whole = S_OK, cut = S_OK;
    std::string a, b;
    if (in.mode & 2) {
        a = serve(in, false, &whole);
        b = serve(in, true, &cut);
    } else {
        a = decode(in, false, &whole);
        b = decode(in, true, &cut);
    }
    if (SUCCEEDED(whole) != SUCCEEDED(cut) || a != b) std::abort();
    return 0;
}
