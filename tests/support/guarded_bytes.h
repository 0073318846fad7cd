// Test input placed right before a PROT_NONE page, so that a read or write
// past the bytes handed to the code under test faults at once.
//
//   guarded_bytes g(4096);
//   uint8_t* p = g.place(frame, size, 1);   // one writable byte behind
#pragma once
#include <cstddef>
#include <cstdint>

struct guarded_bytes {
  uint8_t* base = nullptr;   // start of the writable pages
  size_t writable = 0;       // their size
  size_t mapped = 0;

  explicit guarded_bytes(size_t capacity);
  guarded_bytes(const guarded_bytes&) = delete;
  guarded_bytes& operator=(const guarded_bytes&) = delete;
  ~guarded_bytes();

  // Copies `size` bytes so that `slack` writable bytes lie between them and
  // the guard page; the slack bytes are set to `fill`. Returns the copy.
  uint8_t* place(const void* data, size_t size, size_t slack = 0, uint8_t fill = 0xA5);
};
