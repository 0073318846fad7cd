// guarded_bytes: see guarded_bytes.h.
#include "support/guarded_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

guarded_bytes::guarded_bytes(size_t capacity) {
  size_t page = size_t(::sysconf(_SC_PAGESIZE));
  writable = (capacity + page - 1) / page * page;
  if (writable == 0) writable = page;
  mapped = writable + page;
  void* m = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) std::abort();
  base = static_cast<uint8_t*>(m);
  if (::mprotect(base + writable, page, PROT_NONE) != 0) std::abort();
}

guarded_bytes::~guarded_bytes() { ::munmap(base, mapped); }

uint8_t* guarded_bytes::place(const void* data, size_t size, size_t slack, uint8_t fill) {
  if (size + slack > writable) std::abort();
  uint8_t* p = base + writable - slack - size;
  if (size) std::memcpy(p, data, size);
  std::memset(p + size, fill, slack);
  return p;
}
