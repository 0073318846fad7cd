// The stream record and its dispatch between the plain socket and TLS.
#include <openssl/buffer.h>

#include "common/atomic.h"
#include "platform/sync.h"
#include "platform/winsock.h"
#include "stream/tls.h"
#include "stream/tls_ref.h"

namespace {

constexpr uint8_t record_handshake = 0x16;
constexpr uint8_t client_hello = 0x01;

// The first six bytes of a TLS client: the record header (type, version,
// length) and the handshake message type.
bool is_client_hello(const uint8_t* head, int n) {
  return n == 6 && head[0] == record_handshake && head[5] == client_hello;
}

// How long the last send waits for the send under way, and then for room on
// the socket: a client that stops reading must not hold its reader for ever.
constexpr DWORD last_send_wait_ms = 2000;

// A socket the system calls writable takes a few bytes without blocking.
bool writable_within(SOCKET s, DWORD ms) {
  win::fd_set writable{1, {s}};
  win::timeval limit{long(ms / 1000), long(ms % 1000) * 1000};
  return win::select(static_cast<int>(s + 1), nullptr, &writable, nullptr, &limit) == 1;
}

}  // namespace

void QOR_TLS::init() {
  ssl = nullptr;
  refs = 0;
  lock = QOR_EVENT{};
  rbio = nullptr;
  wbio = nullptr;
  so = INVALID_SOCKET;
  last_recv_error = 0;
  last_send_error = 0;
  status = 0;
  p_recv = nullptr;
  p_recv_size = 0;
  recv_deadline = 0;
  ssl_held = nullptr;
  send_lock = QOR_EVENT{};
  send_closed = false;
  wbuf_spare = nullptr;
  // A failure leaves the record invalid: the stream then runs without
  // mutual exclusion, and nothing is reported.
  event_create(&lock, true);
  event_create(&send_lock, true);
}

// Peeks at the first bytes: a ClientHello gets the TLS set-up, anything else
// (also fewer than six bytes, a time-out or a close) stays plain and unread.
int32_t QOR_TLS::open(SOCKET s) {
  // The writer has finished with the previous connection (the caller saw to
  // it), so no send of that one can still meet this.
  a_store(send_closed, false);
  SOCKET previous = a_exchange(so, s);
  if (previous != INVALID_SOCKET && previous != s) {
    // Not given up by the caller: close it rather than lose it.
    win::shutdown(previous, win::SD_BOTH);
    win::closesocket(previous);
  }
  if (s == INVALID_SOCKET) return -1;

  uint8_t head[6];
  int n = win::recv(s, reinterpret_cast<char*>(head), sizeof head, win::MSG_PEEK);
  while (n <= 0) {
    last_recv_error = win::WSAGetLastError();
    if (last_recv_error != WSAEINTR) break;
    win::WSASetLastError(0);
    n = win::recv(a_load(so), reinterpret_cast<char*>(head), sizeof head, win::MSG_PEEK);
  }
  if (!is_client_hello(head, n)) return -2;
  if (new_ssl(s) != 0) return -1;
  return accept_tls() == 0 ? 0 : -1;
}

int64_t QOR_TLS::recv(uint8_t* buf, int32_t size) {
  if (a_load(ssl) == nullptr) return recv_raw(buf, size);
  return recv_tls(buf, size);
}

// Without a valid lock (its creation failed, or the stream is closed) the
// send goes unserialised, as the stream runs then.
int64_t QOR_TLS::send(const uint8_t* data, uint64_t len) {
  const bool held = event_wait(&send_lock) == 0;
  int64_t n = send_locked(data, len);
  if (held) event_signal(&send_lock);
  return n;
}

// The bytes go out whole after the send under way; then the stream is
// closed for sending. When that send does not end within last_send_wait_ms,
// or the socket has no room for as long (its client reads nothing), nothing
// is sent (-1, WSAETIMEDOUT): the bytes could only go out inside that send
// or block this thread, and the caller ends the connection anyway. Either
// way no later send goes out.
int64_t QOR_TLS::send_last(const uint8_t* data, uint64_t len) {
  const int w = event_wait_for(&send_lock, last_send_wait_ms);
  int64_t n = -1;
  if (w == EVENT_TIMEOUT || !writable_within(a_load(so), last_send_wait_ms))
    win::WSASetLastError(WSAETIMEDOUT);
  else
    n = send_locked(data, len);
  a_store(send_closed, true);
  if (w == 0) event_signal(&send_lock);
  return n;
}

// Under send_lock (or without one, as above).
int64_t QOR_TLS::send_locked(const uint8_t* data, uint64_t len) {
  if (a_load(send_closed)) {
    last_send_error = WSAECONNABORTED;
    win::WSASetLastError(WSAECONNABORTED);
    return -1;
  }
  if (a_load(ssl) == nullptr) return send_raw(data, static_cast<int32_t>(len));
  return send_tls(data, len);
}

// Any thread may call this, also two at once: each exchange hands the SSL
// object and the socket to exactly one caller. The socket goes first: a call
// that finds no SSL object takes the plain path, and that must then find no
// socket either, or it would put a TLS connection's data on the wire in the
// clear (or read its records as data).
void QOR_TLS::release_stream() {
  SOCKET s = a_exchange(so, INVALID_SOCKET);
  if (s != INVALID_SOCKET) {
    // shutdown() first: it wakes a thread blocked on the socket.
    win::shutdown(s, win::SD_BOTH);
    win::closesocket(s);
  }

  a_store(rbio, static_cast<BIO*>(nullptr));
  a_store(wbio, static_cast<BIO*>(nullptr));
  SSL* p = a_exchange(ssl, static_cast<SSL*>(nullptr));
  if (p != nullptr) tls_drop_ref(this, p);
}

void QOR_TLS::close() {
  event_close(&lock);
  event_close(&send_lock);
  release_stream();
  BUF_MEM* spare = a_exchange(wbuf_spare, static_cast<BUF_MEM*>(nullptr));
  if (spare != nullptr) BUF_MEM_free(spare);
}
