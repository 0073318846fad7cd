#include "support/soak_link.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/peer_set.h"

namespace {

// The relay's answer to a close frame: FIN + close, status 1000.
const std::string CLOSE_REPLY("\x88\x02\x03\xE8", 4);

}  // namespace

const char* soak_link::name(kind k) {
  static const char* const names[] = {"raw", "tls", "ws", "wss", "hixie", "hixie-tls"};
  return names[k];
}

std::string masked_frame(uint8_t first, const std::string& payload, uint32_t key) {
  uint64_t n = payload.size();
  std::string f(1, char(first));
  if (n <= 125) {
    f += char(0x80 | n);
  } else if (n <= 0xFFFF) {
    f += char(0x80 | 126);
    f += char(n >> 8);
    f += char(n);
  } else {
    f += char(0x80 | 127);
    for (int i = 7; i >= 0; --i) f += char(n >> (8 * i));
  }
  uint8_t k[4] = {uint8_t(key >> 24), uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)};
  f.append(reinterpret_cast<const char*>(k), 4);
  for (size_t i = 0; i < n; ++i) f += char(uint8_t(payload[i]) ^ k[i % 4]);
  return f;
}

bool soak_link::open(uint16_t port, kind kind_wanted, std::string* why) {
  w.tcp.reset();
  w.secure.reset();
  out.clear();
  out_at = 0;
  write_shut = closed = close_sent = asked = false;
  fault.clear();
  answer.clear();
  in.clear();
  k = kind_wanted;
  if (!connect(port, why) || (websocket(k) && !request(why))) return false;
  int fd = w.tcp.fd;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // A small send buffer keeps what the relay has yet to read small, so that
  // a sender is held up as soon as the relay is, and its end comes soon.
  int sndbuf = 16384;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  // Non-blocking writes retried from where the data now lies.
  if (w.secure) SSL_set_mode(w.secure->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE |
                                                SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return true;
}

bool soak_link::connect(uint16_t port, std::string* why) {
  bool tls = secure(k);
  if (w.connect(port, tls ? wire::tls : wire::plain)) return true;
  *why = tls ? "TLS handshake failed" : "connect failed";
  return false;
}

// Sends the WebSocket request of the kind and reads the reply.
bool soak_link::request(std::string* why) {
  bool rfc = k == ws || k == wss;
  if (holds > 0) {
    --holds;
    std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
  }
  if (rfc ? rfc6455_open(w, &answer) : hixie76_open(w, &answer)) {
    answer.clear();
    return true;
  }
  asked = true;
  *why = std::string(rfc ? "RFC 6455" : "hixie-76") + " handshake: " + shown(answer);
  return false;
}

std::string soak_link::frame(const std::string& payload, std::mt19937& rng) const {
  if (k == hixie || k == hixie_tls) return hixie76_message(payload);
  if (k != ws && k != wss) return payload;
  // A message in two fragments now and then: each is relayed on its own.
  if (payload.size() >= 2 && rng() % 4 == 0) {
    size_t cut = 1 + rng() % (payload.size() - 1);
    return masked_frame(0x02, payload.substr(0, cut), rng()) +
           masked_frame(0x80, payload.substr(cut), rng());
  }
  return masked_frame(0x82, payload, rng());
}

long soak_link::write_some() {
  const char* p = out.data() + out_at;
  size_t n = out.size() - out_at;
  if (!w.secure) {
    ssize_t r = ::send(w.tcp.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return long(r);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  }
  ERR_clear_error();
  int r = SSL_write(w.secure->ssl, p, int(n < 16384 ? n : 16384));
  if (r > 0) return r;
  int e = SSL_get_error(w.secure->ssl, r);
  return e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ ? 0 : -1;
}

bool soak_link::read_some(std::string* payload) {
  char block[16384];
  for (int rounds = 0; rounds < 16; ++rounds) {
    long r;
    if (!w.secure) {
      r = ::recv(w.tcp.fd, block, sizeof block, MSG_DONTWAIT);
      if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        r = 0;
      }
    } else {
      ERR_clear_error();
      r = SSL_read(w.secure->ssl, block, sizeof block);
      if (r <= 0) {
        int e = SSL_get_error(w.secure->ssl, int(r));
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
        r = 0;   // the relay never sends close_notify: every end shows here
      }
    }
    if (r == 0) {
      closed = true;
      return false;
    }
    if (websocket(k)) {
      in.append(block, size_t(r));
      unframe(payload);
    } else {
      payload->append(block, size_t(r));
    }
  }
  return true;
}

bool soak_link::pump(std::string* payload, int ms) {
  if (closed) return false;
  pollfd p{w.tcp.fd, short(POLLIN | (idle() ? 0 : POLLOUT)), 0};
  // TLS may hold decrypted bytes that poll cannot see.
  bool buffered = w.secure && SSL_pending(w.secure->ssl) > 0;
  if (!buffered) ::poll(&p, 1, ms);
  while (!idle()) {
    long n = write_some();
    if (n < 0) {
      closed = true;
      return false;
    }
    if (n == 0) break;
    out_at += size_t(n);
  }
  if (idle()) {
    out.clear();
    out_at = 0;
  }
  return read_some(payload);
}

void soak_link::unframe(std::string* payload) {
  bool more = true;
  while (more && fault.empty())
    more = k == ws || k == wss ? unframe_rfc6455(payload) : unframe_hixie76(payload);
}

// One whole frame off `in`; false when none is whole yet.
bool soak_link::unframe_rfc6455(std::string* payload) {
  if (close_sent && in.compare(0, CLOSE_REPLY.size(), CLOSE_REPLY) == 0) {
    in.erase(0, CLOSE_REPLY.size());
    return true;
  }
  if (in.size() < 2) return false;
  uint8_t b0 = uint8_t(in[0]), b1 = uint8_t(in[1]);
  if ((b0 != 0x81 && b0 != 0x82) || (b1 & 0x80)) {
    fault = "frame header " + shown(in.substr(0, 2)) + " from the relay";
    return false;
  }
  uint64_t n = b1 & 0x7F;
  size_t header = n == 126 ? 4 : n == 127 ? 10 : 2;
  if (in.size() < header) return false;
  if (header > 2) {
    n = 0;
    for (size_t i = 2; i < header; ++i) n = n << 8 | uint8_t(in[i]);
  }
  if (in.size() < header + n) return false;
  payload->append(in, header, size_t(n));
  in.erase(0, header + size_t(n));
  return true;
}

bool soak_link::unframe_hixie76(std::string* payload) {
  if (in.empty()) return false;
  if (in[0] != '\0') {
    fault = "hixie-76 message beginning " + shown(in.substr(0, 1)) + " from the relay";
    return false;
  }
  size_t end = in.find('\xFF');
  if (end == std::string::npos) return false;
  payload->append(in, 1, end - 1);
  in.erase(0, end + 1);
  return true;
}

void soak_link::shut_write(std::mt19937& rng, std::string* payload) {
  if (write_shut) return;
  write_shut = true;
  if ((k == ws || k == wss) && rng() % 2 == 0) {
    close_sent = true;
    queue(masked_frame(0x88, std::string("\x03\xE8", 2), rng()));
    for (int i = 0; i < 100 && !idle() && pump(payload, 10);) ++i;
  } else if (w.secure && rng() % 2 == 0) {
    SSL_shutdown(w.secure->ssl);   // close_notify: the relay's read gives 0
  }
  ::shutdown(w.tcp.fd, SHUT_WR);
}
