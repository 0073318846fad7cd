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

bool futex_wait(std::atomic<uint32_t>* word, uint32_t expected, DWORD milliseconds) {
  timespec ts;
  timespec* limit = nullptr;
  if (milliseconds != INFINITE) {
    ts.tv_sec = time_t(milliseconds / 1000);
    ts.tv_nsec = long(milliseconds % 1000) * 1000000L;
    limit = &ts;
  }
  long r = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
                   limit, nullptr, 0);
  return !(r == -1 && errno == ETIMEDOUT);
}

void futex_wake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
}

uint64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

}  // namespace win::detail
