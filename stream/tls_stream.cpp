// The server side of TLS over two memory BIOs: the SSL object never touches
// the socket; the stream moves the bytes between the socket and the BIOs, so
// the socket keeps the stream's own retry rules and time-outs.
//
// The reader (`accept_tls`, `recv`) and the writer (`send`) share the SSL
// object: `lock` serialises their calls into it and is never held across a
// socket call. Each call checks `tls_live` before touching the object: once
// the stream has let it go, the call counts as failed (-1).
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>

#include "common/atomic.h"
#include "platform/console.h"
#include "platform/sync.h"
#include "stream/context.h"
#include "stream/tls.h"
#include "stream/tls_ref.h"

namespace {

// SSL_write takes at most this much at a time, so the write BIO holds the
// records of one chunk (plus leftovers) when it is flushed.
constexpr uint64_t write_chunk = 0x30000;

// How long new_ssl waits for calls still running on the previous
// connection's object; their socket is closed, so they end at once.
constexpr int drain_wait_ms = 5000;

constexpr int status_released = -1;

// SSL_get_error reads this thread's error queue: a stale entry would turn a
// plain want-read into a failure.
int error_of(QOR_TLS* t, SSL* p, int result) {
  return tls_live(t, p) ? SSL_get_error(p, result) : status_released;
}

bool wait_until_unreferenced(QOR_TLS* t) {
  for (int i = 0; i < drain_wait_ms; ++i) {
    if (a_load(t->refs) == 0) return true;
    win::Sleep(1);
  }
  return false;
}

// Counts the stream's own reference on the new object, once no reference to
// an earlier one is left. A failed tls_take_ref may raise refs for a moment.
bool count_stream_reference(QOR_TLS* t) {
  for (int i = 0; i < drain_wait_ms; ++i) {
    int32_t unreferenced = 0;
    if (__atomic_compare_exchange_n(&t->refs, &unreferenced, 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
      return true;
    win::Sleep(1);
  }
  return false;
}

// Sends everything the write BIO holds in blocks of at most `size` bytes,
// staged in `buf`. Returns 1 when something went out, 0 when nothing was
// there (m then holds BIO_read's last result), -1 when a send failed.
int flush_handshake(QOR_TLS* t, SSL* p, uint8_t* buf, int size, int* m) {
  BIO* w = SSL_get_wbio(p);
  int sent = 0;
  for (;;) {
    *m = tls_live(t, p) ? BIO_read(w, buf, size) : -1;
    if (*m <= 0) return sent;
    if (t->send_raw(buf, *m) <= 0) return -1;
    sent = 1;
  }
}

}  // namespace

int32_t QOR_TLS::new_ssl(SOCKET s) {
  a_store(so, s);
  if (!tls_ready || s == INVALID_SOCKET) return -1;

  // An object the caller never gave up: drop the stream's reference to it.
  SSL* leftover = a_exchange(ssl, static_cast<SSL*>(nullptr));
  if (leftover != nullptr) tls_drop_ref(this, leftover);
  if (!wait_until_unreferenced(this)) return -1;

  SSL* p = SSL_new(ssl_ctx);
  if (p == nullptr) return -1;
  BIO* r = BIO_new(BIO_s_mem());
  BIO* w = BIO_new(BIO_s_mem());
  if (r == nullptr || w == nullptr) {
    BIO_free(r);
    BIO_free(w);
    SSL_free(p);
    return -1;
  }
  SSL_set_bio(p, r, w);

  a_store(ssl_held, p);
  if (!count_stream_reference(this)) {
    SSL_free(p);
    return -1;
  }
  a_store(rbio, r);
  a_store(wbio, w);
  a_store(ssl, p);
  last_recv_error = 0;
  last_send_error = 0;
  a_store(status, 0);
  return 0;
}

// The handshake pump: one socket read into the SSL object, one SSL_accept and
// the server's whole output to the client per pass, until the handshake is
// done or fails. It runs before the writer uses the stream, so it takes no
// lock. Every read waits at most the socket's receive time-out.
int32_t QOR_TLS::accept_tls() {
  a_store(status, status_released);
  if (a_load(ssl) == nullptr) return -1;
  SSL* p = tls_take_ref(this);
  if (p == nullptr) return -1;

  int accepted = -1;
  if (p_recv == nullptr || p_recv_size == 0) {
    win::wprintf(L"p_recv or p_recv_size not set\n");
    tls_drop_ref(this, p);
    return -1;
  }
  const int size = p_recv_size > INT_MAX ? INT_MAX : static_cast<int>(p_recv_size);
  BIO* r = SSL_get_rbio(p);
  for (;;) {
    if (tls_live(this, p) && SSL_is_init_finished(p)) break;

    int64_t n = recv_raw(p_recv, size);
    if (n <= 0) {
      a_store(status, 0);
      break;
    }
    int written = tls_live(this, p) ? BIO_write(r, p_recv, static_cast<int>(n)) : -1;
    if (written <= 0) {
      a_store(status, error_of(this, p, written));
      break;
    }

    ERR_clear_error();
    accepted = tls_live(this, p) ? SSL_accept(p) : -1;
    int st = accepted <= 0 ? error_of(this, p, accepted) : 0;
    a_store(status, st);
    if (st != 0 && st != SSL_ERROR_WANT_READ) break;

    // All of the flight goes out now: a client waits for the whole of it
    // before it answers, whatever the size of the buffer that stages it.
    int m = 0;
    int flushed = flush_handshake(this, p, p_recv, size, &m);
    if (flushed < 0) {
      // The client never got the end of the handshake, done or not.
      a_store(status, status_released);
      accepted = -1;
      break;
    }
    if (flushed == 0) {
      st = error_of(this, p, m);
      a_store(status, st);
    }
    if (st != SSL_ERROR_WANT_READ) break;
  }
  tls_drop_ref(this, p);
  return accepted == 1 ? 0 : -1;
}

// The caller's buffer serves twice: ciphertext from the socket is staged in
// it for the read BIO, and SSL_read writes the plaintext over it.
int64_t QOR_TLS::recv_tls(uint8_t* buf, int32_t size) {
  SSL* p = tls_take_ref(this);
  if (p == nullptr) {
    a_store(status, status_released);
    return -1;
  }
  BIO* r = SSL_get_rbio(p);
  tls_lock(this);
  int got;
  for (;;) {
    // SSL_read first: records may already wait in the SSL object or the
    // read BIO, e.g. data that came with the client's last handshake bytes.
    ERR_clear_error();
    got = tls_live(this, p) ? SSL_read(p, buf, size) : -1;
    if (got > 0) break;
    int st = error_of(this, p, got);
    a_store(status, st);
    if (st != SSL_ERROR_WANT_READ) break;

    tls_unlock(this);
    int64_t n = recv_raw(buf, size);
    if (n <= 0) {
      a_store(status, 0);
      tls_drop_ref(this, p);
      return got;
    }
    tls_lock(this);
    int written = tls_live(this, p) ? BIO_write(r, buf, static_cast<int>(n)) : -1;
    if (written <= 0) {
      a_store(status, error_of(this, p, written));
      break;
    }
  }
  tls_unlock(this);
  tls_drop_ref(this, p);
  return got;
}

namespace {

// Detaches the write BIO's buffer, which holds every record to send, and
// attaches the empty spare in its place, so that bytes SSL_read adds while
// the detached one is on the wire land in the spare. Called under the lock.
// False when no spare could be had: the caller then sends in place.
bool detach_records(QOR_TLS* t, BIO* w) {
  BUF_MEM* spare = a_exchange(t->wbuf_spare, static_cast<BUF_MEM*>(nullptr));
  if (spare == nullptr) spare = BUF_MEM_new();   // once per stream
  if (spare == nullptr) return false;
  spare->length = 0;
  // Off first, or attaching the spare would free the detached buffer.
  BIO_set_close(w, BIO_NOCLOSE);
  BIO_set_mem_buf(w, spare, BIO_CLOSE);
  return true;
}

// Keeps a sent buffer, emptied, as the next spare. Under the lock.
void keep_spare(QOR_TLS* t, BUF_MEM* sent) {
  sent->length = 0;
  BUF_MEM* old = a_exchange(t->wbuf_spare, sent);
  if (old != nullptr) BUF_MEM_free(old);
}

// Empties the write BIO in place, keeping its memory attached and owned.
void empty_in_place(BIO* w, BUF_MEM* records) {
  records->length = 0;
  BIO_set_close(w, BIO_NOCLOSE);
  BIO_set_mem_buf(w, records, BIO_CLOSE);
}

}  // namespace

// Encrypts in chunks and puts each chunk's records on the wire straight from
// the write BIO's own memory. Called under send_lock, which serialises the
// sends, so the records reach the wire in the order SSL_write made them.
int64_t QOR_TLS::send_tls(const uint8_t* data, uint64_t len) {
  SSL* p = tls_take_ref(this);
  if (p == nullptr) {
    a_store(status, status_released);
    return -1;
  }
  BIO* w = SSL_get_wbio(p);
  tls_lock(this);
  uint64_t remaining = len;
  int64_t result;
  for (;;) {
    int chunk = static_cast<int>(remaining < write_chunk ? remaining : write_chunk);
    ERR_clear_error();
    int put = tls_live(this, p) ? SSL_write(p, data, chunk) : -1;
    if (put <= 0) {
      a_store(status, error_of(this, p, put));
      result = put;
      break;
    }
    data += put;
    remaining -= static_cast<uint64_t>(put);

    BUF_MEM* records = nullptr;
    BIO_get_mem_ptr(w, &records);   // also moves unread bytes to its start
    if (records == nullptr) {
      int st = error_of(this, p, put);
      a_store(status, st);
      win::wprintf(L"tls.send::tls_bio_get_mem_ptr  %i\n", st);
      result = put;
      break;
    }
    const uint8_t* wire = reinterpret_cast<const uint8_t*>(records->data);
    const int32_t wire_len = static_cast<int32_t>(records->length);
    int64_t sent;
    if (detach_records(this, w)) {
      tls_unlock(this);
      sent = send_raw(wire, wire_len);
      tls_lock(this);
      keep_spare(this, records);
    } else {
      sent = send_raw(wire, wire_len);
      empty_in_place(w, records);
    }
    if (sent <= 0) {
      a_store(status, 0);
      result = sent;
      break;
    }
    if (remaining == 0) {
      result = static_cast<int64_t>(len);
      break;
    }
  }
  tls_unlock(this);
  tls_drop_ref(this, p);
  return result;
}
