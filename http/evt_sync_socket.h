// CEvtSyncSocket: the one TCP connection under the HTTP client. Every blocking step (name lookup,
// connect, a whole send, one receive) gives up after the time-out; failures are booleans with the
// cause recorded as a socket error number (http/winsock.h). Non-blocking descriptor plus poll; a
// closed peer never raises a signal.
#pragma once

#include <atomic>
#include <mutex>

#include <sys/socket.h>

#include "http/winsock.h"

namespace bf::http {

class CEvtSyncSocket {
public:
    CEvtSyncSocket();
    CEvtSyncSocket(const CEvtSyncSocket&) = delete;
    CEvtSyncSocket& operator=(const CEvtSyncSocket&) = delete;
    ~CEvtSyncSocket();

    void SetTimeout(DWORD milliseconds) { m_timeoutMs.store(milliseconds, std::memory_order_relaxed); }
    DWORD Timeout() const { return m_timeoutMs.load(std::memory_order_relaxed); }

    // Resolves and connects to the first address found. True at once when already connected,
    // whatever host is asked for. A failed attempt closes the socket, so the next one starts clean.
    bool ConnectTo(const WCHAR* hostName, unsigned short port);
    bool ConnectAddress(const sockaddr* address, socklen_t length);
    bool OpenSocket(int family, int type, int protocol, DWORD extraFlags = 0);
    // Takes over a descriptor (made non-blocking here). The object closes it.
    bool Attach(int socket);

    // Sends every byte of every buffer or fails; `sent` receives the bytes that went out.
    bool Send(const WSABUF* buffers, DWORD count, DWORD* sent);
    // Receives what is there, up to *length bytes, waiting for some if none is; *length becomes
    // the count received, 0 when the peer has closed the connection.
    bool Receive(BYTE* buffer, DWORD* length);

    void Disconnect();
    bool IsConnected() const { return m_connected.load(std::memory_order_acquire); }
    DWORD LastError() const { return m_lastError.load(std::memory_order_relaxed); }
    int Handle() const { return m_socket; }

private:
    void Record(DWORD error) { m_lastError.store(error, std::memory_order_relaxed); }
    void CloseHandle();
    void SetNoDelay();

    DWORD m_createFlags = 1;
    std::mutex m_readLock;
    std::mutex m_writeLock;
    int m_socket = -1;
    std::atomic<bool> m_connected{false};
    std::atomic<DWORD> m_lastError{0};
    std::atomic<DWORD> m_timeoutMs{10000};
    // Set by a send: the answer is not there yet, so the next receive waits before it reads.
    std::atomic<bool> m_answerPending{false};
};

// Undoes the start-up made by the first socket of the process, once; for module unload.
void EvtSyncSocketCleanup();

}  // namespace bf::http
