// The memory calls of the buffer pool: the large-page size, the privilege
// query, physical pages mapped into a reserved range, and the locked block.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/memory.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {

constexpr size_t page = 4096;

// Enables the lock-memory privilege as the pool does; true when granted.
bool enable_lock_privilege() {
  HANDLE token = nullptr;
  if (!win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY,
                             &token))
    return false;
  win::TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  bool ok = win::LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &tp.Privileges[0].Luid);
  tp.Privileges[0].Attributes = win::SE_PRIVILEGE_ENABLED;
  ok = ok && win::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) &&
       win::GetLastError() == ERROR_SUCCESS;
  win::CloseHandle(token);
  return ok;
}

TEST(Memory, LargePageSizeIsTheSystemsHugePageSize) {
  std::ifstream in("/proc/meminfo");
  std::string line;
  SIZE_T expected = 0;
  while (std::getline(in, line))
    if (line.rfind("Hugepagesize:", 0) == 0) expected = std::stoull(line.substr(13)) * 1024;
  EXPECT_EQ(win::GetLargePageMinimum(), expected);
}

TEST(Memory, PrivilegeLookupAndAdjustment) {
  win::LUID luid{};
  EXPECT_TRUE(win::LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &luid));
  EXPECT_FALSE(win::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid));
  EXPECT_EQ(win::GetLastError(), ERROR_NO_SUCH_PRIVILEGE);

  HANDLE token = nullptr;
  ASSERT_TRUE(win::OpenProcessToken(win::GetCurrentProcess(), 0x28, &token));
  win::TOKEN_PRIVILEGES tp{1, {{luid, win::SE_PRIVILEGE_ENABLED}}};
  win::SetLastError(77);
  EXPECT_TRUE(win::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
  DWORD e = win::GetLastError();
  EXPECT_TRUE(e == ERROR_SUCCESS || e == ERROR_NOT_ALL_ASSIGNED) << e;
  EXPECT_TRUE(win::CloseHandle(token));
  EXPECT_FALSE(win::AdjustTokenPrivileges(nullptr, FALSE, &tp, 0, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Memory, PhysicalPagesRoundTrip) {
  if (!enable_lock_privilege()) GTEST_SKIP() << "this process may not lock memory";
  constexpr ULONG_PTR count = 512;  // one 2 MiB large page, as the pool asks
  std::vector<ULONG_PTR> frames(count);
  ULONG_PTR granted = count;
  ASSERT_TRUE(win::AllocateUserPhysicalPages(win::GetCurrentProcess(), &granted, frames.data()));
  ASSERT_EQ(granted, count);
  void* range = win::VirtualAlloc(nullptr, count * page, win::MEM_RESERVE | win::MEM_PHYSICAL,
                                  win::PAGE_READWRITE);
  ASSERT_NE(range, nullptr);
  ASSERT_TRUE(win::MapUserPhysicalPages(range, granted, frames.data()));
  auto* p = static_cast<unsigned char*>(range);
  EXPECT_EQ(p[0], 0);
  for (size_t i = 0; i < count * page; i += page) p[i] = static_cast<unsigned char>(i / page);
  p[count * page - 1] = 0xEE;

  // The same pages mapped in reverse order into a second range show the
  // data written through the first: frames name the pages themselves.
  void* other = win::VirtualAlloc(nullptr, 2 * page, win::MEM_RESERVE | win::MEM_PHYSICAL,
                                  win::PAGE_READWRITE);
  ASSERT_NE(other, nullptr);
  ULONG_PTR two[2] = {frames[count - 1], frames[3]};
  ASSERT_TRUE(win::MapUserPhysicalPages(other, 2, two));
  auto* q = static_cast<unsigned char*>(other);
  EXPECT_EQ(q[0], static_cast<unsigned char>(count - 1));
  EXPECT_EQ(q[page - 1], 0xEE);
  EXPECT_EQ(q[page], 3);

  EXPECT_TRUE(win::MapUserPhysicalPages(other, 2, nullptr));
  EXPECT_TRUE(win::VirtualFree(other, 0, win::MEM_RELEASE));
  EXPECT_TRUE(win::MapUserPhysicalPages(range, granted, nullptr));
  EXPECT_TRUE(win::VirtualFree(range, 0, win::MEM_RELEASE));
  EXPECT_FALSE(win::VirtualFree(range, 0, win::MEM_RELEASE)) << "released twice";
  EXPECT_TRUE(win::FreeUserPhysicalPages(win::GetCurrentProcess(), &granted, frames.data()));
  EXPECT_EQ(granted, count);
  // Freed frames name nothing any more.
  ULONG_PTR again = 1;
  EXPECT_FALSE(win::FreeUserPhysicalPages(win::GetCurrentProcess(), &again, frames.data()));
  EXPECT_EQ(again, 0u);
}

TEST(Memory, MappingChecksItsRangeAndFrames) {
  if (!enable_lock_privilege()) GTEST_SKIP() << "this process may not lock memory";
  ULONG_PTR frames[4];
  ULONG_PTR granted = 4;
  ASSERT_TRUE(win::AllocateUserPhysicalPages(win::GetCurrentProcess(), &granted, frames));
  void* plain = win::VirtualAlloc(nullptr, 4 * page, win::MEM_RESERVE, win::PAGE_READWRITE);
  ASSERT_NE(plain, nullptr);
  // Physical pages go only into a range reserved for them.
  EXPECT_FALSE(win::MapUserPhysicalPages(plain, 4, frames));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  void* range = win::VirtualAlloc(nullptr, 4 * page, win::MEM_RESERVE | win::MEM_PHYSICAL,
                                  win::PAGE_READWRITE);
  ASSERT_NE(range, nullptr);
  EXPECT_FALSE(win::MapUserPhysicalPages(range, 5, frames)) << "past the end of the range";
  ULONG_PTR bogus[1] = {12345};
  EXPECT_FALSE(win::MapUserPhysicalPages(range, 1, bogus));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(win::VirtualFree(plain, 0, win::MEM_RELEASE));
  EXPECT_TRUE(win::VirtualFree(range, 0, win::MEM_RELEASE));
  EXPECT_TRUE(win::FreeUserPhysicalPages(win::GetCurrentProcess(), &granted, frames));
}

TEST(Memory, PhysicalPagesNeedThePrivilege) {
  HANDLE token = nullptr;
  ASSERT_TRUE(win::OpenProcessToken(win::GetCurrentProcess(), 0x28, &token));
  ASSERT_TRUE(win::AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
  win::CloseHandle(token);
  ULONG_PTR frames[1];
  ULONG_PTR n = 1;
  EXPECT_FALSE(win::AllocateUserPhysicalPages(win::GetCurrentProcess(), &n, frames));
  EXPECT_EQ(win::GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
}

// In a child: drops the right to lock memory beyond `limit` bytes (the
// capability, and the locked-memory limit, soft and hard).
void lose_lock_right(rlim_t limit) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capget, &header, data);
  data[CAP_IPC_LOCK / 32].effective &= ~(1u << (CAP_IPC_LOCK % 32));
  syscall(SYS_capset, &header, data);
  rlimit lim{limit, limit};
  setrlimit(RLIMIT_MEMLOCK, &lim);
}

// Exit code 0 when a process that may lock only 64 KiB is refused the
// privilege, the physical pages and the lock of a 2 MiB block, each with a
// number the error report can name.
[[noreturn]] void refused_without_the_right() {
  lose_lock_right(64 * 1024);
  HANDLE token = nullptr;
  win::OpenProcessToken(win::GetCurrentProcess(), 0x28, &token);
  win::AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr);  // as a fresh process
  win::TOKEN_PRIVILEGES tp{1, {{{0, 0}, win::SE_PRIVILEGE_ENABLED}}};
  win::LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &tp.Privileges[0].Luid);
  if (!win::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr)) _exit(1);
  if (win::GetLastError() != ERROR_NOT_ALL_ASSIGNED) _exit(2);
  ULONG_PTR frames[1];
  ULONG_PTR n = 1;
  if (win::AllocateUserPhysicalPages(win::GetCurrentProcess(), &n, frames)) _exit(3);
  if (win::GetLastError() != ERROR_PRIVILEGE_NOT_HELD) _exit(4);
  constexpr SIZE_T large = 2 * 1024 * 1024;
  void* p = win::_aligned_malloc(large, large);
  win::SetProcessWorkingSetSize(win::GetCurrentProcess(), 9 * large, 9 * large);
  if (p == nullptr || win::VirtualLock(p, large)) _exit(5);
  if (win::GetLastError() != ERROR_WORKING_SET_QUOTA) _exit(6);
  _exit(0);
}

