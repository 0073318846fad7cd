#include "support/tls_client.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>

namespace {

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Waits for what the last SSL call asked for. False on a real failure or
// when the deadline has passed.
bool wait_for(SSL* ssl, int fd, int result, long long deadline) {
  int e = SSL_get_error(ssl, result);
  short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
  if (events == 0) return false;
  long long left = deadline - now_ms();
  if (left <= 0) return false;
  pollfd p{fd, events, 0};
  return poll(&p, 1, static_cast<int>(left)) >= 0;
}

SSL_CTX* client_ctx(int min_version, int max_version) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (min_version < TLS1_2_VERSION) {
    // Old versions are refused at the default security level.
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT@SECLEVEL=0");
  }
  SSL_CTX_set_min_proto_version(ctx, min_version);
  SSL_CTX_set_max_proto_version(ctx, max_version);
  return ctx;
}

}  // namespace

tls_client::~tls_client() {
  SSL_free(ssl);
  SSL_CTX_free(ctx);
}

bool tls_client::prepare(int min_version, int max_version) {
  if (ctx == nullptr) ctx = client_ctx(min_version, max_version);
  if (ctx != nullptr && ssl == nullptr) ssl = SSL_new(ctx);
  return ssl != nullptr;
}

bool tls_client::connect(int to, int min_version, int max_version, int ms) {
  // The client writes with write(): a server that has gone must show as a
  // failed call, not end the test process.
  signal(SIGPIPE, SIG_IGN);
  fd = to;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (!prepare(min_version, max_version) || SSL_set_fd(ssl, fd) != 1) return false;
  long long deadline = now_ms() + ms;
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(ssl);
    if (r == 1) return true;
    if (!wait_for(ssl, fd, r, deadline)) return false;
  }
}

bool tls_client::write_all(const void* data, size_t size, int ms) {
  const char* p = static_cast<const char*>(data);
  long long deadline = now_ms() + ms;
  while (size > 0) {
    ERR_clear_error();
    int n = SSL_write(ssl, p, static_cast<int>(size));
    if (n > 0) {
      p += n;
      size -= static_cast<size_t>(n);
    } else if (!wait_for(ssl, fd, n, deadline)) {
      return false;
    }
  }
  return true;
}

std::string tls_client::read(size_t size, int ms) {
  std::string got;
  char block[16384];
  long long deadline = now_ms() + ms;
  while (got.size() < size) {
    ERR_clear_error();
    int n = SSL_read(ssl, block, static_cast<int>(std::min(sizeof block, size - got.size())));
    if (n > 0)
      got.append(block, static_cast<size_t>(n));
    else if (!wait_for(ssl, fd, n, deadline))
      break;
  }
  return got;
}

bool tls_client::exchange(const std::string& out, size_t in_size, std::string* in, int ms,
                          size_t key_update_every) {
  size_t written = 0;
  size_t next_update = key_update_every;
  char block[16384];
  long long deadline = now_ms() + ms;
  while (written < out.size() || in->size() < in_size) {
    if (now_ms() > deadline) return false;
    bool progress = false;
    if (written < out.size()) {
      if (key_update_every > 0 && written >= next_update) {
        SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED);
        next_update += key_update_every;
      }
      size_t chunk = std::min<size_t>(out.size() - written, 4096);
      ERR_clear_error();
      int n = SSL_write(ssl, out.data() + written, static_cast<int>(chunk));
      if (n > 0) {
        written += static_cast<size_t>(n);
        progress = true;
      } else {
        int e = SSL_get_error(ssl, n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
      }
    }
    if (in->size() < in_size) {
      ERR_clear_error();
      int n = SSL_read(ssl, block, sizeof block);
      if (n > 0) {
        in->append(block, static_cast<size_t>(n));
        progress = true;
      } else {
        int e = SSL_get_error(ssl, n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
      }
    }
    if (!progress) {
      pollfd p{fd, static_cast<short>(POLLIN | (written < out.size() ? POLLOUT : 0)), 0};
      poll(&p, 1, 10);
    }
  }
  return true;
}

void tls_client::close_notify() {
  if (ssl != nullptr) SSL_shutdown(ssl);
}

std::string tls_client::version() const { return ssl != nullptr ? SSL_get_version(ssl) : ""; }

std::string client_hello_bytes() {
  SSL_CTX* ctx = client_ctx(TLS1_2_VERSION, 0);
  SSL* ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
  std::string hello;
  if (ssl != nullptr) {
    BIO* r = BIO_new(BIO_s_mem());
    BIO* w = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, r, w);
    SSL_connect(ssl);
    char* data = nullptr;
    long n = BIO_get_mem_data(w, &data);
    if (n > 0) hello.assign(data, static_cast<size_t>(n));
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return hello;
}

namespace {

// Moves everything pending in `from`'s write BIO into `to`'s read BIO.
void carry(SSL* from, SSL* to) {
  char block[4096];
  int n;
  while ((n = BIO_read(SSL_get_wbio(from), block, sizeof block)) > 0)
    BIO_write(SSL_get_rbio(to), block, n);
}

}  // namespace

bool handshake_in_memory(SSL_CTX* server_ctx) {
  SSL_CTX* ctx = client_ctx(TLS1_2_VERSION, 0);
  SSL* client = ctx != nullptr ? SSL_new(ctx) : nullptr;
  SSL* server = server_ctx != nullptr ? SSL_new(server_ctx) : nullptr;
  bool done = false;
  if (client != nullptr && server != nullptr) {
    SSL_set_bio(client, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_bio(server, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    int c = 0;
    int s = 0;
    for (int round = 0; round < 10 && !(c == 1 && s == 1); ++round) {
      c = SSL_connect(client);
      carry(client, server);
      s = SSL_accept(server);
      carry(server, client);
    }
    done = c == 1 && s == 1;
  }
  SSL_free(server);
  SSL_free(client);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  return done;
}
