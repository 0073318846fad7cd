// Builds one outgoing frame inside a recipient's send half: the payload is
// copied once, to offset 10 (RFC 6455) or 1 (hixie-76), and the header is
// written in front of it where it lies.
#include <cstring>

#include "common/atomic.h"
#include "websocket/ws.h"

namespace {

constexpr uint64_t rfc6455_offset = ws_header_room;
constexpr uint64_t in_place_max = 16;

// Writes the shortest header for n in front of `payload`; returns its length.
uint64_t put_header(uint8_t* payload, uint8_t first, uint64_t n) {
  if (n <= 125) {
    payload[-2] = first;
    payload[-1] = uint8_t(n);
    return 2;
  }
  if (n <= 0xFFFF) {
    uint8_t* h = payload - 4;
    h[0] = first;
    h[1] = 126;
    h[2] = uint8_t(n >> 8);
    h[3] = uint8_t(n);
    return 4;
  }
  uint8_t* h = payload - 10;
  h[0] = first;
  h[1] = 127;
  for (int i = 0; i < 8; ++i) h[2 + i] = uint8_t(n >> (56 - 8 * i));
  return 10;
}

}  // namespace

// The frame's first byte inside dst and, in *len, its length; NULL (and *len
// unchanged) when there is nothing to send, it does not fit, or a hixie-76
// recipient cannot take it.
uint8_t* encrypt(QOR_WS* ws, uint8_t* dst, uint64_t dst_size, const uint8_t* src, uint64_t* len) {
  // The recipient's reader may zero it on a close: one read decides the frame.
  uint32_t version = a_load(ws->version);
  if (!dst || !src || *len == 0 || version == 0) return nullptr;
  uint64_t n = *len;
  bool rfc6455 = version >= 13;

  uintptr_t behind = uintptr_t(src) - uintptr_t(dst);
  bool in_place = uintptr_t(src) >= uintptr_t(dst) + rfc6455_offset && behind <= in_place_max;
  uint64_t offset = in_place ? behind : rfc6455 ? rfc6455_offset : 1;
  if (offset > dst_size) return nullptr;
  uint64_t room = dst_size - offset;
  if (rfc6455 ? n > room : n >= room) return nullptr;
  // A hixie-76 message ends at the first 0xFF and cannot carry one: sent,
  // it would cut the message and leave the rest to break the peer's framing.
  if (!rfc6455 && std::memchr(src, 0xFF, n) != nullptr) return nullptr;

  uint8_t* position = dst + offset;
  if (!in_place) std::memmove(position, src, n);

  if (!rfc6455) {
    position[-1] = 0x00;
    position[n] = 0xFF;
    *len = n + 2;
    return position - 1;
  }
  int32_t opcode = text_or_binary(ws, position, n);
  uint64_t header = put_header(position, uint8_t(0x80 + opcode), n);
  *len = n + header;
  return position - header;
}
