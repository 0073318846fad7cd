// The event record with real threads: signals, waits and the close that
// releases every waiter, also while other threads race it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/event.h"
#include "platform/sync.h"

namespace {

// True when a wait on the record's event would block for `ms` now (it takes
// the set state when it does not block).
bool would_block(QOR_EVENT* e, DWORD ms = 30) {
  return win::WaitForSingleObject(e->handle, ms) == WAIT_TIMEOUT;
}

TEST(Event, ZeroedRecordRefusesAtOnce) {
  QOR_EVENT e{};
  EXPECT_EQ(event_wait(&e), EVENT_INVALID);
  EXPECT_EQ(event_signal(&e), EVENT_INVALID);
  event_close(&e);
  EXPECT_EQ(e.handle, nullptr);
  EXPECT_FALSE(e.valid);
}

TEST(Event, CreatedSetLetsOneWaitThrough) {
  QOR_EVENT e{};
  ASSERT_EQ(event_create(&e, true), 0);
  EXPECT_TRUE(e.valid);
  EXPECT_EQ(event_wait(&e), 0);
  EXPECT_TRUE(would_block(&e));
  EXPECT_EQ(event_signal(&e), 0);
  EXPECT_EQ(event_wait(&e), 0);
  event_close(&e);
}

TEST(Event, SignalsDoNotAddUp) {
  QOR_EVENT e{};
  ASSERT_EQ(event_create(&e, false), 0);
  EXPECT_TRUE(would_block(&e));
  EXPECT_EQ(event_signal(&e), 0);
  EXPECT_EQ(event_signal(&e), 0);
  EXPECT_EQ(event_wait(&e), 0);
  EXPECT_TRUE(would_block(&e));
  event_close(&e);
}

TEST(Event, SignalWakesABlockedWaiter) {
  QOR_EVENT e{};
  ASSERT_EQ(event_create(&e, false), 0);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = event_wait(&e); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result.load(), -1) << "the wait returned without a signal";
  EXPECT_EQ(event_signal(&e), 0);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  event_close(&e);
}

TEST(Event, CloseReleasesEveryWaiterWith111) {
  QOR_EVENT e{};
  ASSERT_EQ(event_create(&e, false), 0);
  constexpr int waiters = 8;
  std::atomic<int> results[waiters];
  std::vector<std::thread> threads;
  for (int i = 0; i < waiters; ++i) {
    results[i] = -1;
    threads.emplace_back([&, i] { results[i] = event_wait(&e); });
  }
  // Let them reach their waits; the close must release them wherever they are.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  event_close(&e);
  for (auto& t : threads) t.join();
  for (int i = 0; i < waiters; ++i) EXPECT_EQ(results[i].load(), EVENT_INVALID) << i;
  EXPECT_EQ(e.handle, nullptr);
  EXPECT_EQ(e.inside, 0);
  EXPECT_EQ(event_wait(&e), EVENT_INVALID);
  EXPECT_EQ(event_signal(&e), EVENT_INVALID);
  event_close(&e);  // a second close does nothing
  EXPECT_EQ(e.handle, nullptr);
}

TEST(Event, CloseRacingSignalsAndWaits) {
  // Closers, signallers and waiters at once, many times over: every call
  // ends, only the record's results come back, and (under the sanitizers)
  // no thread touches the event after it was freed.
  for (int round = 0; round < 200; ++round) {
    QOR_EVENT e{};
    ASSERT_EQ(event_create(&e, round % 2 == 0), 0);
    std::atomic<bool> bad{false};
    auto waiter = [&] {
      for (;;) {
        int r = event_wait(&e);
        if (r == EVENT_INVALID) return;
        if (r != 0) { bad = true; return; }
      }
    };
    auto signaller = [&] {
      for (;;) {
        int r = event_signal(&e);
        if (r == EVENT_INVALID) return;
        if (r != 0) { bad = true; return; }
      }
    };
    std::thread w1(waiter), w2(waiter), s1(signaller);
    std::thread c1([&] { event_close(&e); }), c2([&] { event_close(&e); });
    c1.join();
    c2.join();
    w1.join();
    w2.join();
    s1.join();
    EXPECT_FALSE(bad.load()) << "round " << round;
    EXPECT_EQ(e.handle, nullptr);
    EXPECT_EQ(e.inside, 0);
  }
}

TEST(Event, SetRecordWorksAsALock) {
  QOR_EVENT lock{};
  ASSERT_EQ(event_create(&lock, true), 0);
  long counter = 0;  // plain: the lock alone orders the threads' updates
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      ASSERT_EQ(event_wait(&lock), 0);
      ++counter;
      ASSERT_EQ(event_signal(&lock), 0);
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(counter, 60000);
  event_close(&lock);
}

TEST(Event, PingPongLosesNoWake) {
  QOR_EVENT ping{}, pong{};
  ASSERT_EQ(event_create(&ping, false), 0);
  ASSERT_EQ(event_create(&pong, false), 0);
  constexpr int rounds = 20000;
  std::thread other([&] {
    for (int i = 0; i < rounds; ++i) {
      ASSERT_EQ(event_wait(&ping), 0);
      ASSERT_EQ(event_signal(&pong), 0);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    ASSERT_EQ(event_signal(&ping), 0);
    ASSERT_EQ(event_wait(&pong), 0);
  }
  other.join();
  event_close(&ping);
  event_close(&pong);
}

TEST(EventHandle, TimedWaitsAndBadHandles) {
  HANDLE h = win::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(h, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(win::WaitForSingleObject(h, 40), WAIT_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(40));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(win::SetEvent(h));
  EXPECT_EQ(win::WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(win::CloseHandle(h));

  EXPECT_EQ(win::WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(win::SetEvent(nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(win::CloseHandle(nullptr));
  // Only unnamed auto-reset events exist.
  EXPECT_EQ(win::CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(LastError, IsKeptPerThread) {
  win::SetLastError(1234);
  std::thread([] {
    EXPECT_EQ(win::GetLastError(), 0u);
    win::SetLastError(5);
  }).join();
  EXPECT_EQ(win::GetLastError(), 1234u);
}

}  // namespace
