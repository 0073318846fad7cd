// QOR_RAM: the buffer pool. Every line it prints goes to standard error.
#include "relay/ram.h"

#include <cstring>

#include "common/report.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {

constexpr uint32_t DEFAULT_LARGE_PAGE = 0x200000;  // 2 MiB when the system names none

uint64_t system_page_size() {
  win::SYSTEM_INFO si = {};
  win::GetSystemInfo(&si);
  return si.dwPageSize;
}

// The last error after an allocation gave nothing; the heap calls need not
// set one, and a report must not read as success.
DWORD out_of_memory() {
  const DWORD error = win::GetLastError();
  return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
}

// The five lines that say which step of an AWE attempt failed.
void awe_diagnostics(const QOR_RAM* pool, uint64_t page, bool granted, bool mapped) {
  win::fwprintf(win::con_err, L"\n");
  win::fwprintf(win::con_err, L"Memory to request for PFN array\t%8Iu KB\taPFNs [0x%08Ix]\n",
                pool->pfn_bytes >> 10, ULONG_PTR(pool->aPFNs));
  win::fwprintf(win::con_err, L"Requested number of pages\t%8Iu\tRequested %5u MB\n",
                pool->pages_requested, uint32_t((page * pool->pages_requested) >> 20));
  win::fwprintf(win::con_err, L"Received  number of pages\t%8Iu\tReceived  %5u MB\n",
                pool->pages_received, uint32_t((page * pool->pages_received) >> 20));
  win::fwprintf(win::con_err, L"AllocateUserPhysicalPages\t%8s\tpage size %5u bytes\n",
                granted ? L"[OK]" : L"[FAILED]", uint32_t(page));
  win::fwprintf(win::con_err, L"MapUserPhysicalPages\t\t%8s\n", mapped ? L"[OK]" : L"[FAILED]");
}

}  // namespace

uint32_t large_page_minimum(QOR_RAM* pool) {
  if (pool != nullptr) pool->use_awe = false;
  // Only the low 32 bits are kept; a size that has none would size nothing.
  const uint32_t size = uint32_t(win::GetLargePageMinimum());
  if (size == 0) return DEFAULT_LARGE_PAGE;
  if (pool != nullptr) pool->use_awe = true;
  return size;
}

uint32_t enable_lock_memory_privilege(HANDLE token) {
  win::TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = win::SE_PRIVILEGE_ENABLED;
  if (!win::LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &privileges.Privileges[0].Luid))
    return 0xFFFFFFFF;
  // The caller reads the last error after a success, so it must not be stale.
  win::SetLastError(0);
  if (win::AdjustTokenPrivileges(token, 0, &privileges, 0, nullptr, nullptr)) return 0;
  return win::GetLastError();
}

uint8_t* awe_alloc(QOR_RAM* pool, uint64_t size) {
  const uint64_t page = system_page_size();
  const uint64_t n = size / page;
  pool->pages_requested = n;
  pool->pages_received = n;
  pool->pfn_bytes = 8 * n;
  pool->aPFNs = static_cast<ULONG_PTR*>(win::HeapAlloc(win::GetProcessHeap(), 0, pool->pfn_bytes));

  bool granted = false, mapped = false;
  void* range = nullptr;
  DWORD error = pool->aPFNs == nullptr ? out_of_memory() : 0;
  if (pool->aPFNs != nullptr) {
    granted = win::AllocateUserPhysicalPages(pool->process, &pool->pages_received, pool->aPFNs);
    if (!granted) error = out_of_memory();
    range = win::VirtualAlloc(nullptr, size, win::MEM_RESERVE | win::MEM_PHYSICAL, win::PAGE_READWRITE);
    if (range == nullptr && granted) error = out_of_memory();
    if (granted && range != nullptr) {
      mapped = win::MapUserPhysicalPages(range, pool->pages_received, pool->aPFNs);
      if (!mapped) error = out_of_memory();
    }
  }

  if (pool->aPFNs == nullptr || !granted || !mapped || pool->verbose)
    win::fwprintf(win::con_err, L":: AWE %9u MB physical RAM at: 0x%016Ix\n",
                  uint32_t((page * pool->pages_received) >> 20), ULONG_PTR(range));
  if (granted && mapped && pool->pages_received >= pool->pages_requested)
    return static_cast<uint8_t*>(range);
  if (granted && mapped) error = ERROR_NO_SYSTEM_RESOURCES;  // fewer pages than asked for

  awe_diagnostics(pool, page, granted, mapped);
  // Nothing of a failed attempt stays held.
  if (range != nullptr) {
    win::MapUserPhysicalPages(range, pool->pages_received, nullptr);
    win::VirtualFree(range, 0, win::MEM_RELEASE);
  }
  if (granted) win::FreeUserPhysicalPages(pool->process, &pool->pages_received, pool->aPFNs);
  if (pool->aPFNs != nullptr) win::HeapFree(win::GetProcessHeap(), 0, pool->aPFNs);
  pool->aPFNs = nullptr;
  win::SetLastError(error);  // the cause, for the caller's report
  return nullptr;
}

