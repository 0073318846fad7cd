// The hand-off cost of the event records, which carry every packet of the
// relay: one signal and one wait per packet per recipient.
//
// PingPong/futex is the floor: two threads passing a turn through one
// futex word each, with no more than the kernel's wait and wake.
// PingPong/event does the same through two event records. Signal/no_waiter
// is what a signal costs when nobody sleeps on the event.
#include <benchmark/benchmark.h>

#include <atomic>
#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "common/event.h"

namespace {

void futex_wait(std::atomic<uint32_t>* w, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake(std::atomic<uint32_t>* w) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// A bare one-shot flag: set it and wake, or wait for it and clear it.
struct bare_flag {
  std::atomic<uint32_t> word{0};
  void signal() {
    word.store(1);
    futex_wake(&word);
  }
  void wait() {
    while (word.exchange(0) == 0) futex_wait(&word, 0);
  }
};

void PingPong_futex(benchmark::State& state) {
  bare_flag ping, pong;
  std::atomic<bool> stop{false};
  std::thread other([&] {
    for (;;) {
      ping.wait();
      if (stop.load()) return;
      pong.signal();
    }
  });
  for (auto _ : state) {
    ping.signal();
    pong.wait();
  }
  stop = true;
  ping.signal();
  other.join();
}
BENCHMARK(PingPong_futex)->UseRealTime();

void PingPong_event(benchmark::State& state) {
  QOR_EVENT ping{}, pong{};
  event_create(&ping, false);
  event_create(&pong, false);
  std::thread other([&] {
    while (event_wait(&ping) == 0) event_signal(&pong);
  });
  for (auto _ : state) {
    event_signal(&ping);
    event_wait(&pong);
  }
  event_close(&ping);  // ends the other thread's wait with 111
  other.join();
  event_close(&pong);
}
BENCHMARK(PingPong_event)->UseRealTime();

void Signal_no_waiter(benchmark::State& state) {
  QOR_EVENT e{};
  event_create(&e, false);
  for (auto _ : state) benchmark::DoNotOptimize(event_signal(&e));
  event_close(&e);
}
BENCHMARK(Signal_no_waiter);

}  // namespace

BENCHMARK_MAIN();
