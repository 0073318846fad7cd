// The RFC 6455 server handshake reply (section 4.2.2) and its accept value.
#include <cstdio>
#include <cstring>

#include "common/atomic.h"
#include "common/report.h"
#include "platform/crypt.h"
#include "platform/sync.h"
#include "websocket/header_lookup.h"
#include "websocket/ws.h"

namespace {

const char guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr uint32_t guid_length = sizeof(guid) - 1;
constexpr uint32_t sha1_length = 20;

const char reply_format[] =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Upgrade: WebSocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Accept: %s\r\n"
    "\r\n";
const char protocol_line[] = "Sec-WebSocket-Protocol: ";
constexpr int64_t protocol_line_length = sizeof(protocol_line) - 1;

}  // namespace

// base64(SHA-1(key + GUID)), 28 characters and a NUL into `out`
// (ws_accept_capacity bytes). 0 and nothing written when no digest came.
int32_t accept_key(QOR_WS* ws, const uint8_t* key, uint32_t key_length, char* out) {
  ws->init(win::CALG_SHA1);
  if (!ws->hash_ready) return 0;
  if (ws->hash_data(key, key_length) != 0) return 0;
  if (!win::CryptHashData(ws->ctx[0], reinterpret_cast<const uint8_t*>(guid), guid_length, 0)) {
    report_error(win::GetLastError(), L"CryptHashData(ctx[index], data, length, 0)");
    return 0;
  }
  if (ws->hash_value() != 0) return 0;
  // A provider that reports another digest size would not fit the value.
  if (ws->txt_lengths != sha1_length) return 0;
  int64_t written = base64_encode(ws->txt_hashes[0], sha1_length, out);
  ws->release();
  return int32_t(written);
}

// Reply into `reply` (ws_reply_capacity bytes) and its length; 0 when there
// is none. Without a key header the request may still be hixie-76.
int64_t handshake_rfc6455(QOR_WS* ws, uint8_t* request, int64_t n, char* reply, const uint8_t* key3) {
  int64_t key = header_value(request, n, "Sec-WebSocket-Key:");
  if (key < 0) return handshake_hixie76(ws, request, n, reply, key3);
  a_store(ws->version, 13u);

  // An empty key (the header ends the bytes read) gives nothing to accept.
  int64_t key_end = token_end(request, n, key, false);
  if (key_end == key) return 0;
  char accept[ws_accept_capacity];
  if (accept_key(ws, request + key, uint32_t(key_end - key), accept) <= 0) return 0;

  int64_t token = header_value(request, n, "Sec-WebSocket-Protocol:");
  int64_t t = token < 0 ? 0 : token_end(request, n, token, true) - token;

  int64_t r = std::snprintf(reply, size_t(ws_reply_capacity), reply_format, accept);
  if (t <= 0 || r + t + 27 >= ws_reply_capacity) return r;

  // The protocol line goes in front of the reply's final empty line.
  char* p = reply + r - 2;
  std::memcpy(p, protocol_line, protocol_line_length);
  p += protocol_line_length;
  std::memcpy(p, request + token, size_t(t));
  p += t;
  std::memcpy(p, "\r\n\r\n", 5);
  return r + t + 26;
}
