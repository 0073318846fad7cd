// The WebSocket opening handshake of a freshly set-up connection: at most one
// peek, one read and one send, each bounded by the socket's receive time-out.
#include <cstring>

#include "platform/console.h"
#include "platform/winsock.h"
#include "relay/globals.h"
#include "websocket/ws.h"

namespace {

// A plain client is tried only when its first four bytes are "GET "; the peek
// leaves them queued for the raw relay otherwise.
bool peeks_get(QOR_WS* ws) {
  char head[4];
  int got = win::recv(ws->tls.so, head, 4, win::MSG_PEEK);
  return got == 4 && std::memcmp(head, "GET ", 4) == 0;
}

}  // namespace

// 0 when the connection now speaks WebSocket; -1 otherwise, and it stays raw.
// `request` is the slot's receive buffer of packet_length bytes.
int32_t handshake(QOR_WS* ws, uint8_t* request) {
  uint64_t length = packet_length;
  if (!request || length < ws_min_packet_length) return -1;
  if (!ws->tls.ssl && !peeks_get(ws)) return -1;

  ws->partial = 0;
  ws->more = 0;
  ws->continuation = 0;
  char c_header_server[ws_reply_capacity];
  std::memset(c_header_server, 0, sizeof(c_header_server));

  uint64_t ask = length - 1 > 0x7FFFFFFF ? 0x7FFFFFFF : length - 1;
  int64_t n = ws->tls.recv(request, int32_t(ask));
  if (n <= 0) return -1;
  request[n] = 0;

  int64_t c_header_server_size = handshake_rfc6455(ws, request, n, c_header_server);
  if (c_header_server_size <= 0) {
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
