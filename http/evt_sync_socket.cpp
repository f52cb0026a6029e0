#include "http/evt_sync_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "http/socket_address.h"

namespace bf::http {
namespace {

using Clock = std::chrono::steady_clock;

// Start-up status of the process: not 0 until start-up has succeeded, so later sockets retry.
std::mutex g_startupLock;
int g_startupStatus = WSAEFAULT;

struct Deadline {
    explicit Deadline(DWORD timeoutMs)
        : infinite(timeoutMs == INFINITE), end(Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs)) {}
    // Milliseconds left for poll, rounded up so that a wait never ends early; -1 waits forever.
    int PollMs() const {
        if (infinite) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
        if (left <= 0) return 0;
        const long long ms = (left + 999) / 1000;
        return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
    bool Passed() const { return !infinite && Clock::now() >= end; }
    bool infinite;
    Clock::time_point end;
};

// Waits until the descriptor is ready for `events` (or has an error to report). False with the
// cause: WSAETIMEDOUT when the deadline passes first.
bool WaitReady(int fd, short events, const Deadline& deadline, DWORD* error) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int ms = deadline.PollMs();
        const int r = poll(&p, 1, ms);
        if (r > 0) return true;
        if (r == 0) {
            if (ms != 0 && !deadline.Passed()) continue;
            *error = WSAETIMEDOUT;
            return false;
        }
        if (errno == EINTR) continue;
        *error = WsaErrorFromErrno(errno);
        return false;
    }
}

}  // namespace

CEvtSyncSocket::CEvtSyncSocket() {
    std::lock_guard<std::mutex> lock(g_startupLock);
    if (g_startupStatus != 0) {
        WSADATA data;
        g_startupStatus = WSAStartup(MAKEWORD(2, 0), &data);
    }
}

CEvtSyncSocket::~CEvtSyncSocket() { Disconnect(); }

void EvtSyncSocketCleanup() {
    std::lock_guard<std::mutex> lock(g_startupLock);
    if (g_startupStatus == 0) {
        WSACleanup();
        g_startupStatus = WSAEFAULT;
    }
}

bool CEvtSyncSocket::ConnectTo(const WCHAR* hostName, unsigned short port) {
    if (IsConnected()) return true;
    CSocketAddress address;
    const int rc = address.Resolve(hostName, port, 0, AF_UNSPEC, SOCK_STREAM, 0, Timeout());
    Record(static_cast<DWORD>(rc));
    if (rc != 0) return false;
    // Only the first address is tried, so the time-out bounds the whole connect.
    const addrinfo* first = address.Addresses();
    if (!first) {
        Record(WSANO_DATA);
        return false;
    }
    if (m_socket < 0 && !OpenSocket(first->ai_family, first->ai_socktype, first->ai_protocol)) return false;
    return ConnectAddress(first->ai_addr, first->ai_addrlen);
}

bool CEvtSyncSocket::ConnectAddress(const sockaddr* address, socklen_t length) {
    if (IsConnected()) return true;
    if (m_socket < 0) {
        Record(WSAENOTSOCK);
        return false;
    }
    if (!address) {
        Record(WSAEFAULT);
        return false;
    }
    const Deadline deadline(Timeout());
    DWORD error = 0;
    if (connect(m_socket, address, length) != 0) {
        if (errno == EISCONN) {
            error = 0;
        } else if (errno == EINPROGRESS || errno == EINTR) {
            // The attempt goes on in the background; its outcome is the socket's pending error.
            if (WaitReady(m_socket, POLLOUT, deadline, &error)) {
                int soError = 0;
                socklen_t len = sizeof soError;
                if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
                error = WsaErrorFromErrno(soError);
            }
        } else {
            error = WsaErrorFromErrno(errno);
        }
    }
    if (error != 0) {
        Record(error);
        // A descriptor whose connect failed (or is still under way) cannot be reused for another
        // attempt, so the next ConnectTo starts with a fresh one.
        CloseHandle();
        return false;
    }
    m_connected.store(true, std::memory_order_release);
    return true;
}

bool CEvtSyncSocket::OpenSocket(int family, int type, int protocol, DWORD extraFlags) {
    (void)extraFlags;  // the overlapped flags have no meaning for a descriptor
    if (m_socket >= 0) {
        Record(WSAEALREADY);
        return false;
    }
    const int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Record(WsaErrorFromErrno(errno));
        return false;
    }
    // Made non-blocking and without a peer: none of Attach's questions need asking (three calls
    // fewer on the path of every lookup, which opens a connection of its own).
    m_socket = fd;
    SetNoDelay();
    return true;
}

