#include "stream/tls_ref.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "common/atomic.h"

SSL* tls_take_ref(QOR_TLS* t) {
  if (a_add(t->refs, 1) - 1 <= 0) {
    // Gone or going: back out without touching any object.
    a_add(t->refs, -1);
    return nullptr;
  }
  // Stable while refs > 0: a new object is counted only from refs == 0.
  return a_load(t->ssl_held);
}

void tls_drop_ref(QOR_TLS* t, SSL* p) {
  if (a_add(t->refs, -1) == 0) tls_free_ssl(p);
}

void tls_free_ssl(SSL* p) {
  SSL_shutdown(p);
  SSL_free(p);
  // A shutdown before the handshake finished leaves an error behind; it must
  // not be taken for the outcome of this thread's next TLS call.
  ERR_clear_error();
}

bool tls_live(QOR_TLS* t, SSL* p) { return a_load(t->ssl) == p; }
