// The WebSocket opening handshake of a freshly set-up connection: a peek for
// "GET " on a plain connection, the request read whole within one window
// from the start of the attempt, and the reply.
#include <cstring>

#include "common/atomic.h"
#include "platform/console.h"
#include "platform/sync.h"
#include "platform/winsock.h"
#include "relay/globals.h"
#include "websocket/header_lookup.h"
#include "websocket/ws.h"

namespace {

// The whole request must come within this from the start of the attempt,
// however many pieces it comes in: a slow client holds the reader no longer.
constexpr uint64_t window_ms = 500;
// A hixie-76 request ends 8 key bytes after its empty line.
constexpr int64_t hixie76_key_bytes = 8;

const char empty_line[] = "\r\n\r\n";

// A plain client is tried only when its first four bytes are "GET "; the peek
// leaves them queued for the raw relay otherwise.
bool peeks_get(QOR_WS* ws) {
  char head[4];
  int got = win::recv(a_load(ws->tls.so), head, 4, win::MSG_PEEK);
  return got == 4 && std::memcmp(head, "GET ", 4) == 0;
}

bool begins_with_get(const uint8_t* request, int64_t n) {
  return n >= 4 && std::memcmp(request, "GET ", 4) == 0;
}

// One stream read; the stream's deadline ends it. 0 or less when the window
// is over, the peer closed or the read failed.
int64_t read_more(QOR_WS* ws, uint8_t* buf, int64_t size) { return ws->tls.recv(buf, int32_t(size)); }

// The search for the empty line, one byte at a time, so that it carries
// across reads: the number of its bytes matched so far after byte b.
int next_match(int matched, uint8_t b) {
  if (b == uint8_t(empty_line[matched])) return matched + 1;
  return b == '\r' ? 1 : 0;
}

// Where a request whose empty line ends at `e` ends: hixie-76's key bytes
// follow that line (an RFC 6455 key takes precedence, as in the reply).
int64_t request_end(const uint8_t* request, int64_t e) {
  bool hixie76 = header_value(request, e, "Sec-WebSocket-Key1:") >= 0 &&
                 header_value(request, e, "Sec-WebSocket-Key:") < 0;
  return hixie76 ? e + hixie76_key_bytes : e;
}

// Reads and drops the rest of a request too long for the buffer, up to its
// empty line, so that none of it is ever relayed.
void drop_rest(QOR_WS* ws, int matched) {
  uint8_t scratch[1024];
  while (matched < 4) {
    int64_t n = read_more(ws, scratch, sizeof scratch);
    if (n <= 0) return;
    for (int64_t i = 0; i < n && matched < 4; ++i) matched = next_match(matched, scratch[i]);
  }
}

// Reads on behind the `held` bytes until the request is whole, the buffer
// (`cap` bytes) is full or the window ends. Returns the length to parse: the
// request's own when its end came (what follows it is dropped), else what
// is held.
int64_t read_request(QOR_WS* ws, uint8_t* request, int64_t held, int64_t cap) {
  int matched = 0;
  int64_t scanned = 0;
  int64_t end = -1;
  for (;;) {
    while (end < 0 && scanned < held) {
      matched = next_match(matched, request[scanned++]);
      if (matched == 4) end = request_end(request, scanned);
    }
    if (end >= 0 && held >= end) return end;
    if (held == cap) {
      if (end < 0) drop_rest(ws, matched);
      return held;
    }
    int64_t n = read_more(ws, request + held, cap - held);
    if (n <= 0) return held;
    held += n;
  }
}

// Reads the request within the stream's deadline and answers it; the
// results are handshake's.
int32_t answer(QOR_WS* ws, uint8_t* request, bool tls) {
  ws->partial = 0;
  ws->more = 0;
  ws->continuation = 0;
  char c_header_server[ws_reply_capacity];
  std::memset(c_header_server, 0, sizeof(c_header_server));

  const uint64_t length = packet_length;
  const int64_t cap = length - 1 > 0x7FFFFFFF ? 0x7FFFFFFF : int64_t(length - 1);
  int64_t n = read_more(ws, request, cap);
  if (n <= 0) return -1;
  const bool get = begins_with_get(request, n);
  if (get) n = read_request(ws, request, n, cap);
  request[n] = 0;

  int64_t c_header_server_size = handshake_rfc6455(ws, request, n, c_header_server);
  if (c_header_server_size <= 0) {
    // A TLS client that sends at once: its data, not a request.
    if (tls && !get) return int32_t(n);
    win::printf("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    return -1;
  }
  if (ws->tls.send(reinterpret_cast<uint8_t*>(c_header_server), uint64_t(c_header_server_size)) == -1) {
    win::printf("[%i] tls.send(c_header_server, c_header_server_size)\n", win::WSAGetLastError());
    return -1;
  }
  ws->type = 1;
  ws->utf8_pending = 3;
  ws->utf8_lenient = 1;
  ws->ws = 1;
  return 0;
}

}  // namespace

// 0 when the connection now speaks WebSocket; n > 0 when the n bytes now at
// the start of `request` are a TLS client's first data, no request, for the
// relay to pass on; -1 otherwise, and the connection stays raw.
// `request` is the slot's receive buffer of packet_length bytes.
int32_t handshake(QOR_WS* ws, uint8_t* request) {
  if (!request || packet_length < ws_min_packet_length) return -1;
  const uint64_t deadline = win::GetTickCount64() + window_ms;
  const bool tls = a_load(ws->tls.ssl) != nullptr;
  if (!tls && !peeks_get(ws)) return -1;
  // Every socket read of the request ends by the deadline, also each of
  // those one TLS record takes. A plain request the peek found waiting is
  // read even when the peek took the whole window.
  const uint64_t now = win::GetTickCount64();
  ws->tls.recv_deadline = tls || deadline > now ? deadline : now + 1;
  int32_t r = answer(ws, request, tls);
  ws->tls.recv_deadline = 0;
  return r;
}
