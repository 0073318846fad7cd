// base64 text of a byte string (RFC 4648, standard alphabet, padded, no
// line breaks).
#include "websocket/crypt.h"

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

// `out` needs room for 4 * ceil(length / 3) + 1 bytes; returns the count
// written before the NUL.
int64_t base64_encode(const uint8_t* data, int64_t length, char* out) {
  int64_t o = 0;
  int64_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
    out[o++] = alphabet[v >> 18 & 63];
    out[o++] = alphabet[v >> 12 & 63];
    out[o++] = alphabet[v >> 6 & 63];
    out[o++] = alphabet[v & 63];
  }
  int64_t rest = length > i ? length - i : 0;
  if (rest > 0) {
    uint32_t v = uint32_t(data[i]) << 16 | (rest == 2 ? uint32_t(data[i + 1]) << 8 : 0);
    out[o++] = alphabet[v >> 18 & 63];
    out[o++] = alphabet[v >> 12 & 63];
    out[o++] = rest == 2 ? alphabet[v >> 6 & 63] : '=';
    out[o++] = '=';
  }
  out[o] = 0;
  return o;
}
