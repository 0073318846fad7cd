// Reserved and committed ranges, and locking pages into memory.
#include <cerrno>
#include <sys/mman.h>
#include <sys/resource.h>

#include "platform/memory.h"
#include "platform/memory_region.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace win {

namespace {

bool protection_of(DWORD protect, int* prot) {
  switch (protect) {
    case PAGE_NOACCESS: *prot = PROT_NONE; return true;
    case PAGE_READONLY: *prot = PROT_READ; return true;
    case PAGE_READWRITE: *prot = PROT_READ | PROT_WRITE; return true;
    default: return false;
  }
}

// A failed mlock: over the locked-memory limit reads as the working-set
// quota, no right to lock as the missing privilege.
DWORD error_of_lock(int e) {
  if (e == ENOMEM || e == EAGAIN) return ERROR_WORKING_SET_QUOTA;
  if (e == EPERM) return ERROR_PRIVILEGE_NOT_HELD;
  return ERROR_INVALID_PARAMETER;
}

void* fail(DWORD code) {
  SetLastError(code);
  return nullptr;
}

// Commits pages inside a range reserved earlier.
void* commit_in_place(void* address, size_t size, int prot) {
  detail::region r;
  if (!detail::region_find(address, size, &r) || r.physical)
    return fail(ERROR_INVALID_PARAMETER);
  if (mprotect(address, size, prot) == -1) return fail(ERROR_NOT_ENOUGH_MEMORY);
  return address;
}

}  // namespace

void* VirtualAlloc(void* address, SIZE_T size, DWORD type, DWORD protect) {
  int prot;
  if (size == 0 || !protection_of(protect, &prot) || (type & (MEM_RESERVE | MEM_COMMIT)) == 0)
    return fail(ERROR_INVALID_PARAMETER);
  size_t page = detail::page_size();
  size_t bytes = (size + page - 1) / page * page;
  bool physical = (type & MEM_PHYSICAL) != 0;
  if (physical && (type != (MEM_RESERVE | MEM_PHYSICAL) || protect != PAGE_READWRITE))
    return fail(ERROR_INVALID_PARAMETER);
  if (address != nullptr) {
    // Placing a new range at a chosen address is not needed by the relay.
    if (type & MEM_RESERVE) return fail(ERROR_INVALID_PARAMETER);
    return commit_in_place(address, bytes, prot);
  }
  // A reservation is address space only: no access, no swap accounted.
  int map_prot = (type & MEM_COMMIT) ? prot : PROT_NONE;
  void* p = mmap(nullptr, bytes, map_prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (!detail::region_add(detail::region{static_cast<char*>(p), bytes, physical})) {
    munmap(p, bytes);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  return p;
}

BOOL VirtualFree(void* address, SIZE_T size, DWORD type) {
  detail::region r;
  if (type == MEM_RELEASE) {
    if (size != 0 || !detail::region_remove(address, &r)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    munmap(r.base, r.size);
    return TRUE;
  }
  if (type == MEM_DECOMMIT && detail::region_find(address, size, &r) && !r.physical) {
    // Mapping fresh inaccessible pages over the range gives its memory back.
    void* p = mmap(address, size, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
    if (p != MAP_FAILED) return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL VirtualLock(void* address, SIZE_T size) {
  if (detail::lock_range(address, size) == -1) {
    SetLastError(error_of_lock(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualUnlock(void* address, SIZE_T size) {
  if (detail::unlock_range(address, size) == -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum) {
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The working set's counterpart here is the locked-memory limit: raise
  // its soft value as far as the hard one allows, so that a block of this
  // size can be locked. Failing that, the lock itself reports the quota.
  SIZE_T want = minimum > maximum ? minimum : maximum;
  if (want == SIZE_T(-1)) return TRUE;  // (-1, -1) asks to trim: nothing to do
  rlimit lim;
  if (getrlimit(RLIMIT_MEMLOCK, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    lim.rlim_cur = (lim.rlim_max == RLIM_INFINITY || lim.rlim_max > want) ? want : lim.rlim_max;
    setrlimit(RLIMIT_MEMLOCK, &lim);
  }
  return TRUE;
}

}  // namespace win
