// CHttpClientT: a small HTTP/1.1 client over one connection of any socket type, one exchange at
// a time: request head and optional body out, one whole response (status, headers, body) in,
// status handling with redirects and authentication hand-off. The connection stays open for the
// next exchange unless the server closes it or the exchange fails.
//
// A hostile or broken server cannot hang the caller or exhaust its memory: a response larger
// than kMaxResponse or a header block that has not ended within kMaxHeaderBlock fails as a body
// read; one exchange, redirects included, fails once kDeadlineFactor times its time-out has
// passed; a chain of more than kMaxRedirects redirects fails.
//
// TSocket offers: SetTimeout(DWORD ms), IsConnected(), ConnectTo(const WCHAR* host, unsigned
// short port), Send(const WSABUF*, DWORD count, DWORD* sent), Receive(BYTE*, DWORD* length),
// Disconnect() and LastError(), with the contract of CEvtSyncSocket.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "http/ascii.h"
#include "http/byte_buffer.h"
#include "http/chunked_decoder.h"
#include "http/header_map.h"
#include "http/http_message.h"
#include "http/navigate_data.h"
#include "http/url.h"
#include "http/winsock.h"

namespace bf::http {

enum class ResponseReadResult : int {
    Ok = 0,
    StatusInvalid = 2,
    HeaderParseFailed = 3,
    SocketReadFailed = 4,
    BodyReadFailed = 5,
    ChunkedBodyReadFailed = 6,
    NotRead = 7,
};

// Answers an authentication challenge of one scheme; registered by scheme name.
class IHttpAuthHandler {
public:
    // `challenge` is the whole offered text; true when authentication succeeded.
    virtual bool Authenticate(std::u16string_view challenge, bool proxy) = 0;

protected:
    ~IHttpAuthHandler() = default;
};

// Helpers of the client that do not depend on the socket type (http_client.cpp).
namespace detail {
// True when the comma-separated list `value` holds `token` (ASCII case-insensitive).
bool HeaderListHas(std::u16string_view value, std::u16string_view token);
// True when the last coding of a Transfer-Encoding value is "chunked".
bool IsChunkedCoding(std::u16string_view value);
// Content-Length: the leading decimal digits; no digits read as 0; huge values saturate.
std::int64_t ParseContentLength(std::u16string_view value);
// Strips the brackets of an IPv6 literal for the resolver.
std::u16string HostForResolver(const std::u16string& hostName);
std::u16string_view TrimBlanks(std::u16string_view value);
// Milliseconds of a monotonic clock that is cheap to read (a few milliseconds coarse): the
// exchange deadline is checked before every receive, which may be a byte at a time.
inline std::uint64_t CoarseNowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}
}  // namespace detail

template <class TSocket>
class CHttpClientT {
public:
    static constexpr std::size_t kMaxResponse = std::size_t{16} << 20;
    static constexpr std::size_t kMaxHeaderBlock = std::size_t{256} << 10;
    static constexpr unsigned kMaxRedirects = 10;
    static constexpr unsigned kDeadlineFactor = 6;
    static constexpr DWORD kHeaderReadSize = 2048;
    static constexpr int kHeaderReadTries = 5;
    static constexpr std::size_t kLargeRead = std::size_t{256} << 10;

    CHttpClientT() = default;
    CHttpClientT(const CHttpClientT&) = delete;
    CHttpClientT& operator=(const CHttpClientT&) = delete;
    virtual ~CHttpClientT() { m_socket.Disconnect(); }

    // Asks the registered handlers, in the order the schemes were offered.
    virtual bool TryAuthenticate(bool proxy);
    virtual void OnCookieHeader(std::u16string_view value) { (void)value; }

    // One request and its response. True when a response was read and, with flag 0x2, its status
    // was accepted. With data null: GET, port 80, flags 0x0B, 10000 ms, 4096-byte blocks.
    bool Exchange(const Url* target, const NavigateData* data = nullptr);

