// A TLS client for the tests, over a connected descriptor that someone else
// owns (for instance the client end of a loopback_pair). Every call has a
// time limit; the descriptor is switched to non-blocking mode.
//
//   tls_client c;
//   std::thread t([&] { c.connect(pair.client, TLS1_3_VERSION, TLS1_3_VERSION); });
//   ASSERT_EQ(stream.open(pair.take_server()), 0);
#pragma once
#include <cstddef>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

struct tls_client {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  int fd = -1;

  tls_client() = default;
  tls_client(const tls_client&) = delete;
  tls_client& operator=(const tls_client&) = delete;
  ~tls_client();

  // Makes the context and the SSL object, offering the versions from
  // min_version to max_version (0: no maximum); versions below TLS 1.2 are
  // allowed when asked for. Done before the TCP connect, it keeps the
  // library's set-up (slow under the sanitizers) out of the time the server
  // gives the first bytes to come.
  bool prepare(int min_version, int max_version);
  // Handshakes over `fd`, after prepare() when it was not called yet.
  bool connect(int fd, int min_version, int max_version, int ms = 3000);
  bool write_all(const void* data, size_t size, int ms = 3000);
  bool write_all(const std::string& text) { return write_all(text.data(), text.size()); }
  // Reads until `size` bytes have come, the peer ends the stream, or `ms` pass.
  std::string read(size_t size, int ms = 3000);
  // Writes `out` while reading `in_size` bytes, in this one thread. With
  // `key_update_every` > 0 (TLS 1.3) it asks the server for a key update after
  // each such number of bytes written, so that the server's reads produce
  // records of their own while it writes.
  bool exchange(const std::string& out, size_t in_size, std::string* in, int ms,
                size_t key_update_every = 0);
  // Sends close_notify.
  void close_notify();
  // The negotiated version, as SSL_get_version names it.
  std::string version() const;
};

// The bytes of a real ClientHello, as a client would send them first.
std::string client_hello_bytes();

// Runs a whole handshake between a server SSL object made from `server_ctx`
// and a client, over memory BIOs; true when both ends finish it.
bool handshake_in_memory(SSL_CTX* server_ctx);
