// UTF-16 to UTF-8 of the certificate file names against a conversion written
// here apart from it, and its room rule: the text and its NUL fit, or the
// result is 0 and the buffer holds a NUL within its bounds, right where the
// first character that did not fit would have begun or on the last byte.
//
// Input: bytes 0-1 give the destination size (1 to 8192, big-endian); the rest is the
// UTF-16 source, little-endian, up to its first 0 unit.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "stream/context.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes encode(uint32_t cp) {
  if (cp < 0x80) return {uint8_t(cp)};
  if (cp < 0x800) return {uint8_t(0xC0 | cp >> 6), uint8_t(0x80 | (cp & 0x3F))};
  if (cp < 0x10000)
    return {uint8_t(0xE0 | cp >> 12), uint8_t(0x80 | (cp >> 6 & 0x3F)), uint8_t(0x80 | (cp & 0x3F))};
  return {uint8_t(0xF0 | cp >> 18), uint8_t(0x80 | (cp >> 12 & 0x3F)),
          uint8_t(0x80 | (cp >> 6 & 0x3F)), uint8_t(0x80 | (cp & 0x3F))};
}

// The characters' UTF-8 forms, one entry a character. A lone low surrogate
// gives nothing; a lone high one stands as if a low 0xDC00 followed it; a
// high one that ends the text gives nothing.
std::vector<bytes> characters(const std::u16string& src) {
  std::vector<bytes> out;
  for (size_t i = 0; i < src.size(); ++i) {
    uint32_t u = src[i];
    if (u >= 0xDC00 && u <= 0xDFFF) continue;
    if (u < 0xD800 || u > 0xDBFF) {
      out.push_back(encode(u));
      continue;
    }
    if (i + 1 == src.size()) break;
    uint32_t v = src[i + 1];
    bool low = v >= 0xDC00 && v <= 0xDFFF;
    out.push_back(encode(0x10000 + ((u - 0xD800) << 10) + (low ? v - 0xDC00 : 0)));
    if (low) ++i;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_input in{data, size};
  const uint64_t dst_size = 1 + in.u16() % 8192;
  std::u16string src;
  while (in.left() >= 2) {
    uint32_t low = in.byte();
    char16_t u = char16_t(low | uint32_t(in.byte()) << 8);
    if (u == 0) break;
    src.push_back(u);
  }
  // Exactly the text and its terminator, so that any read past it is caught.
  std::vector<char16_t> source(src.begin(), src.end());
  source.push_back(0);
  std::vector<uint8_t> dst(dst_size, 0xAA);

  uint64_t r = utf16_to_utf8(dst.data(), dst_size, source.data());

  bytes text;
  uint64_t nul_at = 0;   // where the NUL must be
  bool fits = true;
  for (const bytes& c : characters(src)) {
    uint64_t start = text.size();
    text.insert(text.end(), c.begin(), c.end());
    if (text.size() >= dst_size) {
      // No room for the NUL behind it: the NUL goes where the character
      // begins when it does not fit, else on the last byte.
      fits = false;
      nul_at = text.size() > dst_size ? start : dst_size - 1;
      break;
    }
  }
  if (fits) nul_at = text.size();
  FUZZ_CHECK(r == (fits ? text.size() : 0));
  FUZZ_CHECK(nul_at < dst_size && dst[nul_at] == 0);
  FUZZ_CHECK(nul_at == 0 || std::memcmp(dst.data(), text.data(), nul_at) == 0);
  // Nothing written behind the NUL.
  static const bytes fill(8192, 0xAA);
  FUZZ_CHECK(std::memcmp(dst.data() + nul_at + 1, fill.data(), dst_size - nul_at - 1) == 0);
  return 0;
}
