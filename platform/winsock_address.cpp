// inet_addr and the byte-order helpers. No system network header here: its
// htons/ntohs may be macros, which would rewrite these definitions.
#include <bit>
#include <cstdint>

#include "platform/winsock.h"

namespace win {
namespace {

constexpr uint32_t address_none = 0xFFFFFFFF;

uint32_t to_network(uint32_t v) {
  return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}

// One part of a dotted address: decimal, octal (leading 0) or hex (0x).
// Returns false when no digit was read or the part overflows.
bool parse_part(const char** text, uint32_t* out) {
  const char* p = *text;
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  uint64_t value = 0;
  const char* start = p;
  for (;; ++p) {
    unsigned digit;
    char c = *p;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else break;
    if (digit >= base) return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return false;
  }
  if (p == start) return false;
  *text = p;
  *out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

// "a.b.c.d", and the shorter forms "a.b.c", "a.b" and "a" in which the last
// part fills the remaining bytes. Returns the address in network order, or
// INADDR_NONE for a text that is not an address.
uint32_t inet_addr(const char* cp) {
  if (!cp) return address_none;
  uint32_t parts[4];
  int count = 0;
  const char* p = cp;
  for (;;) {
    if (count == 4 || !parse_part(&p, &parts[count])) return address_none;
    ++count;
    if (*p != '.') break;
    ++p;
  }
  if (*p != '\0' && *p != ' ') return address_none;
  uint32_t host = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return address_none;
    host |= parts[i] << (24 - 8 * i);
  }
  uint32_t last_limit = count == 1 ? 0xFFFFFFFFu : (0xFFFFFFFFu >> (8 * (count - 1)));
  if (parts[count - 1] > last_limit) return address_none;
  return to_network(host | parts[count - 1]);
}

uint16_t htons(uint16_t v) {
  return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}
uint16_t ntohs(uint16_t v) { return htons(v); }
uint32_t htonl(uint32_t v) { return to_network(v); }

}  // namespace win