// Exit code 0 when an unlimited locked-memory limit alone grants the
// privilege; 77 when the limit cannot be raised here.
[[noreturn]] void granted_by_an_unlimited_limit() {
  lose_lock_right(RLIM_INFINITY);
  rlimit lim{};
  if (getrlimit(RLIMIT_MEMLOCK, &lim) != 0 || lim.rlim_cur != RLIM_INFINITY) _exit(77);
  HANDLE token = nullptr;
  win::OpenProcessToken(win::GetCurrentProcess(), 0x28, &token);
  win::TOKEN_PRIVILEGES tp{1, {{{0, 0}, win::SE_PRIVILEGE_ENABLED}}};
  win::LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &tp.Privileges[0].Luid);
  if (!win::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr)) _exit(1);
  _exit(win::GetLastError() == ERROR_SUCCESS ? 0 : 2);
}

// Exit code 0 when, the privilege enabled but the locked-memory limit
// lowered to 1 MiB afterwards, a request for 2 MiB of pages is granted in
// part and the pages granted work.
[[noreturn]] void granted_in_part() {
  if (!enable_lock_privilege()) _exit(77);
  lose_lock_right(1024 * 1024);
  std::vector<ULONG_PTR> frames(512);
  ULONG_PTR n = 512;
  if (!win::AllocateUserPhysicalPages(win::GetCurrentProcess(), &n, frames.data())) _exit(1);
  if (n == 0 || n >= 512) _exit(2);
  void* range = win::VirtualAlloc(nullptr, n * page, win::MEM_RESERVE | win::MEM_PHYSICAL,
                                  win::PAGE_READWRITE);
  if (range == nullptr || !win::MapUserPhysicalPages(range, n, frames.data())) _exit(3);
  std::memset(range, 0x5A, n * page);
  if (!win::MapUserPhysicalPages(range, n, nullptr) || !win::VirtualFree(range, 0, win::MEM_RELEASE))
    _exit(4);
  if (!win::FreeUserPhysicalPages(win::GetCurrentProcess(), &n, frames.data())) _exit(5);
  _exit(0);
}

