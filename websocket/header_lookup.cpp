// Header lookup of the handshake builders; see header_lookup.h.
#include "websocket/header_lookup.h"

#include <cstring>

namespace {

// Bytes that end a value or a token: control bytes, space, and 0x80 to 0xFF,
// as a signed compare with 0x20 counts them.
bool is_blank(uint8_t b) { return int8_t(b) <= 0x20; }

}  // namespace

int64_t header_value(const uint8_t* request, int64_t n, const char* name) {
  const void* nul = std::memchr(request, 0, size_t(n));
  int64_t end = nul ? static_cast<const uint8_t*>(nul) - request : n;
  int64_t len = int64_t(std::strlen(name));
  for (int64_t i = 0; i + len <= end; ++i) {
    const void* hit = std::memchr(request + i, uint8_t(name[0]), size_t(end - len - i + 1));
    if (!hit) return -1;
    i = static_cast<const uint8_t*>(hit) - request;
    if (std::memcmp(request + i, name, size_t(len)) != 0) continue;
    int64_t v = i + len;
    while (v < n && is_blank(request[v])) ++v;
    return v;
  }
  return -1;
}

int64_t token_end(const uint8_t* request, int64_t n, int64_t start, bool stop_at_comma) {
  if (start >= n) return start;
  int64_t i = start + 1;
  while (i < n && !is_blank(request[i]) && !(stop_at_comma && request[i] == ',')) ++i;
  return i;
}

int64_t line_end(const uint8_t* request, int64_t n, int64_t start) {
  if (start >= n) return n;
  const void* cr = std::memchr(request + start, '\r', size_t(n - start));
  return cr ? static_cast<const uint8_t*>(cr) - request : n;
}
