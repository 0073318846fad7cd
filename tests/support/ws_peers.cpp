#include "support/ws_peers.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <thread>

namespace {

constexpr uint8_t MASK_KEY[4] = {0x37, 0xFA, 0x21, 0x3D};

std::string read_through_empty_line(wire& w, int ms) {
  std::string head;
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (head.size() < 4096 && head.find("\r\n\r\n") == std::string::npos) {
    uint64_t now = now_us();
    if (now >= end) break;
    std::string b = w.read(1, int((end - now) / 1000) + 1);
    if (b.empty()) break;
    head += b;
  }
  return head;
}

}  // namespace

bool wire::connect(uint16_t port, mode m, int min_version, int max_version, int rcvbuf) {
  if (min_version == 0) min_version = TLS1_2_VERSION;
  if (m == tls) {
    secure = std::make_unique<tls_client>();
    if (!secure->prepare(min_version, max_version)) return false;
  }
  if (!tcp.connect(port, rcvbuf, 0, false)) return false;
  return m == plain || secure->connect(tcp.fd, min_version, max_version, 5000);
}

bool wire::send(const std::string& bytes, int ms) {
  if (secure) return secure->write_all(bytes.data(), bytes.size(), ms);
  return tcp.send_all(bytes, ms);
}

std::string wire::read(size_t n, int ms) {
  if (secure) return secure->read(n, ms);
  return tcp.read(n, ms);
}

bool wire::wait_closed(int ms) {
  if (!secure) return tcp.wait_closed(ms);
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  while (now_us() < end) {
    SSL* ssl = secure->ssl;
    char block[4096];
    ERR_clear_error();
    int n = SSL_read(ssl, block, sizeof block);
    if (n > 0) continue;
    int e = SSL_get_error(ssl, n);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string ws_frame(uint8_t first, const std::string& payload, bool masked, int length_form) {
  uint64_t n = payload.size();
  int form = length_form != 0 ? length_form : n <= 125 ? 0 : n <= 0xFFFF ? 126 : 127;
  std::string f(1, char(first));
  uint8_t mask_bit = masked ? 0x80 : 0x00;
  if (form == 0) {
    f += char(mask_bit | n);
  } else if (form == 126) {
    f += char(mask_bit | 126);
    f += char(n >> 8);
    f += char(n);
  } else {
    f += char(mask_bit | 127);
    for (int i = 7; i >= 0; --i) f += char(n >> (8 * i));
  }
  if (!masked) return f + payload;
  f.append(reinterpret_cast<const char*>(MASK_KEY), 4);
  for (size_t i = 0; i < payload.size(); ++i) f += char(uint8_t(payload[i]) ^ MASK_KEY[i % 4]);
  return f;
}

bool read_ws_frame(wire& w, ws_in* frame, int ms) {
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  auto left = [&] { uint64_t now = now_us(); return now >= end ? 1 : int((end - now) / 1000) + 1; };
  std::string h = w.read(2, left());
  if (h.size() != 2) return false;
  frame->first = uint8_t(h[0]);
  uint64_t n = uint8_t(h[1]) & 0x7F;
  bool masked = (uint8_t(h[1]) & 0x80) != 0;
  if (n >= 126) {
    size_t k = n == 126 ? 2 : 8;
    std::string e = w.read(k, left());
    if (e.size() != k) return false;
    n = 0;
    for (char c : e) n = (n << 8) | uint8_t(c);
  }
  std::string key;
  if (masked && (key = w.read(4, left())).size() != 4) return false;
  if (n > (64u << 20)) return false;
  frame->payload = n == 0 ? std::string() : w.read(size_t(n), left());
  if (frame->payload.size() != n) return false;
  if (masked)
    for (size_t i = 0; i < n; ++i) frame->payload[i] = char(frame->payload[i] ^ key[i % 4]);
  return true;
}

std::string rfc6455_request() {
  return "GET /chat HTTP/1.1\r\n"
         "Host: server.example.com\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Origin: http://example.com\r\n"
         "Sec-WebSocket-Version: 13\r\n\r\n";
}

std::string rfc6455_reply() {
  return "HTTP/1.1 101 Switching Protocols\r\n"
         "Upgrade: WebSocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
}

bool rfc6455_open(wire& w, std::string* reply) {
  if (!w.send(rfc6455_request())) return false;
  std::string got = read_through_empty_line(w, 5000);
  if (reply != nullptr) *reply = got;
  return got == rfc6455_reply();
}

std::string hixie76_request() {
  return std::string("GET /demo HTTP/1.1\r\n"
                     "Host: example.com\r\n"
                     "Connection: Upgrade\r\n"
                     "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
                     "Sec-WebSocket-Protocol: sample\r\n"
                     "Upgrade: WebSocket\r\n"
                     "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
                     "Origin: http://example.com\r\n"
                     "\r\n") +
         "^n:ds[4U";
}

std::string hixie76_reply(bool tls) {
  return std::string("HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
                     "Upgrade: WebSocket\r\n"
                     "Connection: Upgrade\r\n"
                     "Sec-WebSocket-Origin: http://example.com\r\n"
                     "Sec-WebSocket-Location: ") +
         (tls ? "wss" : "ws") + "://example.com/demo\r\n"
         "Sec-WebSocket-Protocol: sample\r\n\r\n"
         "8jKS'y:G*Co,Wxa-";
}

bool hixie76_open(wire& w, std::string* reply) {
  if (!w.send(hixie76_request())) return false;
  std::string got = read_through_empty_line(w, 5000);
  if (got.find("\r\n\r\n") != std::string::npos) got += w.read(16, 3000);
  if (reply != nullptr) *reply = got;
  return got == hixie76_reply(w.secure != nullptr);
}

std::string hixie76_message(const std::string& payload) {
  return std::string(1, '\0') + payload + "\xFF";
}

bool read_hixie76_message(wire& w, std::string* payload, int ms) {
  uint64_t end = now_us() + uint64_t(ms) * 1000;
  auto left = [&] { uint64_t now = now_us(); return now >= end ? 1 : int((end - now) / 1000) + 1; };
  if (w.read(1, left()) != std::string(1, '\0')) return false;
  payload->clear();
  for (;;) {
    std::string b = w.read(1, left());
    if (b.empty()) return false;
    if (b[0] == '\xFF') return true;
    *payload += b;
  }
}

bool valid_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint8_t b = uint8_t(s[i]);
    size_t k;
    uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      k = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      k = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      k = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (i + k >= s.size()) return false;   // cut inside the character
    for (size_t j = 1; j <= k; ++j) {
      uint8_t c = uint8_t(s[i + j]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[k] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += k + 1;
  }
  return true;
}