    int StatusCode() const { return m_status; }
    ResponseReadResult LastReadResult() const { return m_lastRead; }
    bool FindHeader(std::u16string_view name, std::u16string& value) const { return m_headers.Find(name, value); }
    bool FindHeader(std::u16string_view name) const { return m_headers.Contains(name); }
    const HeaderMap& Headers() const { return m_headers; }
    const std::vector<std::u16string>& OfferedSchemes() const { return m_offeredSchemes; }
    const Url& CurrentUrl() const { return m_url; }

    // The raw response: every header block read, then the body.
    const ByteBuffer& ResponseBuffer() const { return m_response; }
    std::size_t HeaderBlockStart() const { return m_headerBlockStart; }
    std::size_t HeaderBlockSize() const { return m_headerBlockSize; }
    const BYTE* Body() const {
        return reinterpret_cast<const BYTE*>(m_response.Data()) + m_headerBlockStart + m_headerBlockSize;
    }
    DWORD BodyLength() const { return static_cast<DWORD>(m_bodyLength); }

    // Not owned; null removes the scheme.
    void AddAuthHandler(std::u16string_view scheme, IHttpAuthHandler* handler);

    void Disconnect() {
        m_socket.Disconnect();
        m_peerKnown = false;
    }
    // The socket's last error, or WSAETIMEDOUT when the exchange ran out of its total time.
    DWORD LastError() const { return m_deadlineExpired ? static_cast<DWORD>(WSAETIMEDOUT) : m_socket.LastError(); }
    // As LastError, but only for a socket step of the last exchange that failed: 0 when none did,
    // so an error left over from an earlier exchange is never reported again.
    DWORD ExchangeSocketError() const {
        return m_deadlineExpired ? static_cast<DWORD>(WSAETIMEDOUT) : m_exchangeSocketError;
    }
    TSocket& Socket() { return m_socket; }
    const TSocket& Socket() const { return m_socket; }

private:
    void ResetExchange();
    bool RunExchange(const Url& target, const NavigateData& data);
    bool SetTargetUrl(const Url& target, unsigned short fallbackPort);
    bool EnsureConnected();
    bool SendRequest(const std::string& head, const NavigateData& data);
    bool SendBuffers(WSABUF* buffers, DWORD count, DWORD& sent);
    bool ArmSocket();
    void NoteFailure();
    bool Stopped() const { return m_deadlineExpired || m_cancelled; }
    bool ReceiveSome(char* buffer, DWORD capacity, DWORD& received);
    ResponseReadResult ReadResponse();
    ResponseReadResult ReadResponseCore();
    bool ReadContent(std::int64_t contentLength);
    bool ReadChunkedContent();
    void DecodeHeaderLine(std::string_view line);
    bool ApplyStatus(DWORD flags);
    bool FollowRedirect();

    TSocket m_socket;
    HeaderMap m_headers;
    std::map<std::u16string, IHttpAuthHandler*, AsciiLessNoCase> m_authHandlers;
    std::vector<std::u16string> m_offeredSchemes;
    ByteBuffer m_response;
    Url m_url;
    std::u16string m_method;
    int m_status = -1;
    std::size_t m_bodyLength = 0;
    std::size_t m_headerBlockSize = 0;
    std::size_t m_headerBlockStart = 0;
    std::size_t m_scanPos = 0;  // end of the last header block found
    const NavigateData* m_data = nullptr;
    ResponseReadResult m_lastRead = ResponseReadResult::NotRead;

    // Where the connection we opened leads; a target elsewhere needs a new one.
    bool m_peerKnown = false;
    std::u16string m_peerHost;
    unsigned short m_peerPort = 0;

    DWORD m_timeoutMs = 10000;
    std::uint64_t m_deadline = 0;  // CoarseNowMs() at which the exchange gives up
    bool m_deadlineExpired = false;
    bool m_cancelled = false;
    DWORD m_exchangeSocketError = 0;
    std::size_t m_received = 0;  // bytes received for the current response
    std::size_t m_sentTotal = 0;
    ChunkedDecoder m_chunked;
};

