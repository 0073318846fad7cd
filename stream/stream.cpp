// The stream record and its dispatch between the plain socket and TLS.
#include <openssl/buffer.h>

#include "common/atomic.h"
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
  ssl_held = nullptr;
  send_lock = QOR_EVENT{};
  wbuf_spare = nullptr;
  // A failure leaves the record invalid: the stream then runs without
  // mutual exclusion, and nothing is reported.
  event_create(&lock, true);
  event_create(&send_lock, true);
}

// Peeks at the first bytes: a ClientHello gets the TLS set-up, anything else
// (also fewer than six bytes, a time-out or a close) stays plain and unread.
int32_t QOR_TLS::open(SOCKET s) {
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

int64_t QOR_TLS::send(const uint8_t* data, uint64_t len) {
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
