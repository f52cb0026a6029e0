// Feeds the input to CHttpClientT as the server's side of the connection. The first byte picks
// the exchange's options, the next eight the sizes of successive receives (0: a receive that
// fails), the rest is what the server sends. Two exchanges run on one client, so the second sees
// whatever the first left behind.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_socket.h"
#include "http/http_client.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return 0;
    using namespace bf::http;
    CHttpClientT<FuzzSocket> client;
    client.Socket().Load(data + 1, data + 9, size - 9);

    static const char body[] = "<soap:Envelope/>";
    NavigateData nav;
    nav.method = (data[0] & 0x10) ? u"HEAD" : u"POST";
    nav.flags = data[0] & 0x0B;
    nav.contentType = u"text/xml; charset=utf-8";
    nav.extraHeaders = u"SOAPAction: \"urn:x\"\r\n";
    nav.body = reinterpret_cast<const BYTE*>(body);
    nav.bodyLength = sizeof body - 1;
    nav.readBlockSize = (data[0] & 0x20) ? 0 : 4096;
    nav.sendBlockSize = (data[0] & 0x40) ? 3 : 4096;

    Url target;
    if (!target.Parse(u"http://service.example:8731/svc/Service.asmx?x#f")) __builtin_trap();
    for (int round = 0; round < 2; ++round) {
        client.Exchange(&target, &nav);
        // Everything the client hands out must be readable.
        volatile unsigned sum = 0;
        const BYTE* bodyBytes = client.Body();
        for (DWORD i = 0; i <= client.BodyLength(); ++i) sum = sum + bodyBytes[i];
        if (client.LastReadResult() == ResponseReadResult::Ok && bodyBytes[client.BodyLength()] != 0) __builtin_trap();
        for (const auto& header : client.Headers()) sum = sum + static_cast<unsigned>(header.first.size() + header.second.size());
        std::u16string value;
        client.FindHeader(u"Content-Type", value);
        if (client.ResponseBuffer().Size() > CHttpClientT<FuzzSocket>::kMaxResponse + 4096) __builtin_trap();
    }
    return 0;
}
