// From system errno values to Winsock error numbers, and the thread's
// Winsock error, which is the thread's last error as on Windows.
#define PLATFORM_NO_WINSOCK_DEFS
#include <cerrno>

#include "platform/sync.h"
#include "platform/winsock.h"
#include "platform/winsock_table.h"

namespace win {

int WSAGetLastError() { return static_cast<int>(GetLastError()); }
void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

}  // namespace win

namespace win::detail {

int wsa_error_from_errno(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;  // a descriptor that is no socket of ours
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;  // EWOULDBLOCK is the same number
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEWOULDBLOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EPROTOTYPE: return WSAESOCKTNOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;  // ENOTSUP is the same number
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAECONNABORTED;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;  // the peer has gone
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTUNREACH;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAENETDOWN;  // an I/O fault below the socket
  }
}

int wsa_fail(int wsa_error) {
  WSASetLastError(wsa_error);
  return SOCKET_ERROR;
}

int wsa_fail_errno(int err) { return wsa_fail(wsa_error_from_errno(err)); }

}  // namespace win::detail
