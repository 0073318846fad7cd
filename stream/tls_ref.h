// The reference count of a stream's SSL object and the access lock, shared by
// the TLS set-up, `recv`, `send` and `release_stream`.
//
// `refs` counts references to exactly one object, `ssl_held`: a new object is
// counted only once every reference to the previous one has been dropped, so
// a thread that still works on an ended connection never holds the next
// connection's object alive, nor frees it.
#pragma once
#include "stream/tls.h"

// Returns the counted object with one more reference on it, or NULL when the
// stream holds none (nothing touched then).
SSL* tls_take_ref(QOR_TLS* t);
// Drops one reference on p, the object tls_take_ref returned; the last one
// shuts p down and frees it.
void tls_drop_ref(QOR_TLS* t, SSL* p);
// Shuts p down and frees it with its BIOs; the alert it writes goes nowhere.
void tls_free_ssl(SSL* p);
// False once the stream has let p go (released, or moved on to another
// object): no further call into p is made then.
bool tls_live(QOR_TLS* t, SSL* p);

inline void tls_lock(QOR_TLS* t) { event_wait(&t->lock); }
inline void tls_unlock(QOR_TLS* t) { event_signal(&t->lock); }
