// Plain socket reads and writes of the stream, with their retry rules. Every
// attempt reads `so` afresh, so a release by another thread ends the retries
// (the retired socket fails with WSAENOTSOCK).
#include "common/atomic.h"
#include "platform/sync.h"
#include "platform/winsock.h"
#include "stream/tls.h"

namespace {

// How long a client gets to read the last frame and close; one that goes on
// sending holds its slot no longer.
constexpr uint64_t linger_ms = 2000;

}  // namespace

// One recv() per attempt; retried only when a signal interrupted it.
// An orderly close sets no error: the thread's error and the stream's record
// of it are cleared first, so that a stale one (a set-up read that timed
// out) is not taken for the cause of this read's end or of a TLS failure.
int64_t QOR_TLS::recv_raw(uint8_t* buf, int32_t size) {
  win::WSASetLastError(0);
  last_recv_error = 0;
  if (!arm_deadline()) return -1;
  int n = win::recv(a_load(so), reinterpret_cast<char*>(buf), size, 0);
  while (n <= 0) {
    last_recv_error = win::WSAGetLastError();
    if (last_recv_error != WSAEINTR) return n;
    win::WSASetLastError(0);
    if (!arm_deadline()) return -1;
    n = win::recv(a_load(so), reinterpret_cast<char*>(buf), size, 0);
  }
  return n;
}

// With a deadline set, the socket read waits only for what is left of it, so
// that a stream read made of several socket reads (a TLS record trickled in)
// still ends by then; once it has passed, the read fails as timed out.
bool QOR_TLS::arm_deadline() {
  if (recv_deadline == 0) return true;
  uint64_t now = win::GetTickCount64();
  if (now >= recv_deadline) {
    last_recv_error = WSAETIMEDOUT;
    win::WSASetLastError(WSAETIMEDOUT);
    return false;
  }
  int ms = int(recv_deadline - now);
  win::setsockopt(a_load(so), win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                  sizeof ms);
  return true;
}

// One send() per attempt: a blocking send takes the whole block or fails.
// Out of buffer space, it waits until the socket can take data again.
int64_t QOR_TLS::send_raw(const uint8_t* data, int32_t len) {
  constexpr int send_flags = 0;
  int n = win::send(a_load(so), reinterpret_cast<const char*>(data), len, send_flags);
  while (n <= 0) {
    last_send_error = win::WSAGetLastError();
    if (last_send_error != WSAENOBUFS) return n;
    SOCKET s = a_load(so);
    win::fd_set writable{1, {s}};
    win::fd_set failed{1, {s}};
    if (win::select(static_cast<int>(s + 1), nullptr, &writable, &failed, nullptr) <= 0) return n;
    win::WSASetLastError(0);
    n = win::send(a_load(so), reinterpret_cast<const char*>(data), len, send_flags);
  }
  return n;
}

// Ends with the receive deadline cleared, as the set-up leaves it.
void QOR_TLS::linger(uint8_t* buf, int32_t size) {
  win::shutdown(a_load(so), win::SD_SEND);
  recv_deadline = win::GetTickCount64() + linger_ms;
  while (recv_raw(buf, size) > 0) {
  }
  recv_deadline = 0;
}