void CEvtSyncSocket::SetNoDelay() {
    // A request goes out as head and body blocks; without this each block after the first
    // would wait for the peer's delayed acknowledgement.
    const int one = 1;
    setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool CEvtSyncSocket::Attach(int socket) {
    if (socket < 0) {
        Record(WSAENOTSOCK);
        return false;
    }
    if (m_socket >= 0) {
        Record(WSAEALREADY);
        return false;
    }
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        Record(WsaErrorFromErrno(errno));
        return false;
    }
    m_socket = socket;
    SetNoDelay();
    // A descriptor that already has a peer is connected from the start.
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(m_socket, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        m_connected.store(true, std::memory_order_release);
    return true;
}

bool CEvtSyncSocket::Send(const WSABUF* buffers, DWORD count, DWORD* sent) {
    if (sent) *sent = 0;
    if (!sent || (!buffers && count)) {
        Record(WSAEFAULT);
        return false;
    }
    if (!IsConnected()) {
        Record(WSAENOTCONN);
        return false;
    }
    std::unique_lock<std::mutex> lock(m_writeLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        Record(WSAEINPROGRESS);
        return false;
    }
    const Deadline deadline(Timeout());
    DWORD index = 0;
    ULONG offset = 0;  // bytes of buffers[index] already sent
    constexpr DWORD kBatch = 64;
    for (;;) {
        while (index < count && offset == buffers[index].len) {
            ++index;
            offset = 0;
        }
        if (index == count) {
            m_answerPending.store(true, std::memory_order_relaxed);
            return true;
        }
        iovec iov[kBatch];
        DWORD n = 0;
        for (DWORD i = index; i < count && n < kBatch; ++i) {
            const ULONG skip = i == index ? offset : 0;
            if (buffers[i].len == skip) continue;
            if (!buffers[i].buf) {
                Record(WSAEFAULT);
                return false;
            }
            iov[n].iov_base = buffers[i].buf + skip;
            iov[n].iov_len = buffers[i].len - skip;
            ++n;
        }
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = n;
        const ssize_t r = sendmsg(m_socket, &message, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            DWORD error = 0;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(m_socket, POLLOUT, deadline, &error))
                continue;
            Record(error ? error : WsaErrorFromErrno(errno));
            return false;
        }
        *sent += static_cast<DWORD>(r);
        std::size_t left = static_cast<std::size_t>(r);
        while (left > 0) {
            const std::size_t room = buffers[index].len - offset;
            if (left < room) {
                offset += static_cast<ULONG>(left);
                left = 0;
            } else {
                left -= room;
                ++index;
                offset = 0;
            }
        }
    }
}

bool CEvtSyncSocket::Receive(BYTE* buffer, DWORD* length) {
    if (!length || (!buffer && *length)) {
        Record(WSAEFAULT);
        return false;
    }
    const DWORD want = *length;
    *length = 0;
    if (!IsConnected()) {
        Record(WSAENOTCONN);
        return false;
    }
    std::unique_lock<std::mutex> lock(m_readLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        Record(WSAEINPROGRESS);
        return false;
    }
    const Deadline deadline(Timeout());
    // Right after a send the answer is rarely there yet: wait first. Otherwise try first, which
    // costs one call, not two, when bytes are waiting.
    if (m_answerPending.exchange(false, std::memory_order_relaxed)) {
        DWORD error = 0;
        if (!WaitReady(m_socket, POLLIN, deadline, &error)) {
            Record(error);
            return false;
        }
    }
    for (;;) {
        const ssize_t r = recv(m_socket, buffer, want, 0);
        if (r >= 0) {
            *length = static_cast<DWORD>(r);
            return true;
        }
        if (errno == EINTR) continue;
        DWORD error = 0;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(m_socket, POLLIN, deadline, &error)) continue;
        Record(error ? error : WsaErrorFromErrno(errno));
        return false;
    }
}

void CEvtSyncSocket::CloseHandle() {
    m_connected.store(false, std::memory_order_release);
    m_answerPending.store(false, std::memory_order_relaxed);
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
}

void CEvtSyncSocket::Disconnect() { CloseHandle(); }

}  // namespace bf::http
