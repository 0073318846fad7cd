// UTF-8 encoding and decoding of single characters, for the console and the
// argument vector. wchar_t holds one UTF-32 character on this platform.
#pragma once
#include <cstddef>
#include <cstdint>

namespace win::utf8 {

constexpr char32_t replacement = 0xFFFD;

// Writes the UTF-8 form of `c` (at most 4 bytes) and returns its length.
// Surrogates and values past U+10FFFF have no UTF-8 form: they are written
// as U+FFFD so that the output stays valid text.
inline size_t encode(char32_t c, char* out) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = replacement;
  if (c < 0x80) {
    out[0] = char(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = char(0xC0 | (c >> 6));
    out[1] = char(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = char(0xE0 | (c >> 12));
    out[1] = char(0x80 | ((c >> 6) & 0x3F));
    out[2] = char(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (c >> 18));
  out[1] = char(0x80 | ((c >> 12) & 0x3F));
  out[2] = char(0x80 | ((c >> 6) & 0x3F));
  out[3] = char(0x80 | (c & 0x3F));
  return 4;
}

// Decodes one character from s[0..n) (n >= 1) into *c and returns the bytes
// taken. A byte that does not start a well-formed sequence (stray
// continuation byte, overlong form, surrogate, value past U+10FFFF, or a
// sequence cut short) yields U+FFFD and takes that one byte only, so the
// decoder resynchronises at the next byte.
inline size_t decode(const unsigned char* s, size_t n, char32_t* c) {
  unsigned char b = s[0];
  size_t len;
  char32_t v, min;
  if (b < 0x80) {
    *c = b;
    return 1;
  }
  if (b >= 0xC2 && b <= 0xDF) { len = 2; v = b & 0x1F; min = 0x80; }
  else if (b >= 0xE0 && b <= 0xEF) { len = 3; v = b & 0x0F; min = 0x800; }
  else if (b >= 0xF0 && b <= 0xF4) { len = 4; v = b & 0x07; min = 0x10000; }
  else { *c = replacement; return 1; }
  if (n < len) { *c = replacement; return 1; }
  for (size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) { *c = replacement; return 1; }
    v = (v << 6) | (s[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) { *c = replacement; return 1; }
  *c = v;
  return len;
}

}  // namespace win::utf8
