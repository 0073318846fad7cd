// "Physical pages": anonymous shared memory (a memfd), populated and locked
// through a mapping of its own, so that its pages stay resident while any
// range maps them. A page frame number names one page of one allocation:
// frames are numbered on from 0x100000 across allocations, so 0 and small
// numbers never name a page.
#include <cerrno>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/memory.h"
#include "platform/memory_privilege.h"
#include "platform/memory_region.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace win {

namespace {

struct allocation {
  ULONG_PTR first;   // frame number of page 0
  size_t pages;
  int fd;
  char* home;        // the locked mapping that keeps the pages resident
  size_t live;       // pages not yet freed
  uint8_t* freed;    // one byte a page
  allocation* next;
};

std::mutex allocations_lock;
allocation* allocations = nullptr;
ULONG_PTR next_frame = 0x100000;

// Pages are locked a chunk at a time, so that a limit part way through
// still grants the pages locked before it.
constexpr size_t lock_chunk_pages = 64;

allocation* owner_of(ULONG_PTR frame) {
  for (allocation* a = allocations; a != nullptr; a = a->next)
    if (frame >= a->first && frame - a->first < a->pages) return a;
  return nullptr;
}

BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Locks the home mapping chunk by chunk; returns the pages locked and sets
// *error when it stopped short.
size_t lock_pages(char* home, size_t pages, DWORD* error) {
  size_t page = detail::page_size(), done = 0;
  while (done < pages) {
    size_t n = pages - done < lock_chunk_pages ? pages - done : lock_chunk_pages;
    if (detail::lock_range(home + done * page, n * page) == -1) {
      *error = (errno == EPERM) ? ERROR_PRIVILEGE_NOT_HELD : ERROR_WORKING_SET_QUOTA;
      break;
    }
    done += n;
  }
  return done;
}

void destroy(allocation* a) {
  munmap(a->home, a->pages * detail::page_size());
  close(a->fd);
  delete[] a->freed;
  delete a;
}

// Creates the shared memory of `pages` pages and locks as many as it can.
allocation* create(size_t pages, DWORD* error) {
  size_t page = detail::page_size();
  int fd = memfd_create("physical-pages", MFD_CLOEXEC);
  if (fd == -1) {
    *error = ERROR_NO_SYSTEM_RESOURCES;
    return nullptr;
  }
  void* home = MAP_FAILED;
  if (ftruncate(fd, off_t(pages * page)) == 0)
    home = mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (home == MAP_FAILED) {
    close(fd);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  size_t locked = lock_pages(static_cast<char*>(home), pages, error);
  auto* a = new (std::nothrow) allocation{0, pages, fd, static_cast<char*>(home), locked, nullptr, nullptr};
  if (a != nullptr) a->freed = new (std::nothrow) uint8_t[pages]();
  if (locked == 0 || a == nullptr || a->freed == nullptr) {
    if (a == nullptr || a->freed == nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
    if (a != nullptr) destroy(a);
    else { munmap(home, pages * page); close(fd); }
    return nullptr;
  }
  if (locked < pages) {
    // Grant what could be locked; the rest goes back to the system.
    munmap(a->home + locked * page, (pages - locked) * page);
    if (ftruncate(fd, off_t(locked * page)) != 0) { /* the pages stay unused */ }
    a->pages = locked;
  }
  return a;
}

}  // namespace

BOOL AllocateUserPhysicalPages(HANDLE process, ULONG_PTR* pages, ULONG_PTR* page_frames) {
  if (process != GetCurrentProcess() || pages == nullptr || page_frames == nullptr || *pages == 0)
    return fail(ERROR_INVALID_PARAMETER);
  if (!detail::lock_privilege_enabled()) return fail(ERROR_PRIVILEGE_NOT_HELD);
  DWORD error = ERROR_SUCCESS;
  allocation* a = create(size_t(*pages), &error);
  if (a == nullptr) return fail(error);
  {
    std::lock_guard<std::mutex> hold(allocations_lock);
    a->first = next_frame;
    next_frame += a->pages;
    a->next = allocations;
    allocations = a;
  }
  for (size_t i = 0; i < a->pages; ++i) page_frames[i] = a->first + i;
  *pages = a->pages;
  return TRUE;
}

namespace {

bool unmap_run(char* at, size_t count) {
  void* p = mmap(at, count * detail::page_size(), PROT_NONE,
                 MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p != MAP_FAILED;
}

// Every frame names a live page (0 asks to unmap its page).
bool frames_valid(ULONG_PTR count, const ULONG_PTR* frames) {
  for (ULONG_PTR i = 0; i < count; ++i) {
    if (frames[i] == 0) continue;
    allocation* a = owner_of(frames[i]);
    if (a == nullptr || a->freed[frames[i] - a->first]) return false;
  }
  return true;
}

// Maps frames[i..] at `at`: the run of consecutive frame numbers within one
// allocation, or of zeros, that one mmap covers. Returns the pages done,
// 0 on failure.
size_t map_run(char* at, ULONG_PTR count, const ULONG_PTR* frames, ULONG_PTR i) {
  size_t n = 1;
  if (frames[i] == 0) {
    while (i + n < count && frames[i + n] == 0) ++n;
    return unmap_run(at, n) ? n : 0;
  }
  allocation* a = owner_of(frames[i]);
  size_t left = a->first + a->pages - frames[i];
  while (n < left && i + n < count && frames[i + n] == frames[i] + n) ++n;
  size_t page = detail::page_size();
  void* p = mmap(at, n * page, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, a->fd,
                 off_t((frames[i] - a->first) * page));
  return p != MAP_FAILED ? n : 0;
}

}  // namespace

BOOL MapUserPhysicalPages(void* address, ULONG_PTR pages, ULONG_PTR* page_frames) {
  size_t page = detail::page_size();
  detail::region r;
  if (address == nullptr || uintptr_t(address) % page != 0 || pages == 0 ||
      !detail::region_find(address, size_t(pages) * page, &r) || !r.physical)
    return fail(ERROR_INVALID_PARAMETER);
  char* at = static_cast<char*>(address);
  if (page_frames == nullptr) return unmap_run(at, pages) ? TRUE : fail(ERROR_NOT_ENOUGH_MEMORY);
  // Under the lock throughout, so no frame is freed between check and map.
  std::lock_guard<std::mutex> hold(allocations_lock);
  if (!frames_valid(pages, page_frames)) return fail(ERROR_INVALID_PARAMETER);
  for (ULONG_PTR i = 0; i < pages;) {
    size_t n = map_run(at + i * page, pages, page_frames, i);
    if (n == 0) return fail(ERROR_NOT_ENOUGH_MEMORY);
    i += n;
  }
  return TRUE;
}

BOOL FreeUserPhysicalPages(HANDLE process, ULONG_PTR* pages, ULONG_PTR* page_frames) {
  if (process != GetCurrentProcess() || pages == nullptr || page_frames == nullptr)
    return fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> hold(allocations_lock);
  ULONG_PTR done = 0;
  for (; done < *pages; ++done) {
    allocation* a = owner_of(page_frames[done]);
    if (a == nullptr || a->freed[page_frames[done] - a->first]) break;
    a->freed[page_frames[done] - a->first] = 1;
    // The memory goes back once every page of the allocation is freed;
    // ranges that still map its pages keep them until they are unmapped.
    if (--a->live == 0) {
      for (allocation** link = &allocations; *link != nullptr; link = &(*link)->next)
        if (*link == a) { *link = a->next; break; }
      destroy(a);
    }
  }
  bool all = done == *pages;
  *pages = done;
  return all ? TRUE : fail(ERROR_INVALID_PARAMETER);
}

}  // namespace win
