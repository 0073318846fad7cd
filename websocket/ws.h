// QOR_WS: the WebSocket endpoint of one slot, over its stream `tls`.
#pragma once
#include "stream/tls.h"
#include "websocket/crypt.h"

struct QOR_WS : QOR_CRYPT {
  uint8_t saved_byte;       // first byte of the next frame, under the payload's NUL
  uint8_t ws;               // WebSocket framing is on
  uint8_t partial;          // the buffer ends in an incomplete frame
  uint8_t more;             // another frame follows in the buffer
  uint8_t continuation;     // a fragmented message is in progress
  int32_t type;             // opcode sent to this peer: 1 text, 2 binary (for good)
  int32_t utf8_pending;     // continuation bytes expected; -1 invalid
  int32_t utf8_lenient;     // start-of-stream leniency
  uint8_t utf8_low;         // range of the next continuation byte,
  uint8_t utf8_high;        //   set by each lead byte
  uint32_t version;         // 13 RFC 6455, 8 hixie-76, 0 none or closed
  QOR_TLS tls;
};

// No WebSocket handshake is tried below this packet length.
constexpr uint64_t ws_min_packet_length = 256;
// Room kept in front of an RFC 6455 payload for the longest header: a send
// half of L bytes takes payloads of at most L - ws_header_room bytes.
constexpr uint64_t ws_header_room = 10;

QOR_WS* ws_init(QOR_WS* ws);
void ws_close(QOR_WS* ws);

// Handshakes (handshake.cpp). The reply buffer of the builders holds
// ws_reply_capacity bytes; accept_key's output ws_accept_capacity (28 + NUL).
constexpr int64_t ws_reply_capacity = 2048;
constexpr int64_t ws_accept_capacity = 29;
// handshake: 0 WebSocket; n > 0 a TLS client's first data (n bytes left at
// the start of `request`, to relay); -1 raw.
int32_t handshake(QOR_WS* ws, uint8_t* request);
// A hixie-76 request's 8 key bytes are the last 8 of the n bytes, or `key3`
// where the driver kept them apart (behind a request cut to fit the buffer).
int64_t handshake_rfc6455(QOR_WS* ws, uint8_t* request, int64_t n, char* reply,
                          const uint8_t* key3 = nullptr);
int64_t handshake_hixie76(QOR_WS* ws, uint8_t* request, int64_t n, char* reply,
                          const uint8_t* key3 = nullptr);
int32_t accept_key(QOR_WS* ws, const uint8_t* key, uint32_t key_length, char* out);

// Frames (frame_decoder.cpp, frame_encoder.cpp, text_check.cpp)
// decrypt: n >= 1 a payload at *payload; the count held with `partial` set;
// RFC 6455 frames it does not take: 0 ping, pong or empty data frame, -1
// malformed, -2 stray continuation, -3 larger than a read of packet_length - 1
// bytes; -8 close (answered). hixie-76: -1 malformed, -8 close.
int64_t decrypt(QOR_WS* ws, uint8_t* frame, uint64_t msg_size_read, uint8_t** payload);
uint8_t* encrypt(QOR_WS* ws, uint8_t* dst, uint64_t dst_size, const uint8_t* src, uint64_t* len);
int32_t text_or_binary(QOR_WS* ws, const uint8_t* p, uint64_t n);