TEST(Memory, FewerPagesThanAskedAreGrantedWhenTheLimitRunsOut) {
  if (!enable_lock_privilege()) GTEST_SKIP() << "this process may not lock memory";
  EXPECT_EXIT(granted_in_part(), testing::ExitedWithCode(0), "");
}

TEST(Memory, WithoutTheRightToLock) {
  EXPECT_EXIT(refused_without_the_right(), testing::ExitedWithCode(0), "");
}

TEST(Memory, AnUnlimitedLockLimitCountsAsThePrivilege) {
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) granted_by_an_unlimited_limit();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the locked-memory limit cannot be raised here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Memory, AlignedBlockLocksAndUnlocks) {
  constexpr SIZE_T large = 2 * 1024 * 1024;
  void* p = win::_aligned_malloc(large, large);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % large, 0u);
  win::SetProcessWorkingSetSize(win::GetCurrentProcess(), large + 8 * large, large + 8 * large);
  if (win::VirtualLock(p, large)) {
    std::memset(p, 0, large);
    EXPECT_TRUE(win::VirtualUnlock(p, large));
  } else {
    // A refusal is one the error report can name.
    DWORD e = win::GetLastError();
    EXPECT_TRUE(e == ERROR_WORKING_SET_QUOTA || e == ERROR_PRIVILEGE_NOT_HELD) << e;
  }
  win::_aligned_free(p);
  EXPECT_EQ(win::_aligned_malloc(64, 3), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Memory, HeapAndCommittedRanges) {
  HANDLE heap = win::GetProcessHeap();
  auto* a = static_cast<ULONG_PTR*>(win::HeapAlloc(heap, win::HEAP_ZERO_MEMORY, 64 * sizeof(ULONG_PTR)));
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(a[i], 0u);
  EXPECT_TRUE(win::HeapFree(heap, 0, a));
  void* c = win::VirtualAlloc(nullptr, 10000, win::MEM_RESERVE | win::MEM_COMMIT, win::PAGE_READWRITE);
  ASSERT_NE(c, nullptr);
  std::memset(c, 1, 3 * page);  // rounded up to whole pages
  EXPECT_TRUE(win::VirtualFree(c, 0, win::MEM_RELEASE));
  EXPECT_EQ(win::VirtualAlloc(nullptr, 0, win::MEM_RESERVE, win::PAGE_READWRITE), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
