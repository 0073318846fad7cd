// The text/binary choice for an RFC 6455 recipient. The state (type, pending
// continuation bytes and the range of the next one, start-of-stream
// leniency) is the recipient's and runs on from one payload to the next.
//
// A text frame must hold well-formed UTF-8 (RFC 3629) by itself: a client
// fails the connection otherwise (RFC 6455 sections 5.6, 8.1). So a payload
// that ends inside a character, or begins with the rest of one, goes out as
// binary, that payload only; data that is not well-formed (overlong forms,
// surrogates, beyond U+10FFFF, a broken character) makes the recipient
// binary for good.
#include "websocket/ws.h"

namespace {

constexpr int32_t text = 1;
constexpr int32_t binary = 2;

bool is_special(const uint8_t* p, uint64_t n) {
  return (n == 1 && p[0] == 0xFF) || (n == 2 && p[0] == 0x00 && p[1] == 0xFF);
}

// The continuation bytes that lead byte b opens, and the range of the first
// of them: the second byte is what rules out overlong forms (E0, F0),
// surrogates (ED) and code points beyond U+10FFFF (F4). 0 when b cannot
// lead a character at all (C0, C1, F5 and up).
int32_t lead(uint8_t b, uint8_t* low, uint8_t* high) {
  *low = 0x80;
  *high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) return 1;
  if (b == 0xE0) *low = 0xA0;
  if (b == 0xED) *high = 0x9F;
  if (b >= 0xE0 && b <= 0xEF) return 2;
  if (b == 0xF0) *low = 0x90;
  if (b == 0xF4) *high = 0x8F;
  if (b >= 0xF0 && b <= 0xF4) return 3;
  return 0;
}

// Not well-formed: binary for the rest of the connection.
int32_t invalid(QOR_WS* ws) {
  ws->utf8_pending = -1;
  return ws->type = binary;
}

}  // namespace

// Opcode 1 or 2 for this payload to this recipient.
int32_t text_or_binary(QOR_WS* ws, const uint8_t* p, uint64_t n) {
  int32_t& type = ws->type;
  int32_t& pending = ws->utf8_pending;
  int32_t& lenient = ws->utf8_lenient;
  if (type != text) return type;
  int32_t result = text;
  // The payload before ended inside a character: this one begins with its rest.
  if (lenient == 0 && pending > 0) result = binary;

  if (is_special(p, n)) {
    if (lenient == 0 && pending != 0) return invalid(ws);   // breaks a character off
    pending = 0;
    lenient = 0;
    return binary;
  }
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t b = p[i];
    bool open = lenient == 0 && pending != 0;   // a character is unfinished
    if (b < 0x80) {
      if (open) return invalid(ws);   // broken off
      pending = 0;
      lenient = 0;
    } else if (b >= 0xF8) {
      if (lenient == 0) return invalid(ws);
      pending = 0;
      result = binary;
      lenient = 0;
    } else if (b >= 0xC0) {
      pending = open ? 0 : lead(b, &ws->utf8_low, &ws->utf8_high);
      lenient = 0;
      if (pending == 0) return invalid(ws);
    } else if (lenient != 0) {
      // Continuation bytes at the stream's start may be the rest of a
      // character cut off before it: let them by, but not as text.
      result = binary;
      if (--pending == 0) lenient = 0;
    } else {
      if (pending == 0 || b < ws->utf8_low || b > ws->utf8_high) return invalid(ws);
      --pending;
      ws->utf8_low = 0x80;
      ws->utf8_high = 0xBF;
    }
  }
  // A character left open makes this payload binary; the next finishes it.
  if (pending > 0) result = binary;
  return result;
}