template <class TSocket>
void CHttpClientT<TSocket>::AddAuthHandler(std::u16string_view scheme, IHttpAuthHandler* handler) {
    if (!handler) {
        auto it = m_authHandlers.find(scheme);
        if (it != m_authHandlers.end()) m_authHandlers.erase(it);
        return;
    }
    m_authHandlers[std::u16string(scheme)] = handler;
}

template <class TSocket>
bool CHttpClientT<TSocket>::TryAuthenticate(bool proxy) {
    // A handler may run an exchange of its own, which replaces the list.
    const std::vector<std::u16string> offered = m_offeredSchemes;
    for (const std::u16string& challenge : offered) {
        const std::u16string_view name = std::u16string_view(challenge).substr(0, challenge.find(u' '));
        auto it = m_authHandlers.find(name);
        if (it != m_authHandlers.end() && it->second->Authenticate(challenge, proxy)) return true;
    }
    return false;
}

template <class TSocket>
void CHttpClientT<TSocket>::ResetExchange() {
    m_headers.Clear();
    m_offeredSchemes.clear();
    m_response.Clear();
    m_url = Url();
    m_method.clear();
    m_status = -1;
    m_bodyLength = 0;
    m_headerBlockSize = 0;
    m_headerBlockStart = 0;
    m_scanPos = 0;
    m_data = nullptr;
    m_lastRead = ResponseReadResult::NotRead;
    m_deadlineExpired = false;
    m_cancelled = false;
    m_exchangeSocketError = 0;
    m_received = 0;
    m_sentTotal = 0;
}

template <class TSocket>
bool CHttpClientT<TSocket>::Exchange(const Url* target, const NavigateData* data) {
    static const NavigateData kDefaultData;
    bool ok = false;
    try {
        ResetExchange();
        if (!target) return false;
        const NavigateData& current = data ? *data : kDefaultData;
        m_data = &current;
        ok = RunExchange(*target, current);
    } catch (const std::bad_alloc&) {
        // Nothing can be said about the connection's state after a half-done step.
        Disconnect();
        ok = false;
    }
    m_data = nullptr;
    return ok;
}

