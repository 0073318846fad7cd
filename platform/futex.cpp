#include "platform/futex.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace win::detail {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

uint64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t deadline_after(DWORD milliseconds) {
  if (milliseconds == INFINITE) return 0;
  return monotonic_ns() + uint64_t(milliseconds) * 1000000u;
}

bool futex_wait(std::atomic<uint32_t>* word, uint32_t expected, uint64_t deadline) {
  // The bitset form takes an absolute time on the monotonic clock.
  timespec ts;
  timespec* limit = nullptr;
  if (deadline != 0) {
    ts.tv_sec = time_t(deadline / 1000000000u);
    ts.tv_nsec = long(deadline % 1000000000u);
    limit = &ts;
  }
  long r = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE,
                   expected, limit, nullptr, FUTEX_BITSET_MATCH_ANY);
  return !(r == -1 && errno == ETIMEDOUT);
}

void futex_wake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
}

}  // namespace win::detail
