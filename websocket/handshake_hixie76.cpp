// The hixie-76 draft's server handshake reply: Origin echoed, the location
// the client asked for, its protocol, and the MD5 of the two key numbers and
// the 8 key bytes behind the request's headers.
#include <cstdio>
#include <cstring>

#include "common/atomic.h"
#include "common/report.h"
#include "platform/crypt.h"
#include "platform/sync.h"
#include "websocket/header_lookup.h"
#include "websocket/ws.h"

namespace {

// Origin and Host values and key digits beyond this are refused: a cut value
// would give a wrong location or challenge.
constexpr int64_t value_max = 127;
constexpr uint32_t md5_length = 16;

const char reply_format[] =
    "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
    "Upgrade: WebSocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Origin: %s\r\n"
    "Sec-WebSocket-Location: %s%s%.*s\r\n"
    "Sec-WebSocket-Protocol: %.*s\r\n"
    "\r\n";
// Named when the client asks for none.
const char default_protocol[] = "dumb-increment-protocol";

// Copies the value at `start` up to its carriage return into `out`
// (value_max + 1 bytes). False when it is longer than value_max.
bool copy_value(const uint8_t* request, int64_t n, int64_t start, char* out) {
  int64_t end = line_end(request, n, start);
  int64_t len = end > start ? end - start : 0;
  if (len > value_max) return false;
  std::memcpy(out, request + start, size_t(len));
  out[len] = 0;
  return true;
}

// A key's number: its digits read as a decimal number (saturating at
// 0xFFFFFFFF), divided by its count of spaces. False when it has no space or
// more than value_max digits.
bool key_number(const uint8_t* request, int64_t n, int64_t start, uint32_t* number) {
  int64_t end = line_end(request, n, start);
  uint32_t spaces = 0;
  int64_t digits = 0;
  uint64_t value = 0;
  for (int64_t i = start; i < end; ++i) {
    uint8_t b = request[i];
    if (b == ' ') {
      ++spaces;
    } else if (b >= '0' && b <= '9') {
      ++digits;
      value = value * 10 + (b - '0');
      if (value > 0xFFFFFFFF) value = 0xFFFFFFFF;
    }
  }
  if (spaces == 0 || digits > value_max) return false;
  *number = uint32_t(value) / spaces;
  return true;
}

// A draft-76 client fails a connection whose location is not the URL it
// opened: the resource is the request line's, as sent ("/demo", "/a?x=1").
struct span {
  const char* p;
  int len;
};

span resource_of(const uint8_t* request, int64_t n) {
  if (n < 4 || std::memcmp(request, "GET ", 4) != 0) return {"/", 1};
  int64_t e = 4;
  while (e < n && request[e] != ' ' && request[e] != '\r' && request[e] != '\n') ++e;
  return {reinterpret_cast<const char*>(request) + 4, int(e - 4)};
}

// The client's own protocol, which it checks the reply against; the default
// when it sent none. A value the blank skip found on a later line is none.
span protocol_of(const uint8_t* request, int64_t n) {
  const span none{default_protocol, int(sizeof default_protocol - 1)};
  int64_t v = header_value(request, n, "Sec-WebSocket-Protocol:");
  if (v < 0 || v >= n) return none;
  for (int64_t i = v - 1; request[i] != ':'; --i)
    if (request[i] == '\n') return none;
  return {reinterpret_cast<const char*>(request) + v, int(line_end(request, n, v) - v)};
}

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// MD5 of the 16-byte challenge into `digest`. On a failure the digest object
// keeps what it holds until its next init.
bool challenge_digest(QOR_WS* ws, const uint8_t* challenge, uint8_t* digest) {
  ws->init(win::CALG_MD5);
  if (!ws->hash_ready) return false;
  if (!win::CryptHashData(ws->ctx[0], challenge, 16, 0)) {
    report_error(win::GetLastError(), L"CryptHashData(ctx[index], data, length, 0)");
    return false;
  }
  if (ws->hash_value() != 0 || ws->txt_lengths != md5_length) return false;
  std::memcpy(digest, ws->txt_hashes[0], md5_length);
  ws->release();
  return true;
}

}  // namespace

// Reply into `reply` (ws_reply_capacity bytes) and its length; 0 when the
// request does not qualify, its reply would not fit, or its digest could not
// be computed. The key bytes are `key3` when given, else the last 8 of the n.
int64_t handshake_hixie76(QOR_WS* ws, uint8_t* request, int64_t n, char* reply, const uint8_t* key3) {
  int64_t key1 = header_value(request, n, "Sec-WebSocket-Key1:");
  int64_t key2 = header_value(request, n, "Sec-WebSocket-Key2:");
  int64_t origin = header_value(request, n, "Origin:");
  int64_t host = header_value(request, n, "Host:");
  if (key1 < 0 || key2 < 0 || origin < 0 || host < 0 || (!key3 && n < 8)) return 0;

  char c_origin[value_max + 1];
  char c_host[value_max + 1];
  if (!copy_value(request, n, origin, c_origin) || !copy_value(request, n, host, c_host)) return 0;
  uint32_t number1 = 0;
  uint32_t number2 = 0;
  if (!key_number(request, n, key1, &number1) || !key_number(request, n, key2, &number2)) return 0;

  const bool tls = a_load(ws->tls.ssl) != nullptr;
  const span resource = resource_of(request, n);
  const span protocol = protocol_of(request, n);
  int64_t r = std::snprintf(reply, size_t(ws_reply_capacity), reply_format, c_origin,
                            tls ? "wss://" : "ws://", c_host, resource.len, resource.p,
                            protocol.len, protocol.p);
  if (r < 0 || r + md5_length >= ws_reply_capacity) return 0;

  uint8_t challenge[16];
  put_be32(challenge, number1);
  put_be32(challenge + 4, number2);
  std::memcpy(challenge + 8, key3 ? key3 : request + n - 8, 8);
  uint8_t digest[md5_length];
  if (!challenge_digest(ws, challenge, digest)) return 0;
  a_store(ws->version, 8u);

  std::memcpy(reply + r, digest, md5_length);
  reply[r + md5_length] = 0;
  return r + md5_length;
}
