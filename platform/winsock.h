// Winsock 2.2 in place of the Windows calls: the same results and the same
// WSA error numbers, kept per thread (WSAGetLastError).
//
// A SOCKET here names one open socket for its whole life: closesocket()
// retires the name before the descriptor is given back to the system, so a
// call made later with the old name fails with WSAENOTSOCK and never reaches
// a connection accepted afterwards on the same descriptor number. A call in
// progress when the socket is closed returns (shutdown first wakes it).
//
// send() on a blocking socket sends every byte or fails, as Winsock does, and
// never raises SIGPIPE; a peer that has gone is WSAECONNRESET. A receive
// time-out (SO_RCVTIMEO, milliseconds) is WSAETIMEDOUT. EINTR is retried.
#pragma once
#include "platform/types.h"

namespace win {

struct WSADATA {
  uint16_t wVersion;
  uint16_t wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
};

struct in_addr { uint32_t s_addr; };
struct sockaddr { uint16_t sa_family; char sa_data[14]; };
struct sockaddr_in {
  int16_t sin_family;
  uint16_t sin_port;
  in_addr sin_addr;
  char sin_zero[8];
};

constexpr unsigned fd_set_capacity = 64;
struct fd_set { unsigned fd_count; SOCKET fd_array[fd_set_capacity]; };
struct timeval { long tv_sec; long tv_usec; };

int WSAStartup(uint16_t version_requested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int recv(SOCKET s, char* buf, int len, int flags);
int send(SOCKET s, const char* buf, int len, int flags);
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
uint32_t inet_addr(const char* cp);
uint16_t htons(uint16_t v);
uint16_t ntohs(uint16_t v);
uint32_t htonl(uint32_t v);

}  // namespace win

// The Winsock constants share their names with the system's socket macros,
// so the layer's own implementation, which includes those, leaves them out.
#ifndef PLATFORM_NO_WINSOCK_DEFS
namespace win {
constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr uint32_t INADDR_ANY = 0;
constexpr uint32_t INADDR_NONE = 0xFFFFFFFF;
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_RCVTIMEO = 0x1006;
constexpr int TCP_NODELAY = 0x0001;
constexpr int TCP_KEEPALIVE = 3;   // keep-alive idle time, seconds
constexpr int MSG_PEEK = 0x2;
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;
}  // namespace win
#endif
