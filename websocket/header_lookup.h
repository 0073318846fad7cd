// Header lookup shared by the two handshake builders. The request is the n
// bytes read; no scan goes past them.
#pragma once
#include <cstdint>

// Finds the first occurrence of `name` (colon included, in any ASCII case,
// anywhere in the request before its first NUL) and returns the offset where
// its value starts: behind the colon, past every byte that as a signed 8-bit
// number is at most 0x20 (line ends included). Returns n when that skip
// reaches the end, -1 when the name does not occur.
int64_t header_value(const uint8_t* request, int64_t n, const char* name);

// The end of the token that starts at `start`: its first byte is taken, then
// every byte up to the first that is at most 0x20 as a signed 8-bit number
// (or ',' when `stop_at_comma`), or up to n. A start at n gives an empty token.
int64_t token_end(const uint8_t* request, int64_t n, int64_t start, bool stop_at_comma);

// The end of a hixie-76 value that starts at `start`: the first carriage
// return at or behind it, or n.
int64_t line_end(const uint8_t* request, int64_t n, int64_t start);
