// Header lookup of the handshake builders; see header_lookup.h.
#include "websocket/header_lookup.h"

#include <cstring>

namespace {

// Bytes that end a value or a token: control bytes, space, and 0x80 to 0xFF,
// as a signed compare with 0x20 counts them.
bool is_blank(uint8_t b) { return int8_t(b) <= 0x20; }

uint8_t ascii_lower(uint8_t b) { return b >= 'A' && b <= 'Z' ? uint8_t(b + 32) : b; }

// Header names are case-insensitive: clients and proxies send them in every
// case ("sec-websocket-key:", "Sec-Websocket-Key:").
bool same_name(const uint8_t* p, const char* name, int64_t len) {
  for (int64_t i = 0; i < len; ++i)
    if (ascii_lower(p[i]) != ascii_lower(uint8_t(name[i]))) return false;
  return true;
}

// Where the line behind the one at `from` begins: behind its CRLF; -1 when
// no CRLF follows before `end`.
int64_t next_line(const uint8_t* request, int64_t end, int64_t from) {
  for (int64_t i = from; i + 1 < end; ++i)
    if (request[i] == '\r' && request[i + 1] == '\n') return i + 2;
  return -1;
}

}  // namespace

int64_t header_value(const uint8_t* request, int64_t n, const char* name) {
  const void* nul = std::memchr(request, 0, size_t(n));
  const int64_t end = nul ? static_cast<const uint8_t*>(nul) - request : n;
  const int64_t len = int64_t(std::strlen(name));
  // A name inside a value ("Origin: http://localhost:8080" holds "host:")
  // or inside another name ("X-Forwarded-Host:") is no header of its own.
  for (int64_t line = next_line(request, end, 0); line >= 0; line = next_line(request, end, line)) {
    if (line + 1 < end && request[line] == '\r' && request[line + 1] == '\n') return -1;
    if (line + len > end || !same_name(request + line, name, len)) continue;
    int64_t v = line + len;
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
