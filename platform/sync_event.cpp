// Auto-reset events on one futex word: bit 0 is the set state, the bits
// above count the threads that sleep (or are about to sleep) on the word.
// A signal is one atomic OR and enters the kernel only when a thread
// sleeps; a wait that finds the event set takes it with one compare-exchange.
#include <unistd.h>

#include <ctime>
#include <new>

#include "platform/futex.h"
#include "platform/handle.h"
#include "platform/sync.h"

namespace win {

namespace detail {

namespace {

constexpr uint32_t set_bit = 1;
constexpr uint32_t one_sleeper = 2;

struct event_object {
  object_head head;
  std::atomic<uint32_t> word;
};

event_object* as_event(object_head* o) { return reinterpret_cast<event_object*>(o); }

// Waking a sleeping thread costs the waker a system call and the sleeper a
// pass through the scheduler: some 20 us each on a virtual machine, paid
// twice per packet and recipient when both sides of the hand-off sleep. A
// hand-off is mostly answered sooner than that, so a wait watches the word
// for a while before it sleeps. Only a few threads spin at once: with many
// recipients, writers spinning for their next packet would take the CPUs
// that the reader and the sockets need (measured: one WebSocket or TLS
// sender to one receiver moves 4-7 times as much; fan-outs are unchanged).
constexpr uint64_t spin_ns = 20000;
std::atomic<int> spinners{0};

int max_spinners() {
  static const int n = [] {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus >= 8 ? int(cpus / 4) : 1;
  }();
  return n;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void spin_until_set(event_object* e) {
  if (spinners.fetch_add(1) >= max_spinners()) {
    spinners.fetch_sub(1);
    return;
  }
  uint64_t start = monotonic_ns();
  for (unsigned i = 1; (e->word.load(std::memory_order_relaxed) & set_bit) == 0; ++i) {
    cpu_relax();
    if ((i & 31) == 0 && monotonic_ns() - start > spin_ns) break;
  }
  spinners.fetch_sub(1);
}

}  // namespace

DWORD wait_event(object_head* o, DWORD milliseconds) {
  event_object* e = as_event(o);
  uint64_t deadline = deadline_after(milliseconds);
  uint32_t v = e->word.load();
  bool spun = false;
  for (;;) {
    if (v & set_bit) {
      // Taking the set state is what makes the event auto-reset.
      if (e->word.compare_exchange_weak(v, v & ~set_bit)) return WAIT_OBJECT_0;
      continue;
    }
    if (deadline != 0 && monotonic_ns() >= deadline) return WAIT_TIMEOUT;
    if (!spun) {
      spun = true;
      spin_until_set(e);
      v = e->word.load();
      continue;
    }
    // Count ourselves in before sleeping, so that a signal from here on
    // either changes the word (the futex then does not sleep) or wakes us.
    if (!e->word.compare_exchange_weak(v, v + one_sleeper)) continue;
    futex_wait(&e->word, v + one_sleeper, deadline);
    v = e->word.fetch_sub(one_sleeper) - one_sleeper;
  }
}

bool close_event(object_head* o) {
  o->kind = kind_none;
  delete as_event(o);
  return true;
}

}  // namespace detail

HANDLE CreateEventW(void* security, BOOL manual_reset, BOOL initial_state, const wchar_t* name) {
  (void)security;
  if (manual_reset || name != nullptr) {  // only unnamed auto-reset events exist here
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto* e = new (std::nothrow) detail::event_object;
  if (e == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  e->head.kind = detail::kind_event;
  e->word.store(initial_state ? detail::set_bit : 0);
  return e;
}

BOOL SetEvent(HANDLE event) {
  detail::object_head* o = detail::object_of(event, detail::kind_event);
  if (o == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  detail::event_object* e = detail::as_event(o);
  uint32_t old = e->word.fetch_or(detail::set_bit);
  // An event already set has had its wake; a second signal adds nothing.
  if ((old & detail::set_bit) == 0 && old >= detail::one_sleeper) detail::futex_wake(&e->word, 1);
  return TRUE;
}

}  // namespace win
