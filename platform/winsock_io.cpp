// recv and send on a blocking socket.
#define PLATFORM_NO_WINSOCK_DEFS
#include <sys/socket.h>
#include <cerrno>

#include "platform/winsock.h"
#include "platform/winsock_table.h"

namespace win {
namespace {

constexpr int ws_msg_peek = 0x2;

}  // namespace

// Returns the bytes read, 0 when the peer has ended the connection in order
// (or it was shut down here), or SOCKET_ERROR. A receive time-out set with
// SO_RCVTIMEO is WSAETIMEDOUT, as Winsock reports it.
int recv(SOCKET s, char* buf, int len, int flags) {
  if (flags != 0 && flags != ws_msg_peek) return detail::wsa_fail(WSAEOPNOTSUPP);
  if (len < 0 || (!buf && len > 0)) return detail::wsa_fail(WSAEFAULT);
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return SOCKET_ERROR;
  int system_flags = flags == ws_msg_peek ? MSG_PEEK : 0;
  ssize_t got;
  int err = 0;
  do {
    got = ::recv(hold.fd, buf, static_cast<size_t>(len), system_flags);
    err = errno;
  } while (got == -1 && err == EINTR);
  detail::socket_release(&hold);
  if (got == -1) {
    // Sockets here are blocking, so "would block" can only be the time-out.
    if (err == EAGAIN || err == EWOULDBLOCK) return detail::wsa_fail(WSAETIMEDOUT);
    return detail::wsa_fail_errno(err);
  }
  return static_cast<int>(got);
}

// Sends all `len` bytes and returns `len`, or fails with SOCKET_ERROR; a
// partial send is continued, never reported. Never raises SIGPIPE.
int send(SOCKET s, const char* buf, int len, int flags) {
  if (flags != 0) return detail::wsa_fail(WSAEOPNOTSUPP);
  if (len < 0 || (!buf && len > 0)) return detail::wsa_fail(WSAEFAULT);
  detail::socket_hold hold;
  if (!detail::socket_acquire(s, &hold)) return SOCKET_ERROR;
  int sent = 0;
  int err = 0;
  while (sent < len) {
    ssize_t n = ::send(hold.fd, buf + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL);
    if (n == -1) {
      err = errno;
      if (err == EINTR) continue;
      break;
    }
    sent += static_cast<int>(n);
  }
  detail::socket_release(&hold);
  if (sent < len) {
    if (err == EAGAIN || err == EWOULDBLOCK) return detail::wsa_fail(WSAETIMEDOUT);
    return detail::wsa_fail_errno(err);
  }
  return len;
}

}  // namespace win
