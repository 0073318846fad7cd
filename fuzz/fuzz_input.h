// A cursor over a fuzzer's input: the targets draw their choices (sizes,
// modes, splits) from the input's own bytes, so the fuzzer explores them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct fuzz_input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  bool empty() const { return at >= size; }
  size_t left() const { return size - at; }

  // The next byte, or 0 once the input is used up.
  uint8_t byte() { return at < size ? data[at++] : 0; }
  // Big-endian; each byte read in its own statement, in order.
  uint32_t u16() {
    uint32_t hi = byte();
    return hi << 8 | byte();
  }
  uint32_t u24() {
    uint32_t hi = u16();
    return hi << 8 | byte();
  }

  // Up to `n` bytes from here; `*got` tells how many there were.
  const uint8_t* take(size_t n, size_t* got) {
    *got = n < left() ? n : left();
    const uint8_t* p = data + at;
    at += *got;
    return p;
  }
};

// A finding: say what was wrong, then abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #cond, __FILE__, \
                   __LINE__);                                                   \
      std::abort();                                                             \
    }                                                                           \
  } while (0)
