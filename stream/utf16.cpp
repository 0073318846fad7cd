// UTF-16 to UTF-8 for the certificate file names, which OpenSSL takes as
// narrow text. Unpaired surrogates are mended, not refused.
#include "stream/context.h"

namespace {

// Writes one code point when its bytes fit in `room`. Returns the bytes
// written, or 0 when they did not fit.
int put_code_point(uint8_t* dst, uint64_t room, uint32_t cp) {
  uint8_t bytes[4];
  int n;
  if (cp < 0x80) {
    bytes[0] = static_cast<uint8_t>(cp);
    n = 1;
  } else if (cp < 0x800) {
    bytes[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
    bytes[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    bytes[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
    bytes[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    n = 4;
  }
  if (static_cast<uint64_t>(n) > room) return 0;
  for (int i = 0; i < n; ++i) dst[i] = bytes[i];
  return n;
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

// Returns the bytes written before the NUL, or 0 when the text with its NUL
// does not fit (the buffer then ends in a NUL within its bounds) or is empty.
uint64_t utf16_to_utf8(uint8_t* dst, uint64_t dst_size, const char16_t* src) {
  if (dst == nullptr || src == nullptr || dst_size == 0) return 0;
  uint64_t at = 0;
  for (;;) {
    char16_t u = *src++;
    if (u == 0) break;
    uint32_t cp = u;
    if (is_low_surrogate(u)) continue;   // no high surrogate before it
    if (is_high_surrogate(u)) {
      char16_t v = *src;
      if (v == 0) break;                 // the text ends inside a pair
      cp = 0x10000 + ((static_cast<uint32_t>(u) & 0x3FF) << 10);
      if (is_low_surrogate(v)) {
        cp |= v & 0x3FF;
        ++src;
      }                                  // else: v is read again as its own unit
    }
    int n = put_code_point(dst + at, dst_size - at, cp);
    if (n == 0) {
      dst[at] = 0;
      return 0;
    }
    at += static_cast<uint64_t>(n);
    if (at == dst_size) {
      // No byte left for the NUL: cut the text at the last byte.
      dst[at - 1] = 0;
      return 0;
    }
  }
  dst[at] = 0;
  return at;
}
