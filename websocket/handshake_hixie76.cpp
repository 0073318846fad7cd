// The hixie-76 draft's server handshake reply: Origin and Host echoed, and
// the MD5 of the two key numbers and the request's last 8 bytes.
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
    "Sec-WebSocket-Location: ws://%s/\r\n"
    "Sec-WebSocket-Protocol: dumb-increment-protocol\r\n"
    "\r\n";

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
// request does not qualify or its digest could not be computed.
int64_t handshake_hixie76(QOR_WS* ws, uint8_t* request, int64_t n, char* reply) {
  int64_t key1 = header_value(request, n, "Sec-WebSocket-Key1:");
  int64_t key2 = header_value(request, n, "Sec-WebSocket-Key2:");
  int64_t origin = header_value(request, n, "Origin:");
  int64_t host = header_value(request, n, "Host:");
  if (key1 < 0 || key2 < 0 || origin < 0 || host < 0 || n < 8) return 0;

  char c_origin[value_max + 1];
  char c_host[value_max + 1];
  if (!copy_value(request, n, origin, c_origin) || !copy_value(request, n, host, c_host)) return 0;
  uint32_t number1 = 0;
  uint32_t number2 = 0;
  if (!key_number(request, n, key1, &number1) || !key_number(request, n, key2, &number2)) return 0;

  uint8_t challenge[16];
  put_be32(challenge, number1);
  put_be32(challenge + 4, number2);
  std::memcpy(challenge + 8, request + n - 8, 8);
  uint8_t digest[md5_length];
  if (!challenge_digest(ws, challenge, digest)) return 0;
  a_store(ws->version, 8u);

  int64_t r = std::snprintf(reply, size_t(ws_reply_capacity), reply_format, c_origin, c_host);
  std::memcpy(reply + r, digest, md5_length);
  reply[r + md5_length] = 0;
  return r + md5_length;
}
