// The process heap and the run time's aligned allocator.
#include <cstdlib>

#include "platform/memory.h"
#include "platform/sync.h"

namespace win {

namespace {
// The heap handle only needs to be a distinct, non-null value.
char process_heap;
}  // namespace

HANDLE GetProcessHeap() { return &process_heap; }

void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (heap != &process_heap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* p = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

BOOL HeapFree(HANDLE heap, DWORD flags, void* mem) {
  (void)flags;
  if (heap != &process_heap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::free(mem);
  return TRUE;
}

void* _aligned_malloc(SIZE_T size, SIZE_T alignment) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* p = nullptr;
  if (posix_memalign(&p, alignment, size ? size : 1) != 0) {
    // The caller reports GetLastError(), so the failure must leave one.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return p;
}

void _aligned_free(void* mem) { std::free(mem); }

}  // namespace win
