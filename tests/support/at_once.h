// Runs `f` on `threads` threads released together, and waits for them all:
// for races that only show when the calls really overlap.
#pragma once
#include <latch>
#include <thread>
#include <vector>

template <class F>
void run_at_once(int threads, F f) {
  std::latch start(threads);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i)
    pool.emplace_back([&] {
      start.arrive_and_wait();
      f();
    });
  for (std::thread& t : pool) t.join();
}
