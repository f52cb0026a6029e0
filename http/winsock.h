// Socket error numbers and start-up calls of the original socket API, as this transport records
// and offers them. Offers: the WSA* error numbers the socket records (mapped from errno and from
// the resolver's codes), WSABUF, WSADATA, WSAStartup/WSACleanup. The sockets themselves are plain
// POSIX descriptors; start-up only keeps the original's reference count and result codes.
#pragma once

#include <windef.h>

#define WSA_IO_PENDING 997L
#define WSA_NOT_ENOUGH_MEMORY 8L
#define WSAEINTR 10004L
#define WSAEBADF 10009L
#define WSAEACCES 10013L
#define WSAEFAULT 10014L
#define WSAEINVAL 10022L
#define WSAEMFILE 10024L
#define WSAEWOULDBLOCK 10035L
#define WSAEINPROGRESS 10036L
#define WSAEALREADY 10037L
#define WSAENOTSOCK 10038L
#define WSAEDESTADDRREQ 10039L
#define WSAEMSGSIZE 10040L
#define WSAEPROTOTYPE 10041L
#define WSAENOPROTOOPT 10042L
#define WSAEPROTONOSUPPORT 10043L
#define WSAESOCKTNOSUPPORT 10044L
#define WSAEOPNOTSUPP 10045L
#define WSAEAFNOSUPPORT 10047L
#define WSAEADDRINUSE 10048L
#define WSAEADDRNOTAVAIL 10049L
#define WSAENETDOWN 10050L
#define WSAENETUNREACH 10051L
#define WSAENETRESET 10052L
#define WSAECONNABORTED 10053L
#define WSAECONNRESET 10054L
#define WSAENOBUFS 10055L
#define WSAEISCONN 10056L
#define WSAENOTCONN 10057L
#define WSAESHUTDOWN 10058L
#define WSAETIMEDOUT 10060L
#define WSAECONNREFUSED 10061L
#define WSAEHOSTDOWN 10064L
#define WSAEHOSTUNREACH 10065L
#define WSASYSNOTREADY 10091L
#define WSAVERNOTSUPPORTED 10092L
#define WSANOTINITIALISED 10093L
#define WSASYSCALLFAILURE 10107L
#define WSATYPE_NOT_FOUND 10109L
#define WSAHOST_NOT_FOUND 11001L
#define WSATRY_AGAIN 11002L
#define WSANO_RECOVERY 11003L
#define WSANO_DATA 11004L

#define SOCKET_ERROR (-1)
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

inline constexpr WORD MAKEWORD(BYTE lo, BYTE hi) { return static_cast<WORD>(lo | (hi << 8)); }
inline constexpr BYTE LOBYTE(WORD w) { return static_cast<BYTE>(w & 0xFF); }
inline constexpr BYTE HIBYTE(WORD w) { return static_cast<BYTE>(w >> 8); }

// One buffer of a gathered send.
struct WSABUF {
    ULONG len;
    CHAR* buf;
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
};

// 0 on success; WSAVERNOTSUPPORTED for a version below 1.0, WSAEFAULT without lpWSAData.
// Counted: every success needs one WSACleanup.
int WSAStartup(WORD wVersionRequested, WSADATA* lpWSAData);
// 0, or SOCKET_ERROR when there is no start-up left to undo.
int WSACleanup();

namespace bf::http {
// The socket error number for an errno value (WSASYSCALLFAILURE for one without a counterpart).
DWORD WsaErrorFromErrno(int err);
// The socket error number for a getaddrinfo result (0 stays 0).
DWORD WsaErrorFromResolver(int gaiError, int savedErrno);
}  // namespace bf::http
