#include "http/socket_address.h"

#include <cerrno>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "http/winsock.h"
#include <stringapiset.h>
#include <processthreadsapi.h>

namespace bf::http {
namespace {

// A name lookup on a thread of its own, so that the caller can stop waiting for it. The block
// is shared: whichever of caller and thread lets go last frees it (and any late result).
struct PendingLookup {
    std::atomic<int> refs{2};
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::string host;
    std::string service;
    addrinfo hints{};
    addrinfo* result = nullptr;
    int rc = 0;
    int savedErrno = 0;
};

void Release(PendingLookup* p) {
    if (p->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (p->result) freeaddrinfo(p->result);
    delete p;
}

DWORD WINAPI LookupThread(LPVOID parameter) {
    auto* p = static_cast<PendingLookup*>(parameter);
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(p->host.c_str(), p->service.c_str(), &p->hints, &found);
    const int saved = errno;
    {
        std::lock_guard<std::mutex> guard(p->lock);
        p->result = found;
        p->rc = rc;
        p->savedErrno = saved;
        p->done = true;
    }
    p->finished.notify_all();
    Release(p);
    return 0;
}

int BoundedLookup(const std::string& host, const std::string& service, const addrinfo& hints,
                  DWORD timeoutMs, addrinfo** result) {
    auto* p = new PendingLookup;
    p->host = host;
    p->service = service;
    p->hints = hints;
    // A platform thread, so that a host waiting for the component to go idle waits for it too.
    HANDLE thread = CreateThread(nullptr, 0, LookupThread, p, 0, nullptr);
    if (!thread) {
        delete p;
        const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, result);
        return rc == 0 ? 0 : static_cast<int>(WsaErrorFromResolver(rc, errno));
    }
    CloseHandle(thread);
    int rc;
    int saved;
    {
        std::unique_lock<std::mutex> guard(p->lock);
        if (!p->finished.wait_for(guard, std::chrono::milliseconds(timeoutMs), [p] { return p->done; })) {
            guard.unlock();
            Release(p);
            return WSAETIMEDOUT;
        }
        *result = p->result;
        p->result = nullptr;
        rc = p->rc;
        saved = p->savedErrno;
    }
    Release(p);
    return rc == 0 ? 0 : static_cast<int>(WsaErrorFromResolver(rc, saved));
}

}  // namespace

int CSocketAddress::Resolve(const WCHAR* hostName, const WCHAR* service, int flags, int family,
                            int sockType, int protocol, DWORD timeoutMs) {
    m_list.reset();
    if (!hostName || !service) return WSA_NOT_ENOUGH_MEMORY;
    try {
        const std::string host = bf::to_utf8(hostName);
        const std::string serv = bf::to_utf8(service);
        addrinfo hints{};
        hints.ai_flags = flags;
        hints.ai_family = family;
        hints.ai_socktype = sockType;
        hints.ai_protocol = protocol;

        // A numeric address needs no lookup and so no waiting.
        addrinfo numeric = hints;
        numeric.ai_flags |= AI_NUMERICHOST;
        addrinfo* found = nullptr;
        int rc = getaddrinfo(host.c_str(), serv.c_str(), &numeric, &found);
        if (rc == 0) {
            m_list.reset(found);
            return 0;
        }
        if (rc != EAI_NONAME || (flags & AI_NUMERICHOST)) return static_cast<int>(WsaErrorFromResolver(rc, errno));

        if (timeoutMs == INFINITE) {
            rc = getaddrinfo(host.c_str(), serv.c_str(), &hints, &found);
            if (rc != 0) return static_cast<int>(WsaErrorFromResolver(rc, errno));
        } else {
            rc = BoundedLookup(host, serv, hints, timeoutMs, &found);
            if (rc != 0) return rc;
        }
        m_list.reset(found);
        return 0;
    } catch (const std::bad_alloc&) {
        return WSA_NOT_ENOUGH_MEMORY;
    }
}

int CSocketAddress::Resolve(const WCHAR* hostName, unsigned short port, int flags, int family,
                            int sockType, int protocol, DWORD timeoutMs) {
    const std::string digits = std::to_string(port);
    const std::u16string service(digits.begin(), digits.end());
    return Resolve(hostName, service.c_str(), flags, family, sockType, protocol, timeoutMs);
}

}  // namespace bf::http
