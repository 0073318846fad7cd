#include "conn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstring>
#include <thread>

namespace load {

namespace {

const char* const kind_names[] = {"raw", "tls", "ws", "wss"};
std::atomic<bool> aborted{false};

SSL_CTX* client_ctx() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);   // the relay's certificate is self-signed
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return c;
  }();
  return ctx;
}

// A throw-away certificate for the direct floor's TLS server ends; it lives
// in memory only.
SSL_CTX* server_ctx() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(c, cert);
    SSL_CTX_use_PrivateKey(c, key);
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    X509_free(cert);
    EVP_PKEY_free(key);
    return c;
  }();
  return ctx;
}

int tcp_connect(const sockaddr_in& to) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd == -1) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

bool tls_client(conn* c) {
  c->ssl = SSL_new(client_ctx());
  SSL_set_fd(c->ssl, c->fd);
  return SSL_connect(c->ssl) == 1;
}

// SHA-1 of key + GUID in base64, as the server must answer.
std::string expected_accept(const std::string& key) {
  std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(text.data(), text.size(), digest, &n, EVP_sha1(), nullptr);
  unsigned char out[64];
  int len = EVP_EncodeBlock(out, digest, int(n));
  return std::string(reinterpret_cast<char*>(out), size_t(len));
}

bool ws_handshake(conn* c, std::string* error) {
  unsigned char raw_key[16];
  RAND_bytes(raw_key, sizeof raw_key);
  unsigned char key_text[32];
  int key_len = EVP_EncodeBlock(key_text, raw_key, sizeof raw_key);
  std::string key(reinterpret_cast<char*>(key_text), size_t(key_len));
  std::string request = "GET /load HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                        "Connection: Upgrade\r\nSec-WebSocket-Key: " + key +
                        "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (!write_all(c, reinterpret_cast<const uint8_t*>(request.data()), request.size(), false)) {
    *error = "handshake request not sent";
    return false;
  }
  // The server sends nothing before its reply and nothing after it until
  // relayed data, which only flows once we are set up: read byte by byte
  // so that no frame byte is taken with the reply.
  std::string reply;
  uint8_t b;
  while (reply.size() < 4096 && reply.find("\r\n\r\n") == std::string::npos) {
    if (read_some(c, &b, 1) != 1) break;
    reply.push_back(char(b));
  }
  if (reply.rfind("HTTP/1.1 101", 0) != 0 ||
      reply.find(expected_accept(key)) == std::string::npos) {
    *error = "bad handshake reply: " + reply.substr(0, 80);
    return false;
  }
  return true;
}

}  // namespace

bool parse_kind(const std::string& text, kind* out) {
  for (int i = 0; i < 4; ++i) {
    if (text == kind_names[i]) {
      *out = kind(i);
      return true;
    }
  }
  return false;
}

const char* kind_name(kind k) { return kind_names[int(k)]; }

bool connect_relay(conn* c, const char* host, int port, kind k, std::string* error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, host, &to.sin_addr);
  c->k = k;
  c->client = true;
  RAND_bytes(reinterpret_cast<unsigned char*>(&c->mask), sizeof c->mask);
  c->fd = tcp_connect(to);
  if (c->fd == -1) {
    *error = std::string("connect: ") + strerror(errno);
    return false;
  }
  if (is_tls(k) && !tls_client(c)) {
    *error = "TLS handshake failed (is a certificate loaded?)";
    return false;
  }
  if (is_ws(k)) return ws_handshake(c, error);
  // Raw: the relay relays the hello to the clients already set up; TLS:
  // the relay takes it as a failed WebSocket request and drops it.
  const uint8_t hello = 0;
  return write_all(c, &hello, 1, false);
}

