// The address ranges that VirtualAlloc handed out, so that VirtualFree can
// release a range by its base and MapUserPhysicalPages can check that it
// maps into a range reserved for physical pages. Internal to the layer.
#pragma once
#include <cstddef>

#include "platform/types.h"

namespace win::detail {

struct region {
  char* base;
  size_t size;
  bool physical;  // reserved with MEM_PHYSICAL
};

size_t page_size();

// mlock and munlock as the kernel gives them (0 or -1 with errno). The
// sanitizers turn the library calls into no-ops that always succeed; the
// kernel's own answer keeps the locked and the unlocked path the same in
// every build.
int lock_range(const void* address, size_t size);
int unlock_range(const void* address, size_t size);

bool region_add(const region& r);
// The range that holds [address, address + size); false when none does.
bool region_find(const void* address, size_t size, region* found);
// Forgets the range based at `base`; false when there is none.
bool region_remove(const void* base, region* removed);

}  // namespace win::detail
