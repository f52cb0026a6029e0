// CSocketAddress: resolves a host name and a service (port) into an address list.
#pragma once

#include <netdb.h>

#include <memory>

#include <windef.h>

namespace bf::http {

class CSocketAddress {
public:
    CSocketAddress() = default;
    CSocketAddress(const CSocketAddress&) = delete;
    CSocketAddress& operator=(const CSocketAddress&) = delete;
    virtual ~CSocketAddress() = default;

    // 0 on success, otherwise a socket error number: WSA_NOT_ENOUGH_MEMORY (8) when the host name
    // or service is missing or cannot be passed on as text, the resolver's error otherwise, and
    // WSAETIMEDOUT when a name lookup does not finish within timeoutMs (INFINITE: no bound).
    // Numeric addresses never wait. The previous list is freed first.
    int Resolve(const WCHAR* hostName, const WCHAR* service, int flags, int family, int sockType,
                int protocol, DWORD timeoutMs = INFINITE);
    int Resolve(const WCHAR* hostName, unsigned short port, int flags, int family, int sockType,
                int protocol, DWORD timeoutMs = INFINITE);

    // The list of the last successful resolution, null when there is none.
    const addrinfo* Addresses() const { return m_list.get(); }

private:
    struct FreeList {
        void operator()(addrinfo* p) const { freeaddrinfo(p); }
    };
    std::unique_ptr<addrinfo, FreeList> m_list;
};

}  // namespace bf::http
