// Feeds the input to CHttpClientT as the server's side of the connection. The first byte picks
// the exchange's options, the next eight the sizes of successive receives (0: a receive that
// fails), the rest is what the server sends. Two exchanges run on one client, so the second sees
// whatever the first left behind.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "http/http_client.h"

namespace {

class FuzzSocket {
public:
    void Load(const std::uint8_t* pieces, const std::uint8_t* data, std::size_t size) {
        std::memcpy(m_pieces, pieces, sizeof m_pieces);
        m_data = data;
        m_size = size;
    }
    void SetTimeout(DWORD) {}
    bool IsConnected() const { return m_connected; }
    bool ConnectTo(const WCHAR* host, unsigned short) {
        if (!host) return false;
        m_connected = true;
        return true;
    }
    bool Send(const WSABUF* buffers, DWORD count, DWORD* sent) {
        *sent = 0;
        if (!m_connected) return false;
        for (DWORD i = 0; i < count; ++i) {
            // Touch every byte: a buffer that runs past its end shows up here.
            volatile char sink = 0;
            for (ULONG j = 0; j < buffers[i].len; ++j) sink = sink ^ buffers[i].buf[j];
            *sent += buffers[i].len;
        }
        return true;
    }
    bool Receive(BYTE* buffer, DWORD* length) {
        if (!m_connected) return false;
        const std::uint8_t piece = m_pieces[m_next++ % sizeof m_pieces];
        if (piece == 0 && m_pos < m_size) {
            m_lastError = WSAETIMEDOUT;
            return false;
        }
        std::size_t n = piece;
        if (n > *length) n = *length;
        if (n > m_size - m_pos) n = m_size - m_pos;
        std::memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        *length = static_cast<DWORD>(n);
        return true;
    }
    void Disconnect() { m_connected = false; }
    DWORD LastError() const { return m_lastError; }

private:
    std::uint8_t m_pieces[8] = {};
    std::size_t m_next = 0;
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_pos = 0;
    bool m_connected = false;
    DWORD m_lastError = 0;
};

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
