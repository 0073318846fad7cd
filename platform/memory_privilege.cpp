// The large-page size and the lock-memory privilege.
//
// The privilege stands for the right to lock memory without a limit: the
// CAP_IPC_LOCK capability, or an unlimited RLIMIT_MEMLOCK. A finite limit
// does not count, even a large one: physical pages are locked whole when
// they are allocated, and a limit that is too small would only show then.
// The locked-block path still locks within a finite limit.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <new>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/handle.h"
#include "platform/memory.h"
#include "platform/memory_privilege.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace win {

namespace detail {

namespace {

constexpr LUID lock_memory_luid = {4, 0};  // SE_LOCK_MEMORY_PRIVILEGE
std::atomic<bool> lock_enabled{false};

struct token_object { object_head head; };

bool may_lock_memory() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) == 0 &&
      (data[CAP_IPC_LOCK / 32].effective & (1u << (CAP_IPC_LOCK % 32))) != 0)
    return true;
  rlimit lim;
  return getrlimit(RLIMIT_MEMLOCK, &lim) == 0 && lim.rlim_cur == RLIM_INFINITY;
}

bool is_lock_memory(const LUID& l) {
  return l.LowPart == lock_memory_luid.LowPart && l.HighPart == lock_memory_luid.HighPart;
}

bool same_name_ignoring_case(const wchar_t* a, const wchar_t* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    wchar_t x = (*a >= L'A' && *a <= L'Z') ? *a + 32 : *a;
    wchar_t y = (*b >= L'A' && *b <= L'Z') ? *b + 32 : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

}  // namespace

bool lock_privilege_enabled() { return lock_enabled.load(); }

bool close_token(object_head* o) {
  o->kind = kind_none;
  delete reinterpret_cast<token_object*>(o);
  return true;
}

}  // namespace detail

SIZE_T GetLargePageMinimum() {
  int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return 0;
  char buf[8192];
  ssize_t n;
  do n = read(fd, buf, sizeof buf - 1); while (n == -1 && errno == EINTR);
  close(fd);
  if (n <= 0) return 0;
  buf[n] = 0;
  const char* p = std::strstr(buf, "Hugepagesize:");
  if (p == nullptr) return 0;
  unsigned long long kb = std::strtoull(p + std::strlen("Hugepagesize:"), nullptr, 10);
  return SIZE_T(kb) * 1024;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  (void)access;
  if (process != GetCurrentProcess() || token == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* t = new (std::nothrow) detail::token_object{{detail::kind_token}};
  if (t == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *token = t;
  return TRUE;
}

BOOL LookupPrivilegeValueW(const wchar_t* system, const wchar_t* name, LUID* luid) {
  (void)system;  // only the local system is known
  if (name == nullptr || luid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!detail::same_name_ignoring_case(name, L"SeLockMemoryPrivilege")) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  *luid = detail::lock_memory_luid;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, TOKEN_PRIVILEGES* state,
                           DWORD length, TOKEN_PRIVILEGES* previous, DWORD* returned) {
  if (detail::object_of(token, detail::kind_token) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (previous != nullptr) {  // no earlier state worth restoring: report none
    if (length < sizeof(DWORD)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    previous->PrivilegeCount = 0;
    if (returned != nullptr) *returned = sizeof(DWORD);
  }
  if (disable_all) {
    detail::lock_enabled.store(false);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (state == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool not_all = false;
  const LUID_AND_ATTRIBUTES* entry = state->Privileges;
  for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
    bool enable = (entry[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    if (!detail::is_lock_memory(entry[i].Luid)) not_all = not_all || enable;
    else if (!enable) detail::lock_enabled.store(false);
    else if (detail::may_lock_memory()) detail::lock_enabled.store(true);
    else not_all = true;
  }
  // The call succeeds either way; the last error tells what was granted.
  SetLastError(not_all ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

}  // namespace win