template <class TSocket>
bool CHttpClientT<TSocket>::RunExchange(const Url& target, const NavigateData& data) {
    m_method = data.method ? data.method : u"";
    m_timeoutMs = data.timeoutMs ? data.timeoutMs : 10000;
    if (m_timeoutMs != INFINITE) m_deadline = detail::CoarseNowMs() + std::uint64_t{m_timeoutMs} * kDeadlineFactor;
    m_socket.SetTimeout(m_timeoutMs);
    if (data.flags & NAV_FLAG_CHUNK_CALLBACK) return false;
    if (data.bodyLength > 0 && !data.body) return false;
    if (data.body && (data.flags & NAV_FLAG_SEND_BLOCKS) && data.sendBlockSize == 0) return false;
    if (!SetTargetUrl(target, data.port)) return false;
    std::string head;
    if (!ComposeRequestHead(m_method, m_url, data, head)) return false;
    if (!EnsureConnected()) return false;
    if (!SendRequest(head, data) || ReadResponse() != ResponseReadResult::Ok ||
        ((data.flags & NAV_FLAG_APPLY_STATUS) && !ApplyStatus(data.flags))) {
        Disconnect();
        return false;
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SetTargetUrl(const Url& target, unsigned short fallbackPort) {
    if (target.scheme != URL_SCHEME_HTTP || target.hostName.empty()) return false;
    m_url = target;
    if (m_url.path.empty()) m_url.path = u"/";
    if (m_url.port == 0) m_url.port = fallbackPort;
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::EnsureConnected() {
    // A connection left open towards another host or port (after a redirect) is no use here.
    if (m_peerKnown && m_socket.IsConnected() && (m_peerHost != m_url.hostName || m_peerPort != m_url.port))
        Disconnect();
    if (m_socket.IsConnected()) return true;
    if (!ArmSocket()) return false;
    const std::u16string host = detail::HostForResolver(m_url.hostName);
    if (!m_socket.ConnectTo(host.c_str(), m_url.port)) {
        NoteFailure();
        return false;
    }
    m_peerKnown = true;
    m_peerHost = m_url.hostName;
    m_peerPort = m_url.port;
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ArmSocket() {
    if (m_cancelled) return false;
    if (m_timeoutMs == INFINITE) return true;
    const std::uint64_t now = detail::CoarseNowMs();
    if (now >= m_deadline) {
        m_deadlineExpired = true;
        return false;
    }
    // Each step gets the exchange's time-out, but never more than the exchange has left.
    m_socket.SetTimeout(static_cast<DWORD>(std::min<std::uint64_t>(m_deadline - now, m_timeoutMs)));
    return true;
}

template <class TSocket>
void CHttpClientT<TSocket>::NoteFailure() {
    m_exchangeSocketError = m_socket.LastError();
    if (m_timeoutMs != INFINITE && detail::CoarseNowMs() >= m_deadline) m_deadlineExpired = true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendBuffers(WSABUF* buffers, DWORD count, DWORD& sent) {
    sent = 0;
    if (!ArmSocket()) return false;
    if (!m_socket.Send(buffers, count, &sent)) {
        NoteFailure();
        return false;
    }
    m_sentTotal += sent;
    if (m_data->sendProgress && !m_data->sendProgress(static_cast<DWORD>(m_sentTotal), m_data->sendProgressParam)) {
        m_cancelled = true;
        return false;
    }
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::SendRequest(const std::string& head, const NavigateData& data) {
    m_sentTotal = 0;
    WSABUF buffers[2] = {{static_cast<ULONG>(head.size()), const_cast<char*>(head.data())},
                         {data.bodyLength, reinterpret_cast<char*>(const_cast<BYTE*>(data.body))}};
    const std::uint64_t expected = std::uint64_t{head.size()} + (data.body ? data.bodyLength : 0);
    DWORD sent = 0;
    if (!data.body) {
        if (!SendBuffers(buffers, 1, sent)) return false;
    } else if (data.flags & NAV_FLAG_SEND_BLOCKS) {
        // The head travels with the first block: one segment for a small request, not two.
        DWORD offset = std::min(data.sendBlockSize, data.bodyLength);
        buffers[1].len = offset;
        if (!SendBuffers(buffers, 2, sent) || sent != head.size() + offset) return false;
        while (offset < data.bodyLength) {
            const DWORD piece = std::min(data.sendBlockSize, data.bodyLength - offset);
            WSABUF block{piece, reinterpret_cast<char*>(const_cast<BYTE*>(data.body)) + offset};
            DWORD pieceSent = 0;
            if (!SendBuffers(&block, 1, pieceSent) || pieceSent != piece) return false;
            offset += piece;
        }
        return true;
    } else {
        if (!SendBuffers(buffers, 2, sent)) return false;
    }
    return sent == expected;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReceiveSome(char* buffer, DWORD capacity, DWORD& received) {
    received = 0;
    if (!ArmSocket()) return false;
    DWORD length = capacity;
    if (!m_socket.Receive(reinterpret_cast<BYTE*>(buffer), &length)) {
        NoteFailure();
        return false;
    }
    received = std::min(length, capacity);
    m_received += received;
    if (m_data && m_data->readProgress && !m_data->readProgress(static_cast<DWORD>(m_received), m_data->readProgressParam)) {
        m_cancelled = true;
        return false;
    }
    return true;
}

template <class TSocket>
ResponseReadResult CHttpClientT<TSocket>::ReadResponse() {
    m_lastRead = ReadResponseCore();
    return m_lastRead;
}

template <class TSocket>
ResponseReadResult CHttpClientT<TSocket>::ReadResponseCore() {
    m_response.Clear();
    m_scanPos = 0;
    m_received = 0;
    m_bodyLength = 0;
    std::size_t searchFrom = 0;
    for (;;) {
        m_headers.Clear();
        m_offeredSchemes.clear();
        m_status = -1;
        m_headerBlockStart = 0;
        m_headerBlockSize = 0;
        const std::size_t blockStart = m_scanPos;
        std::size_t blockEnd = 0;
        for (;;) {
            const std::string_view valid(m_response.Data(), m_response.Size());
            const std::size_t found = valid.find("\r\n\r\n", std::max(blockStart, searchFrom));
            if (found != std::string_view::npos) {
                blockEnd = found + 4;
                break;
            }
            // Only the last three bytes can begin a terminator that more bytes complete.
            searchFrom = valid.size() >= blockStart + 3 ? valid.size() - 3 : blockStart;
            if (valid.size() - blockStart >= kMaxHeaderBlock) return ResponseReadResult::BodyReadFailed;
            char* room = m_response.Prepare(kHeaderReadSize);
            DWORD got = 0;
            for (int tries = 0;;) {
                if (!ReceiveSome(room, kHeaderReadSize, got)) return ResponseReadResult::SocketReadFailed;
                if (got > 0) break;
                if (++tries == kHeaderReadTries) return ResponseReadResult::SocketReadFailed;
            }
            m_response.Commit(got);
            if (m_received > kMaxResponse) return ResponseReadResult::BodyReadFailed;
        }
        m_headerBlockStart = blockStart;
        m_headerBlockSize = blockEnd - blockStart;
        m_scanPos = blockEnd;
        searchFrom = blockEnd;
        const std::string_view block(m_response.Data() + blockStart, m_headerBlockSize);
        int status = -1;
        std::size_t headersBegin = 0;
        if (!ParseStatusLine(block, status, headersBegin)) return ResponseReadResult::StatusInvalid;
        m_status = status;
        // Interim responses (100 Continue, 103 Early Hints, ...) precede the real one.
        if (status >= 100 && status < 200 && status != 101) continue;
        HeaderLineReader lines(block.substr(headersBegin));
        std::string_view line;
        while (lines.Next(line)) DecodeHeaderLine(line);
        break;
    }

    const std::size_t bodyStart = m_scanPos;
    const std::u16string* transferEncoding = m_headers.Get(u"Transfer-Encoding");
    const bool noBody = m_status == 204 || m_status == 304 || m_method == u"HEAD";
    if (noBody) {
        // These responses end with their header block, whatever their headers say.
        if (m_response.Size() > bodyStart) {
            m_response.Truncate(bodyStart);
            Disconnect();
        }
    } else if (transferEncoding && detail::IsChunkedCoding(*transferEncoding)) {
        if (!ReadChunkedContent()) return ResponseReadResult::ChunkedBodyReadFailed;
    } else {
        const std::u16string* length = m_headers.Get(u"Content-Length");
        if (!ReadContent(length ? detail::ParseContentLength(*length) : -1)) return ResponseReadResult::BodyReadFailed;
    }
    const std::u16string* connection = m_headers.Get(u"Connection");
    if (connection && detail::HeaderListHas(*connection, u"close")) Disconnect();
    return ResponseReadResult::Ok;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReadContent(std::int64_t contentLength) {
    const DWORD block = m_data->readBlockSize ? m_data->readBlockSize : 2048;
    const std::size_t bodyStart = m_scanPos;
    if (contentLength < 0) {
        // No length: the body runs until the server closes, a receive fails or keeps coming
        // back empty. The connection cannot carry another response after that.
        for (int empty = 0; empty < 6;) {
            char* room = m_response.Prepare(block);
            DWORD got = 0;
            if (!ReceiveSome(room, block, got)) {
                if (Stopped()) return false;
                break;
            }
            m_response.Commit(got);
            if (m_received > kMaxResponse) return false;
            empty = got == 0 ? empty + 1 : 0;
        }
        m_bodyLength = m_response.Size() - bodyStart;
        Disconnect();
        return true;
    }
    if (static_cast<std::uint64_t>(contentLength) > kMaxResponse - std::min(bodyStart, kMaxResponse)) return false;
    const std::size_t wanted = static_cast<std::size_t>(contentLength);
    for (int empty = 0; m_response.Size() - bodyStart < wanted;) {
        // A large body is taken in large gulps: fewer receives, the same bytes.
        const std::size_t missing = wanted - (m_response.Size() - bodyStart);
        const DWORD size = static_cast<DWORD>(std::max<std::size_t>(block, std::min(missing, kLargeRead)));
        char* room = m_response.Prepare(size);
        DWORD got = 0;
        if (!ReceiveSome(room, size, got)) return false;
        m_response.Commit(got);
        if (m_received > kMaxResponse) return false;
        empty = got == 0 ? empty + 1 : 0;
        if (empty == 5) return false;
    }
    if (m_response.Size() - bodyStart > wanted) {
        // More than announced: the bytes belong to no response and the connection is out of step.
        m_response.Truncate(bodyStart + wanted);
        Disconnect();
    }
    m_bodyLength = wanted;
    return true;
}

template <class TSocket>
bool CHttpClientT<TSocket>::ReadChunkedContent() {
    struct Sink final : ChunkedDecoder::Sink {
        explicit Sink(CHttpClientT& c) : client(c) {}
        bool OnData(const char* data, std::size_t length) override {
            if (client.m_response.Size() + length > kMaxResponse) return false;
            client.m_response.Append(data, static_cast<std::ptrdiff_t>(length));
            return true;
        }
        void OnTrailer(std::string_view line) override { client.DecodeHeaderLine(line); }
        CHttpClientT& client;
    } sink(*this);

    const std::size_t bodyStart = m_scanPos;
    // The bytes already read after the header block are the start of the chunked stream.
    const std::string pending(m_response.Data() + bodyStart, m_response.Size() - bodyStart);
    m_response.Truncate(bodyStart);
    m_bodyLength = 0;
    m_chunked.Reset();
    std::size_t used = 0;
    ChunkedDecoder::Result result = m_chunked.Feed(pending.data(), pending.size(), used, sink);
    std::size_t leftover = pending.size() - used;
    char work[2048];
    while (result == ChunkedDecoder::Result::NeedMore) {
        DWORD got = 0;
        if (!ReceiveSome(work, sizeof work, got) || got == 0) return false;
        if (m_received > kMaxResponse) return false;
        result = m_chunked.Feed(work, got, used, sink);
        leftover = got - used;
    }
    if (result != ChunkedDecoder::Result::Done) return false;
    m_bodyLength = m_chunked.BodyLength();
    if (leftover > 0) Disconnect();  // bytes past the body: the connection is out of step
    return true;
}

template <class TSocket>
void CHttpClientT<TSocket>::DecodeHeaderLine(std::string_view line) {
    std::u16string name, value;
    if (ParseHeaderLine(line, name, value) != HeaderLineResult::Parsed) return;
    if (AsciiEqualNoCase(name, u"www-authenticate") || AsciiEqualNoCase(name, u"proxy-authenticate"))
        m_offeredSchemes.push_back(value);
    m_headers.Add(name, value);
    if (AsciiEqualNoCase(name, u"set-cookie")) OnCookieHeader(value);
}

template <class TSocket>
bool CHttpClientT<TSocket>::ApplyStatus(DWORD flags) {
    for (unsigned redirects = 0;;) {
        const int status = m_status;
        if ((status >= 200 && status <= 206) || status == 304 || status == 305) return true;
        if (status >= 301 && status <= 303) {
            if (!(flags & NAV_FLAG_FOLLOW_REDIRECTS)) return false;
            if (!m_headers.Contains(u"Location")) return true;
            if (redirects == kMaxRedirects) return false;
            ++redirects;
            if (!FollowRedirect()) return false;
            continue;
        }
        if (status == 401) return TryAuthenticate(false);
        if (status == 407) return TryAuthenticate(true);
        return false;
    }
}

template <class TSocket>
bool CHttpClientT<TSocket>::FollowRedirect() {
    const std::u16string location(detail::TrimBlanks(*m_headers.Get(u"Location")));
    Url next;
    if (!m_url.ResolveLocation(location, next) || !SetTargetUrl(next, m_url.port)) return false;
    std::string head;
    if (!ComposeRequestHead(m_method, m_url, *m_data, head)) return false;
    if (!EnsureConnected() || !SendRequest(head, *m_data)) return false;
    return ReadResponse() == ResponseReadResult::Ok;
}

}  // namespace bf::http
