// The codec against its limits, in one run:
// - parsing a NewPageResponse of about 1 KB, and one carrying a 64 KiB advertisement, against
//   expat parsing the same bytes with empty callbacks;
// - writing a NewPage request against building the same bytes by plain string concatenation.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <string>

#include <oleauto.h>
#include <stringapiset.h>
#include "soap/brackenfold_handler.h"
#include "soap/buffer_stream.h"
#include "soap/deployment.h"
#include "soap/value_codec.h"

namespace {

std::string response(std::size_t adBytes, std::size_t padding) {
    std::string ad(adBytes, '\0');
    for (std::size_t i = 0; i < ad.size(); ++i) ad[i] = static_cast<char>(i * 131 + 7);
    std::string b64;
    bf::soap::appendBase64(b64, reinterpret_cast<const BYTE*>(ad.data()), ad.size());
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
           "<soap:Body><NewPageResponse xmlns=\"" +
           bf::soap::service_namespace() +
           "\"><NewPageResult><ClsUpdate><adID>1234</adID><Height>60</Height><Width>468</Width>"
           "<AdType>image/png</AdType><AdURL>http://ads.example.com/click?campaign=spring&amp;site=" +
           std::string(padding, 'x') + "</AdURL><AdBinary>" + b64 +
           "</AdBinary></ClsUpdate><Rating>7</Rating><intRet>0</intRet>"
           "<Alias>shop.example.com.7f3a@alias.brackenfold.example</Alias><Error>false</Error>"
           "</NewPageResult></NewPageResponse></soap:Body></soap:Envelope>";
}

const std::string& small() {
    static const std::string s = response(256, 290);
    return s;
}
const std::string& large() {
    static const std::string s = response(64 * 1024, 0);
    return s;
}

void parseCodec(benchmark::State& state, const std::string& bytes) {
    Brackenfold::CBrackenfoldRootHandler handler;
    auto stream = bf::make_com<bf::soap::CBufferStream>(bytes);
    for (auto _ : state) {
        LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        Brackenfold::Combo result{};
        if (FAILED(handler.ReadNewPageResponse(stream.get(), &result))) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(result.Rating);
        Brackenfold::releaseResult(&result);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["bytes"] = static_cast<double>(bytes.size());
}

void XMLCALL onStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL onEnd(void*, const XML_Char*) {}
void XMLCALL onText(void*, const XML_Char*, int) {}

void parseExpat(benchmark::State& state, const std::string& bytes) {
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreateNS(nullptr, '\x01');
        XML_SetElementHandler(p, onStart, onEnd);
        XML_SetCharacterDataHandler(p, onText);
        if (XML_Parse(p, bytes.data(), static_cast<int>(bytes.size()), 1) != XML_STATUS_OK)
            state.SkipWithError("expat failed");
        XML_ParserFree(p);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_ParseNewPage1KB(benchmark::State& state) { parseCodec(state, small()); }
void BM_ExpatLimit1KB(benchmark::State& state) { parseExpat(state, small()); }
void BM_ParseNewPage64KiBAd(benchmark::State& state) { parseCodec(state, large()); }
void BM_ExpatLimit64KiBAd(benchmark::State& state) { parseExpat(state, large()); }

const char16_t kAccount[] = u"5f0c2a9e-77b1-4c1e-9d8e-0a6c3f21b7d4";
const char16_t kDomain[] = u"http://shop.example.com";

void BM_WriteNewPage(benchmark::State& state) {
    Brackenfold::CBrackenfoldRootHandler handler;
    bf::BStr account(kAccount), domain(kDomain);
    bf::soap::CStringWriteStream out;
    for (auto _ : state) {
        out.text.clear();
        if (FAILED(handler.WriteNewPageRequest(&out, account.get(), domain.get(), 1.0)))
            state.SkipWithError("write failed");
        benchmark::DoNotOptimize(out.text.data());
    }
}

// The limit: the same bytes glued together with no tables, no escaping and no generators.
void BM_ConcatNewPageLimit(benchmark::State& state) {
    bf::BStr account(kAccount), domain(kDomain);
    const std::string& ns = bf::soap::service_namespace();
    std::string text;
    for (auto _ : state) {
        text.clear();
        text += "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body><NewPage xmlns=\"";
        text += ns;
        text += "\"><AccountID>";
        text += bf::to_utf8(account.view());
        text += "</AccountID><DomainName>";
        text += bf::to_utf8(domain.view());
        text += "</DomainName><Version>1</Version></NewPage></soap:Body></soap:Envelope>";
        benchmark::DoNotOptimize(text.data());
    }
}

BENCHMARK(BM_ParseNewPage1KB);
BENCHMARK(BM_ExpatLimit1KB);
BENCHMARK(BM_ParseNewPage64KiBAd);
BENCHMARK(BM_ExpatLimit64KiBAd);
BENCHMARK(BM_WriteNewPage);
BENCHMARK(BM_ConcatNewPageLimit);

}  // namespace

BENCHMARK_MAIN();
