// The two handshake reply builders on any request, placed as the driver
// places it: its n bytes and the driver's NUL in a buffer of exactly n + 1
// bytes, the reply in one of exactly the builders' capacity. Each reply is
// compared with one derived here apart from the relay's code: header lookup,
// RFC 6455 accept value (SHA-1, base64) and hixie-76 challenge (MD5).
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_input.h"
#include "websocket/ws.h"

namespace {

using bytes = std::string;

const bytes guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool blank(char c) { return int8_t(c) <= 0x20; }

bytes lower(bytes s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return s;
}

// Where the value of `name` starts, npos when no header line holds it: a
// line behind a CRLF, before the empty line and the request's first NUL,
// that begins with the name in any ASCII case.
size_t value_start(const bytes& req, const char* name) {
  const bytes head = lower(req.substr(0, req.find('\0')));
  const bytes wanted = lower(name);
  for (size_t line = head.find("\r\n"); line != bytes::npos; line = head.find("\r\n", line)) {
    line += 2;
    if (head.compare(line, 2, "\r\n") == 0) return bytes::npos;
    if (head.compare(line, wanted.size(), wanted) != 0) continue;
    size_t v = line + wanted.size();
    while (v < req.size() && blank(req[v])) ++v;
    return v;
  }
  return bytes::npos;
}

// The token at v: its first byte, then up to a blank (or a comma) or the end.
bytes token_at(const bytes& req, size_t v, bool comma) {
  if (v >= req.size()) return "";
  size_t e = v + 1;
  while (e < req.size() && !blank(req[e]) && !(comma && req[e] == ',')) ++e;
  return req.substr(v, e - v);
}

bytes line_at(const bytes& req, size_t v) {
  if (v >= req.size()) return "";
  size_t cr = req.find('\r', v);
  return req.substr(v, (cr == bytes::npos ? req.size() : cr) - v);
}

bytes digest(const bytes& data, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  FUZZ_CHECK(EVP_Digest(data.data(), data.size(), out, &size, md, nullptr) == 1);
  return bytes(reinterpret_cast<char*>(out), size);
}

bytes expected_rfc6455(const bytes& req, size_t key_at) {
  bytes key = token_at(req, key_at, false);
  if (key.empty()) return "";   // nothing to accept: no reply
  bytes sha1 = digest(key + guid, EVP_sha1());
  unsigned char accept[64];
  EVP_EncodeBlock(accept, reinterpret_cast<const unsigned char*>(sha1.data()), int(sha1.size()));
  bytes reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " + bytes(reinterpret_cast<char*>(accept)) + "\r\n";
  size_t p = value_start(req, "Sec-WebSocket-Protocol:");
  bytes token = p == bytes::npos ? "" : token_at(req, p, true);
  if (!token.empty() && reply.size() + 2 + token.size() + 27 < size_t(ws_reply_capacity))
    reply += "Sec-WebSocket-Protocol: " + token + "\r\n";
  return reply + "\r\n";
}

// A key's number, or false when it has no space or too many digits.
bool key_number(const bytes& value, uint32_t* number) {
  uint64_t v = 0;
  uint32_t spaces = 0;
  size_t digits = 0;
  for (char c : value) {
    if (c == ' ') ++spaces;
    if (c < '0' || c > '9') continue;
    ++digits;
    v = v * 10 + uint64_t(c - '0');
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;
  }
  if (spaces == 0 || digits > 127) return false;
  *number = uint32_t(v) / spaces;
  return true;
}

bytes be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// The resource of the request line, as sent; "/" without a "GET ".
bytes resource_of(const bytes& req) {
  if (req.compare(0, 4, "GET ") != 0) return "/";
  size_t e = req.find_first_of(" \r\n", 4);
  return req.substr(4, (e == bytes::npos ? req.size() : e) - 4);
}

// The client's protocol when its value lies on its own header line.
bytes protocol_of(const bytes& req) {
  size_t v = value_start(req, "Sec-WebSocket-Protocol:");
  if (v == bytes::npos || v >= req.size()) return "dumb-increment-protocol";
  size_t colon = req.rfind(':', v - 1);
  if (req.find('\n', colon) < v) return "dumb-increment-protocol";
  return line_at(req, v);
}

// Text as printf's %s / %.*s give it: up to a NUL.
bytes c_text(const bytes& s) { return s.substr(0, s.find('\0')); }

bytes expected_hixie76(const bytes& req) {
  size_t k1 = value_start(req, "Sec-WebSocket-Key1:");
  size_t k2 = value_start(req, "Sec-WebSocket-Key2:");
  size_t o = value_start(req, "Origin:");
  size_t h = value_start(req, "Host:");
  if (k1 == bytes::npos || k2 == bytes::npos || o == bytes::npos || h == bytes::npos) return "";
  if (req.size() < 8) return "";
  bytes origin = line_at(req, o);
  bytes host = line_at(req, h);
  uint32_t n1, n2;
  if (origin.size() > 127 || host.size() > 127) return "";
  if (!key_number(line_at(req, k1), &n1) || !key_number(line_at(req, k2), &n2)) return "";
  bytes md5 = digest(be32(n1) + be32(n2) + req.substr(req.size() - 8), EVP_md5());
  bytes reply = "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\n"
                "Connection: Upgrade\r\nSec-WebSocket-Origin: " + c_text(origin) +
                "\r\nSec-WebSocket-Location: ws://" + c_text(host) + c_text(resource_of(req)) +
                "\r\nSec-WebSocket-Protocol: " + c_text(protocol_of(req)) + "\r\n\r\n";
  if (reply.size() + 16 >= size_t(ws_reply_capacity)) return "";
  return reply + md5;
}

QOR_WS* object() {
  static QOR_WS* ws = [] {
    static QOR_WS w;
    return ws_init(&w);
  }();
  ws->version = 0;
  return ws;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;   // the driver builds no reply for an empty read
  uint8_t* request = new uint8_t[size + 1];
  std::memcpy(request, data, size);
  request[size] = 0;
  char* reply = new char[ws_reply_capacity];
  QOR_WS* ws = object();

  int64_t r = handshake_rfc6455(ws, request, int64_t(size), reply);
  const bytes req(reinterpret_cast<const char*>(data), size);
  size_t key_at = value_start(req, "Sec-WebSocket-Key:");
  bytes want = key_at != bytes::npos ? expected_rfc6455(req, key_at) : expected_hixie76(req);

  FUZZ_CHECK(r < ws_reply_capacity);
  bytes got = r > 0 ? bytes(reply, size_t(r)) : "";
  if (r > 0) FUZZ_CHECK(reply[r] == 0);
  FUZZ_CHECK(got == want);
  if (key_at != bytes::npos) FUZZ_CHECK(ws->version == 13);
  else if (r > 0) FUZZ_CHECK(ws->version == 8);
  // The request is only read.
  FUZZ_CHECK(std::memcmp(request, data, size) == 0 && request[size] == 0);
  delete[] reply;
  delete[] request;
  return 0;
}
