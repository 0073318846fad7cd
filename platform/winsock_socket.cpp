// Creating, naming, listening on, accepting, shutting down and closing
// sockets.
#define PLATFORM_NO_WINSOCK_DEFS
#include <netinet/in.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>

#include "platform/winsock.h"
#include "platform/winsock_table.h"

namespace win {
namespace {

// Winsock's numbers; the system's macros of the same names are in scope.
constexpr int ws_af_inet = 2;
constexpr int ws_sock_stream = 1;
constexpr int ws_sock_dgram = 2;
constexpr int ws_sd_receive = 0;
constexpr int ws_sd_send = 1;
constexpr int ws_sd_both = 2;

// Errors of the pending connection itself, which accept(2) reports in place
// of a connection: the listener is fine, so wait for the next one.
bool accept_should_retry(int err) {
  switch (err) {
    case EINTR: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case ENETUNREACH: case ENETDOWN:
      return true;
    default:
      return false;
  }
}

void to_winsock_address(const ::sockaddr_in& from, win::sockaddr_in* to) {
  std::memset(to, 0, sizeof *to);
  to->sin_family = ws_af_inet;
  to->sin_port = from.sin_port;  // both in network order
  to->sin_addr.s_addr = from.sin_addr.s_addr;
}

}  // namespace

SOCKET socket(int af, int type, int protocol) {
  if (!detail::wsa_started()) {
    detail::wsa_fail(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  if (af != ws_af_inet) {
    detail::wsa_fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  int system_type = type == ws_sock_stream ? SOCK_STREAM
                    : type == ws_sock_dgram ? SOCK_DGRAM : -1;
  if (system_type == -1) {
    detail::wsa_fail(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  // Close-on-exec: a child process must not keep a client's connection open.
  int fd = ::socket(AF_INET, system_type | SOCK_CLOEXEC, protocol);
  if (fd == -1) {
    detail::wsa_fail_errno(errno);
    return INVALID_SOCKET;
  }
  return detail::socket_register(fd);
}

int bind(SOCKET s, const win::sockaddr* name, int namelen) {
  if (!name || namelen < static_cast<int>(sizeof(win::sockaddr_in)))
    return detail::wsa_fail(WSAEFAULT);
  win::sockaddr_in from;
  std::memcpy(&from, name, sizeof from);
  if (from.sin_family != ws_af_inet) return detail::wsa_fail(WSAEAFNOSUPPORT);
  ::sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = from.sin_port;
  to.sin_addr.s_addr = from.sin_addr.s_addr;
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return SOCKET_ERROR;
  int result = ::bind(hold.fd, reinterpret_cast<::sockaddr*>(&to), sizeof to);
  int err = errno;
  detail::socket_release(&hold);
  return result == -1 ? detail::wsa_fail_errno(err) : 0;
}

int listen(SOCKET s, int backlog) {
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return SOCKET_ERROR;
  int result = ::listen(hold.fd, backlog);
  int err = errno;
  detail::socket_release(&hold);
  return result == -1 ? detail::wsa_fail_errno(err) : 0;
}

// The accepted socket is blocking and has only the options that it
// inherits from the listener.
SOCKET accept(SOCKET s, win::sockaddr* addr, int* addrlen) {
  if (addr && (!addrlen || *addrlen < static_cast<int>(sizeof(win::sockaddr_in)))) {
    detail::wsa_fail(WSAEFAULT);
    return INVALID_SOCKET;
  }
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return INVALID_SOCKET;
  ::sockaddr_in peer{};
  socklen_t peer_size = sizeof peer;
  int fd;
  int err = 0;
  do {
    peer_size = sizeof peer;
    fd = ::accept4(hold.fd, reinterpret_cast<::sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC);
    err = errno;
  } while (fd == -1 && accept_should_retry(err) && !hold.entry->shut_by_layer.load());
  bool cancelled = fd == -1 && hold.entry->shut_by_layer.load();
  detail::socket_release(&hold);
  if (fd == -1) {
    // Cancelled by closesocket() or shutdown() from another thread: Winsock
    // reports a blocking call cancelled that way as interrupted.
    if (cancelled) detail::wsa_fail(WSAEINTR);
    // A connection reset while it waited in the queue; the listener is fine.
    else if (err == ECONNABORTED) detail::wsa_fail(WSAECONNRESET);
    else detail::wsa_fail_errno(err);
    return INVALID_SOCKET;
  }
  if (addr) {
    to_winsock_address(peer, reinterpret_cast<win::sockaddr_in*>(addr));
    *addrlen = sizeof(win::sockaddr_in);
  }
  return detail::socket_register(fd);
}

int shutdown(SOCKET s, int how) {
  int system_how = how == ws_sd_receive ? SHUT_RD
                   : how == ws_sd_send ? SHUT_WR
                   : how == ws_sd_both ? SHUT_RDWR : -1;
  if (system_how == -1) return detail::wsa_fail(WSAEINVAL);
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return SOCKET_ERROR;
  // Ending the receive side of a listener cancels a blocked accept().
  if (system_how != SHUT_WR) hold.entry->shut_by_layer.store(true);
  int result = ::shutdown(hold.fd, system_how);
  int err = errno;
  detail::socket_release(&hold);
  return result == -1 ? detail::wsa_fail_errno(err) : 0;
}

int closesocket(SOCKET s) {
  return detail::socket_retire(s) ? 0 : SOCKET_ERROR;
}

}  // namespace win
