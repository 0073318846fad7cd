#include "platform/memory_region.h"

#include <mutex>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

namespace win::detail {

namespace {

// Ranges are few (the buffer pool holds one) and change only at start-up
// and teardown, so a list under a lock is enough.
struct region_node {
  region r;
  region_node* next;
};

std::mutex regions_lock;
region_node* regions = nullptr;

}  // namespace

size_t page_size() {
  static const size_t size = size_t(sysconf(_SC_PAGESIZE));
  return size;
}

int lock_range(const void* address, size_t size) {
  return int(syscall(SYS_mlock, address, size));
}

int unlock_range(const void* address, size_t size) {
  return int(syscall(SYS_munlock, address, size));
}

bool region_add(const region& r) {
  auto* n = new (std::nothrow) region_node{r, nullptr};
  if (n == nullptr) return false;
  std::lock_guard<std::mutex> hold(regions_lock);
  n->next = regions;
  regions = n;
  return true;
}

bool region_find(const void* address, size_t size, region* found) {
  auto* p = static_cast<const char*>(address);
  std::lock_guard<std::mutex> hold(regions_lock);
  for (region_node* n = regions; n != nullptr; n = n->next) {
    if (p >= n->r.base && size <= n->r.size && size_t(p - n->r.base) <= n->r.size - size) {
      *found = n->r;
      return true;
    }
  }
  return false;
}

bool region_remove(const void* base, region* removed) {
  std::lock_guard<std::mutex> hold(regions_lock);
  for (region_node** link = &regions; *link != nullptr; link = &(*link)->next) {
    if ((*link)->r.base == base) {
      region_node* n = *link;
      *link = n->next;
      *removed = n->r;
      delete n;
      return true;
    }
  }
  return false;
}

}  // namespace win::detail
