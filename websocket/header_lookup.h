// Header lookup shared by the two handshake builders. The request is the n
// bytes read; no scan goes past them.
#pragma once
#include <cstdint>

// Finds `name` (colon included, in any ASCII case) where a header line
// begins: right behind a CRLF, never in the request line, and not behind the
// empty line that ends the headers nor past the request's first NUL. Returns
// the offset where its value starts: behind the colon, past every byte that
// as a signed 8-bit number is at most 0x20 (line ends included). Returns n
// when that skip reaches the end, -1 when no header line holds the name.
int64_t header_value(const uint8_t* request, int64_t n, const char* name);

// The end of the token that starts at `start`: its first byte is taken, then
// every byte up to the first that is at most 0x20 as a signed 8-bit number
// (or ',' when `stop_at_comma`), or up to n. A start at n gives an empty token.
int64_t token_end(const uint8_t* request, int64_t n, int64_t start, bool stop_at_comma);

// The end of a hixie-76 value that starts at `start`: the first carriage
// return at or behind it, or n.
int64_t line_end(const uint8_t* request, int64_t n, int64_t start);