bool direct_pair(kind k, conn* sender, conn* receiver, std::string* error) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof at;
  if (ls == -1 || bind(ls, reinterpret_cast<sockaddr*>(&at), sizeof at) == -1 ||
      listen(ls, 1) == -1 || getsockname(ls, reinterpret_cast<sockaddr*>(&at), &len) == -1) {
    *error = std::string("listen: ") + strerror(errno);
    if (ls != -1) close(ls);
    return false;
  }
  receiver->k = sender->k = k;
  receiver->client = true;
  sender->client = false;
  receiver->fd = tcp_connect(at);
  sender->fd = accept(ls, nullptr, nullptr);
  close(ls);
  if (receiver->fd == -1 || sender->fd == -1) {
    *error = std::string("connect/accept: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(sender->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!is_tls(k)) return true;
  sender->ssl = SSL_new(server_ctx());
  SSL_set_fd(sender->ssl, sender->fd);
  bool client_ok = false;
  std::thread t([&] { client_ok = tls_client(receiver); });
  bool server_ok = SSL_accept(sender->ssl) == 1;
  t.join();
  if (!client_ok || !server_ok) *error = "direct TLS handshake failed";
  return client_ok && server_ok;
}

void close_conn(conn* c) {
  if (c->ssl != nullptr) SSL_free(c->ssl);
  if (c->fd != -1) close(c->fd);
  c->ssl = nullptr;
  c->fd = -1;
}

void shutdown_conn(const conn* c) {
  if (c->fd != -1) shutdown(c->fd, SHUT_RDWR);
}

long read_some(conn* c, uint8_t* buf, size_t n) {
  if (c->ssl == nullptr) {
    for (;;) {
      ssize_t got = recv(c->fd, buf, n, 0);
      if (got >= 0 || errno != EINTR) return long(got);
    }
  }
  int got = SSL_read(c->ssl, buf, int(n));
  if (got > 0) return got;
  return SSL_get_error(c->ssl, got) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

void set_nonblocking(const conn* c) {
  fcntl(c->fd, F_SETFL, fcntl(c->fd, F_GETFL) | O_NONBLOCK);
}

bool drain_available(conn* c) {
  static thread_local uint8_t sink[65536];
  for (;;) {
    if (c->ssl != nullptr) {
      int got = SSL_read(c->ssl, sink, sizeof sink);
      if (got > 0) continue;
      int e = SSL_get_error(c->ssl, got);
      return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
    }
    ssize_t got = recv(c->fd, sink, sizeof sink, MSG_DONTWAIT);
    if (got > 0) continue;
    return got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
}

void drain_until(conn* c, const std::atomic<bool>* done) {
  while (!done->load()) {
    pollfd p{c->fd, POLLIN, 0};
    if (poll(&p, 1, 50) == -1 && errno != EINTR) return;
    if (p.revents != 0 && !drain_available(c)) return;
  }
}

namespace {

// One write attempt: bytes written, 0 when it would block, -1 on failure.
long write_once(conn* c, const uint8_t* data, size_t n) {
  if (c->ssl != nullptr) {
    int put = SSL_write(c->ssl, data, int(n));
    if (put > 0) return put;
    int e = SSL_get_error(c->ssl, put);
    return e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ ? 0 : -1;
  }
  ssize_t put = send(c->fd, data, n, MSG_NOSIGNAL);
  if (put >= 0) return long(put);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

}  // namespace

bool write_all(conn* c, const uint8_t* data, size_t n, bool drain) {
  while (n > 0) {
    long put = write_once(c, data, n);
    if (put < 0) return false;
    data += put;
    n -= size_t(put);
    if (put > 0 || !drain) continue;
    if (aborted.load()) return false;
    pollfd p{c->fd, POLLIN | POLLOUT, 0};
    if (poll(&p, 1, 1000) == -1 && errno != EINTR) return false;
    if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && !drain_available(c)) return false;
  }
  return true;
}

void abort_writes(bool on) { aborted.store(on); }

size_t ws_header(const conn* c, uint8_t* out, uint64_t n) {
  size_t h = 2;
  out[0] = 0x82;   // FIN, binary
  uint8_t mask_bit = c->client ? 0x80 : 0;
  if (n < 126) {
    out[1] = uint8_t(mask_bit | n);
  } else if (n < 65536) {
    out[1] = uint8_t(mask_bit | 126);
    out[2] = uint8_t(n >> 8);
    out[3] = uint8_t(n);
    h = 4;
  } else {
    out[1] = uint8_t(mask_bit | 127);
    for (int i = 0; i < 8; ++i) out[2 + i] = uint8_t(n >> (56 - 8 * i));
    h = 10;
  }
  if (!c->client) return h;
  std::memcpy(out + h, &c->mask, 4);
  return h + 4;
}

void ws_mask(const conn* c, uint8_t* payload, size_t n) {
  if (!c->client) return;
  uint64_t m8 = uint64_t(c->mask) | uint64_t(c->mask) << 32;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, payload + i, 8);
    v ^= m8;
    std::memcpy(payload + i, &v, 8);
  }
  const uint8_t* key = reinterpret_cast<const uint8_t*>(&c->mask);
  for (; i < n; ++i) payload[i] ^= key[i % 4];
}

}  // namespace load
