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
// A plain request whose "GET " the peek saw late in the window still has
// this long for its pieces: it must never be relayed as data.
constexpr uint64_t grace_ms = 250;
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

// Reads exactly `size` bytes, or fails when the window ends first.
bool read_exact(QOR_WS* ws, uint8_t* buf, int64_t size) {
  while (size > 0) {
    int64_t n = read_more(ws, buf, size);
    if (n <= 0) return false;
    buf += n;
    size -= n;
  }
  return true;
}

// The search for the empty line, one byte at a time, so that it carries
// across reads: the number of its bytes matched so far after byte b.
int next_match(int matched, uint8_t b) {
  if (b == uint8_t(empty_line[matched])) return matched + 1;
  return b == '\r' ? 1 : 0;
}

// A hixie-76 request's key bytes follow its empty line (an RFC 6455 key
// takes precedence, as in the reply).
bool wants_key_bytes(const uint8_t* request, int64_t head) {
  return header_value(request, head, "Sec-WebSocket-Key1:") >= 0 &&
         header_value(request, head, "Sec-WebSocket-Key:") < 0;
}

// What the driver read of one request: the n bytes at the start of the
// buffer to parse, and hixie-76's key bytes when they could not follow them
// there. n 0 parses nothing: the request is refused.
struct request_read {
  int64_t n;
  bool key_aside;
  uint8_t key3[hixie76_key_bytes];
};

// Reads and drops the rest of a request too long for the buffer, up to its
// empty line, so that none of it is ever relayed. The first bytes behind that
// line, up to 8, go to `key3`. Returns how many went there, or -1 when the
// empty line did not come within the window.
int64_t drop_rest(QOR_WS* ws, int matched, uint8_t* key3) {
  uint8_t scratch[1024];
  for (;;) {
    int64_t n = read_more(ws, scratch, sizeof scratch);
    if (n <= 0) return -1;
    int64_t i = 0;
    while (i < n && matched < 4) matched = next_match(matched, scratch[i++]);
    if (matched < 4) continue;
    int64_t got = n - i < hixie76_key_bytes ? n - i : hixie76_key_bytes;
    std::memcpy(key3, scratch + i, size_t(got));
    return got;
  }
}

// A cut request is parsed up to its last whole line: a header cut off at
// the end would give a wrong value.
int64_t whole_lines(const uint8_t* request, int64_t held) {
  for (int64_t i = held; i >= 2; --i)
    if (request[i - 2] == '\r' && request[i - 1] == '\n') return i;
  return held;
}

// The request does not fit the `cap` bytes held: its head ends at `head`
// (only its key bytes are cut), or it ends further on (-1; `matched` bytes of
// its empty line are held). Whatever the buffer cannot take is read and
// dropped within the window, and a hixie-76 digest is made over the client's
// own key bytes or not at all.
void read_cut(QOR_WS* ws, uint8_t* request, int64_t cap, int64_t head, int matched, request_read* out) {
  int64_t got;
  if (head >= 0) {
    got = cap - head;
    std::memcpy(out->key3, request + head, size_t(got));
    out->n = head;
  } else {
    got = drop_rest(ws, matched, out->key3);
    out->n = whole_lines(request, cap);
    // An RFC 6455 request ends at its empty line.
    if (header_value(request, out->n, "Sec-WebSocket-Key:") >= 0) return;
  }
  out->key_aside = got >= 0 && read_exact(ws, out->key3 + got, hixie76_key_bytes - got);
  if (!out->key_aside) out->n = 0;
}

// Reads on behind the `held` bytes until the request is whole, the buffer
// (`cap` bytes) is full or the window ends. A whole request is parsed to its
// own end (what follows it is dropped); one the window cut short, as held.
void read_request(QOR_WS* ws, uint8_t* request, int64_t held, int64_t cap, request_read* out) {
  int matched = 0;
  int64_t scanned = 0;
  int64_t head = -1;
  int64_t end = -1;
  for (;;) {
    while (end < 0 && scanned < held) {
      matched = next_match(matched, request[scanned++]);
      if (matched < 4) continue;
      head = scanned;
      end = wants_key_bytes(request, head) ? head + hixie76_key_bytes : head;
    }
    out->n = held;
    if (end >= 0 && held >= end) {
      out->n = end;
      return;
    }
    if (held == cap) return read_cut(ws, request, cap, head, matched, out);
    int64_t n = read_more(ws, request + held, cap - held);
    if (n <= 0) return;
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
  request_read got{read_more(ws, request, cap), false, {}};
  if (got.n <= 0) return -1;
  const bool get = begins_with_get(request, got.n);
  if (get) read_request(ws, request, got.n, cap, &got);
  request[got.n] = 0;

  int64_t c_header_server_size =
      handshake_rfc6455(ws, request, got.n, c_header_server, got.key_aside ? got.key3 : nullptr);
  if (c_header_server_size <= 0) {
    // A TLS client that sends at once: its data, not a request.
    if (tls && !get) return int32_t(got.n);
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
  // those one TLS record takes. A plain request the peek found is read
  // whenever the peek returned: its pieces may still be coming in.
  const uint64_t late = win::GetTickCount64() + grace_ms;
  ws->tls.recv_deadline = tls || deadline > late ? deadline : late;
  int32_t r = answer(ws, request, tls);
  ws->tls.recv_deadline = 0;
  return r;
}
