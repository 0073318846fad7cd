// The text/binary choice for an RFC 6455 recipient. The state (type, pending
// continuation bytes, start-of-stream leniency) is the recipient's and runs
// on from one payload to the next.
//
// A text frame must hold valid UTF-8 by itself (RFC 6455 sections 5.6, 8.1:
// a client fails the connection otherwise). So a payload that ends inside a
// character, or begins with the tail of one, goes out as binary, that
// payload only; and sequences UTF-8 forbids (overlong, surrogates, beyond
// U+10FFFF) count as invalid and make the recipient binary for good.
#include "websocket/ws.h"

namespace {

constexpr int32_t text = 1;
constexpr int32_t binary = 2;

bool is_special(const uint8_t* p, uint64_t n) {
  return (n == 1 && p[0] == 0xFF) || (n == 2 && p[0] == 0x00 && p[1] == 0xFF);
}

bool in(uint8_t b, uint8_t lo, uint8_t hi) { return b >= lo && b <= hi; }

// The next byte, when the payload holds it, rules out a surrogate (0xED) or a
// code point beyond U+10FFFF (0xF4).
bool forbidden_pair(const uint8_t* p, uint64_t n, uint64_t i) {
  if (i + 1 >= n) return false;
  if (p[i] == 0xED) return in(p[i + 1], 0xA0, 0xBF);
  if (p[i] == 0xF4) return in(p[i + 1], 0x90, 0xBF);
  return false;
}

// Expected continuation bytes after lead byte b, or -1 when it cannot start
// a character here: no value bits, a refused range, or a character still open.
int32_t lead_pending(uint8_t b, int32_t pending, int32_t lenient) {
  bool may_start = lenient != 0 || pending == 0;
  if (b >= 0xF0) return (b & 0x07) && may_start && b <= 0xF4 ? 3 : -1;
  if (b >= 0xE0) return (b & 0x0F) && may_start ? 2 : -1;
  if (b >= 0xD8) return -1;
  return (b & 0x1F) && may_start && b != 0xC1 ? 1 : -1;
}

}  // namespace

// Opcode 1 or 2 for this payload to this recipient.
int32_t text_or_binary(QOR_WS* ws, const uint8_t* p, uint64_t n) {
  int32_t& type = ws->type;
  int32_t& pending = ws->utf8_pending;
  int32_t& lenient = ws->utf8_lenient;
  if (type != text) return type;
  int32_t result = text;
  // The payload before ended inside a character: this one begins with its tail.
  if (lenient == 0 && pending > 0) result = binary;

  if (is_special(p, n)) {
    if (lenient == 0 && pending != 0) type = binary;
    pending = 0;
    lenient = 0;
    return binary;
  }
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t b = p[i];
    if (b < 0x80) {
      // A character broken off by a single byte.
      if (lenient == 0 && pending != 0) return type = binary;
      pending = 0;
      lenient = 0;
      continue;
    }
    if (b >= 0xF8) {
      pending = 0;
      if (lenient == 0) return type = binary;
      result = binary;
      lenient = 0;
      continue;
    }
    if (b >= 0xC0) {
      pending = lead_pending(b, pending, lenient);
      if (forbidden_pair(p, n, i)) pending = -1;
      lenient = 0;
    } else {
      // Continuation bytes at the stream's start may be the tail of a
      // character cut off before it: let them by, but not as text.
      if (lenient != 0) result = binary;
      if (--pending == 0) lenient = 0;
    }
    if (pending < 0) return type = binary;
  }
  // A character left open makes this payload binary; the next finishes it.
  if (pending > 0) result = binary;
  return result;
}