int ram_alloc(QOR_RAM* pool, uint64_t large_pages) {
  pool->large_pages = large_pages;
  pool->large_page = large_page_minimum(pool);
  pool->total_size = pool->large_page * large_pages;
  pool->process = win::GetCurrentProcess();
  win::OpenProcessToken(pool->process, win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY, &pool->token);

  if (pool->use_awe) {
    pool->use_awe = enable_lock_memory_privilege(pool->token) == 0;
    if (win::GetLastError() != 0) pool->use_awe = false;  // not all assigned: no privilege
    if (pool->use_awe) {
      pool->base = awe_alloc(pool, pool->total_size);
      if (pool->base == nullptr) {
        const DWORD error = win::GetLastError();
        pool->use_awe = false;
        if (pool->verbose) win::fwprintf(win::con_err, L"\n");
        report_error_stderr(error, L"!! Failed to allocate physical RAM, the feature will be disabled!");
      }
    }
  }
  if (pool->verbose) win::fwprintf(win::con_err, L":: page size %3d MB  ", int32_t(pool->large_page >> 20));

  DWORD error = 0;
  if (!pool->use_awe) {
    // Room in the working set for the block, so that it can be locked.
    const uint64_t working_set = pool->total_size + 8 * pool->large_page;
    win::SetProcessWorkingSetSize(pool->process, working_set, working_set);
    pool->base = static_cast<uint8_t*>(win::_aligned_malloc(pool->total_size, pool->large_page));
    if (pool->base == nullptr) error = out_of_memory();
    pool->locked = pool->base != nullptr && win::VirtualLock(pool->base, pool->total_size);
    if (pool->verbose)
      win::fwprintf(win::con_err, L":: align %4u MB RAM at: 0x%016Ix %s\n", uint32_t(pool->total_size >> 20),
                    ULONG_PTR(pool->base), pool->locked ? L"[LOCKED]" : L"");
    if (pool->locked) memset(pool->base, 0, pool->total_size);
  }
  if (pool->base != nullptr) return 0;
  report_error_stderr(error, L"!! _aligned_malloc() failed to allocate RAM!");
  return -1;
}

int ram_free(QOR_RAM* pool) {
  if (pool->base == nullptr) return -1;
  pool->total_size = pool->large_page * pool->large_pages;
  // Relayed data does not outlive the relay in memory the system hands on.
  if (pool->use_awe || pool->locked) memset(pool->base, 0, pool->total_size);
  if (pool->use_awe) {
    win::MapUserPhysicalPages(pool->base, pool->pages_received, nullptr);
    win::VirtualFree(pool->base, 0, win::MEM_RELEASE);
    win::FreeUserPhysicalPages(pool->process, &pool->pages_received, pool->aPFNs);
    win::HeapFree(win::GetProcessHeap(), 0, pool->aPFNs);
    pool->aPFNs = nullptr;
  } else {
    if (pool->locked) win::VirtualUnlock(pool->base, pool->total_size);
    win::_aligned_free(pool->base);
  }
  pool->base = nullptr;
  return 0;
}

void ram_release(QOR_RAM* pool) {
  ram_free(pool);
  if (pool->token != nullptr) win::CloseHandle(pool->token);
  memset(pool, 0, sizeof *pool);
}
