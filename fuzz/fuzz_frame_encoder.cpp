// The encoder and its text/binary choice over a sequence of payloads to one
// recipient. Every frame must lie within the destination, carry the right
// header, length and payload; a text frame (opcode 1) must be well-formed
// UTF-8 by itself, as an independent strict validator sees it; and a
// well-formed payload must go out as text to a recipient still sent text
// whose payload before left no character open (known here when that one was
// well-formed or ended in ASCII).
//
// Input: byte 0 picks the version (bits 0-1: 13, 8, or 0 for a closed
// recipient) and a large destination (bits 6 and 7 set); bytes 1-3 its
// size; then payloads: a mode byte (bit 0: the payload lies inside the
// destination), a length (a byte below 0xF0, or 0xF0/0xF1, two more bytes
// for up to 131071 and the length of a pattern), a placement offset (two
// bytes, inside mode only) and the payload bytes.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "websocket/ws.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint8_t sentinel = 0x5A;
constexpr uint64_t dst_size_max = 140000;
constexpr uint64_t dst_size_small = 4200;

bool untouched(const uint8_t* p, uint64_t n) {
  static const bytes fill(dst_size_max, sentinel);
  return std::memcmp(p, fill.data(), n) == 0;
}

// RFC 3629 by decoding each character: shortest form, no surrogates, at most
// U+10FFFF, nothing cut off at the end. Left out of the coverage the fuzzer
// steers by: only the relay's code should guide it.
__attribute__((no_sanitize("coverage"))) bool strict_utf8(const uint8_t* p, uint64_t n) {
  uint64_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    uint32_t cp, least;
    uint64_t need;
    if (b < 0x80) cp = b, need = 0, least = 0;
    else if ((b & 0xE0) == 0xC0) cp = b & 0x1F, need = 1, least = 0x80;
    else if ((b & 0xF0) == 0xE0) cp = b & 0x0F, need = 2, least = 0x800;
    else if ((b & 0xF8) == 0xF0) cp = b & 0x07, need = 3, least = 0x10000;
    else return false;
    for (uint64_t k = 1; k <= need; ++k) {
      if (i + k >= n || (p[i + k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += need + 1;
  }
  return true;
}

uint64_t header_length(uint64_t n) { return n <= 125 ? 2 : n <= 0xFFFF ? 4 : 10; }

// The header the shortest length form gives, behind `first`.
bytes header_for(uint8_t first, uint64_t n) {
  bytes h{first};
  if (n <= 125) {
    h.push_back(uint8_t(n));
  } else if (n <= 0xFFFF) {
    h.insert(h.end(), {126, uint8_t(n >> 8), uint8_t(n)});
  } else {
    h.push_back(127);
    for (int i = 7; i >= 0; --i) h.push_back(uint8_t(n >> (8 * i)));
  }
  return h;
}

// A short payload is taken as it stands; a long one as a pattern of up to
// 255 bytes, repeated, so that inputs stay small. A long one is kept within
// a few bytes of the destination's size: anything longer fails the same way.
__attribute__((no_sanitize("coverage"))) bytes next_payload(fuzz_input& in, uint64_t dst_size) {
  uint8_t l = in.byte();
  uint64_t n = l;
  uint64_t own = l;
  if (l >= 0xF0) {
    n = (uint64_t(l & 1) << 16 | in.u16()) % (dst_size + 17);
    own = in.byte();
  }
  size_t got;
  const uint8_t* p = in.take(own, &got);
  bytes payload(n, 'a');
  if (got == 0 || n == 0) return payload;
  uint64_t filled = std::min<uint64_t>(got, n);
  std::memcpy(payload.data(), p, filled);
  for (; filled < n; filled *= 2)
    std::memcpy(&payload[filled], payload.data(), std::min(filled, n - filled));
  return payload;
}

struct recipient {
  QOR_WS ws;
  uint32_t version;
  uint8_t* dst;
  uint64_t dst_size;
  bool nothing_open;   // the last payload checked ended between characters
};

// Checks one frame built for `payload` (now at `src`, which may lie inside dst).
void check_frame(recipient& r, const bytes& payload, const uint8_t* src, bool inside,
                 int32_t type_before, uint8_t* f, uint64_t len) {
  const uint64_t n = payload.size();
  const bool rfc6455 = r.version >= 13;
  uint64_t behind = uint64_t(uintptr_t(src) - uintptr_t(r.dst));
  uint64_t offset = inside && behind >= 10 && behind <= 16 ? behind : rfc6455 ? 10 : 1;
  bool fits = offset <= r.dst_size && n + (rfc6455 ? 0 : 1) <= r.dst_size - offset;
  bool unsendable = !rfc6455 && n > 0 && std::memchr(payload.data(), 0xFF, n) != nullptr;
  if (r.version == 0 || n == 0 || !fits || unsendable) {
    FUZZ_CHECK(f == nullptr && len == n);
    FUZZ_CHECK(r.ws.type == type_before);
    return;
  }
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(f >= r.dst && len <= r.dst_size && uint64_t(f - r.dst) <= r.dst_size - len);
  if (!rfc6455) {
    FUZZ_CHECK(f == r.dst + offset - 1 && len == n + 2);
    FUZZ_CHECK(f[0] == 0x00 && f[n + 1] == 0xFF);
    FUZZ_CHECK(std::memcmp(f + 1, payload.data(), n) == 0);
    FUZZ_CHECK(r.ws.type == type_before);
    return;
  }
  uint64_t h = header_length(n);
  FUZZ_CHECK(f == r.dst + offset - h && len == n + h);
  FUZZ_CHECK(f[0] == 0x81 || f[0] == 0x82);
  FUZZ_CHECK(bytes(f, f + h) == header_for(f[0], n));
  FUZZ_CHECK(std::memcmp(f + h, payload.data(), n) == 0);
  // Text frames are well-formed, and well-formed payloads are text while the
  // recipient is and nothing was left open before.
  const bool well_formed = strict_utf8(f + h, n);
  if (f[0] == 0x81) FUZZ_CHECK(well_formed);
  if (well_formed && type_before == 1 && r.nothing_open) FUZZ_CHECK(f[0] == 0x81);
  r.nothing_open = well_formed || payload[n - 1] < 0x80;
  // Binary once is binary for good.
  if (type_before == 2) FUZZ_CHECK(f[0] == 0x82 && r.ws.type == 2);
  FUZZ_CHECK(r.ws.type == 1 || r.ws.type == 2);
}

// Checks that nothing outside the frame (all of dst without one) was written.
void check_untouched(const recipient& r, const uint8_t* f, uint64_t len) {
  if (!f) {
    FUZZ_CHECK(untouched(r.dst, r.dst_size));
    return;
  }
  FUZZ_CHECK(untouched(r.dst, uint64_t(f - r.dst)));
  FUZZ_CHECK(untouched(f + len, r.dst_size - uint64_t(f - r.dst) - len));
}

// Encodes the next payload and checks its frame. Returns the bytes handled,
// payload and destination, as the cost of the step.
uint64_t send_one(recipient& r, fuzz_input& in) {
  bool inside = in.byte() & 1;
  bytes payload = next_payload(in, r.dst_size);
  const uint64_t n = payload.size();
  uint64_t at = inside ? in.u16() : 0;
  if (n == 0 || n > r.dst_size) inside = false;
  if (inside) at %= r.dst_size - n + 1;
  std::memset(r.dst, sentinel, r.dst_size);
  const uint8_t* src = payload.data();
  if (inside) {
    std::memcpy(r.dst + at, payload.data(), n);
    src = r.dst + at;
  }
  int32_t type_before = r.ws.type;
  uint64_t len = n;
  uint8_t* f = encrypt(&r.ws, r.dst, r.dst_size, src, &len);
  check_frame(r, payload, src, inside, type_before, f, len);
  if (!inside) check_untouched(r, f, len);
  return n + r.dst_size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input in{data, size};
  static const uint32_t versions[4] = {13, 13, 8, 0};
  recipient r;
  std::memset(static_cast<void*>(&r.ws), 0, sizeof r.ws);
  const uint8_t choice = in.byte();
  r.version = versions[choice & 3];
  // What a successful handshake leaves.
  r.ws.ws = 1;
  r.ws.version = r.version;
  r.ws.type = 1;
  r.ws.utf8_pending = 3;
  r.ws.utf8_lenient = 1;
  r.nothing_open = true;
  // Mostly small destinations, which are quick; large ones on request.
  const bool large = (choice & 0xC0) == 0xC0;
  r.dst_size = 1 + in.u24() % (large ? dst_size_max : dst_size_small);
  r.dst = new uint8_t[r.dst_size];
  // Repeated patterns could make one input check megabytes of text; a
  // budget keeps each run to a few milliseconds.
  const uint64_t budget = 16 * dst_size_max;
  for (uint64_t spent = 0; !in.empty() && spent < budget;) spent += send_one(r, in);
  delete[] r.dst;
  return 0;
}
