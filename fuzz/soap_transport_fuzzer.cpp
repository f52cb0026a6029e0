// Feeds the input to the whole service proxy as the server's side of its connection: transport,
// status mapping, fault parse and response parse. The first byte picks the calls, the next eight
// the sizes of successive receives (0: a receive that fails), the rest is what the server sends.
// Three calls run on one proxy, so later ones see whatever earlier ones left behind.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "soap/brackenfold_proxy.h"

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
        // Once the input is used up there is no one to connect to.
        if (!host || m_pos == m_size) return false;
        m_connected = true;
        return true;
    }
    bool Send(const WSABUF* buffers, DWORD count, DWORD* sent) {
        *sent = 0;
        if (!m_connected) return false;
        for (DWORD i = 0; i < count; ++i) {
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
