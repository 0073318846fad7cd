// The thread record over real threads, and the stack every thread gets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <openssl/ssl.h>
#include <thread>

#include "common/atomic.h"
#include "common/event.h"
#include "common/thread.h"
#include "support/certs.h"
#include "support/tls_client.h"

namespace {

struct job {
  std::atomic<int> ran{0};
  std::atomic<bool> release{true};
  QOR_THREAD* self = nullptr;
};

DWORD run_job(void* p) {
  auto* j = static_cast<job*>(p);
  j->ran += 1;
  while (!j->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (j->self != nullptr) thread_mark_ended(j->self);
  return 0;
}

struct stack_size_guard {
  uint64_t saved = thread_stack_size;
  explicit stack_size_guard(uint64_t size) { thread_stack_size = size; }
  ~stack_size_guard() { thread_stack_size = saved; }
};

TEST(Thread, CreateRunsAtOnceAndJoinWaitsForTheEnd) {
  stack_size_guard size(65536);
  job j;
  j.release = false;
  QOR_THREAD t{};
  j.self = &t;
  ASSERT_EQ(thread_create(&t, run_job, &j), 0);
  EXPECT_TRUE(a_load(t.started));
  EXPECT_NE(t.handle, nullptr);
  EXPECT_NE(t.id, 0u);
  EXPECT_EQ(t.stack_size, 65536u);
  EXPECT_EQ(t.flags, win::STACK_SIZE_PARAM_IS_A_RESERVATION);
  for (int i = 0; i < 2000 && j.ran.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(j.ran.load(), 1);
  EXPECT_EQ(win::WaitForSingleObject(t.handle, 20), WAIT_TIMEOUT);
  EXPECT_FALSE(a_load(t.ended));
  j.release = true;
  EXPECT_EQ(thread_join(&t), 0);
  EXPECT_TRUE(a_load(t.ended));
  // Joining an ended thread whose record is still started returns at once.
  EXPECT_EQ(thread_join(&t), 0);
  thread_close(&t);
  QOR_THREAD zero{};
  EXPECT_EQ(std::memcmp(&t, &zero, sizeof t), 0) << "every field is cleared";
}

TEST(Thread, RecordsThatAreNotStarted) {
  QOR_THREAD t{};
  EXPECT_EQ(thread_join(&t), EVENT_INVALID);
  EXPECT_EQ(thread_terminate(&t), 0);
  t.stack_size = 5;
  t.flags = 7;
  thread_close(&t);  // not started: left as it is
  EXPECT_EQ(t.stack_size, 5u);
  EXPECT_EQ(t.flags, 7u);
}

TEST(Thread, TerminateIsRefusedAndLeavesTheThreadRunning) {
  job j;
  j.release = false;
  QOR_THREAD t{};
  ASSERT_EQ(thread_create(&t, run_job, &j), 0);
  EXPECT_EQ(thread_terminate(&t), int(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(a_load(t.started));
  j.release = true;
  EXPECT_EQ(thread_join(&t), 0);
  EXPECT_EQ(j.ran.load(), 1);
  thread_close(&t);
}

TEST(Thread, ClosingARunningThreadLetsItFinish) {
  // The handle goes first; the thread still runs to its end and is reaped
  // then (the sanitizers report a leak or a use after free otherwise).
  static job j_static;
  job* j = &j_static;
  j->release = false;
  QOR_THREAD t{};
  ASSERT_EQ(thread_create(&t, run_job, j), 0);
  thread_close(&t);
  EXPECT_EQ(t.handle, nullptr);
  j->release = true;
  for (int i = 0; i < 2000 && j->ran.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(j->ran.load(), 1);
}

TEST(Thread, ManyThreadsAsTheRelayStartsThem) {
  stack_size_guard size(65536);
  constexpr int count = 65;  // 32 slots of two threads, and the parking thread
  QOR_THREAD threads[count] = {};
  job j;
  for (auto& t : threads) ASSERT_EQ(thread_create(&t, run_job, &j), 0);
  for (auto& t : threads) EXPECT_EQ(thread_join(&t), 0);
  for (auto& t : threads) thread_close(&t);
  EXPECT_EQ(j.ran.load(), count);
}

// Uses `bytes` of stack below the caller's frame, touching every page.
__attribute__((noinline)) int use_stack(size_t bytes) {
  volatile char chunk[16384];
  for (size_t i = 0; i < sizeof chunk; i += 512) chunk[i] = char(i);
  if (bytes <= sizeof chunk) return chunk[0];
  return use_stack(bytes - sizeof chunk) + chunk[512];
}

DWORD deep_stack(void* p) {
  use_stack(256 * 1024);
  static_cast<std::atomic<int>*>(p)->store(1);
  return 0;
}

TEST(ThreadStack, ASmallRequestStillGetsARoomyStack) {
  stack_size_guard size(65536);
  std::atomic<int> done{0};
  QOR_THREAD t{};
  ASSERT_EQ(thread_create(&t, deep_stack, &done), 0);
  EXPECT_EQ(thread_join(&t), 0);
  EXPECT_EQ(done.load(), 1);
  thread_close(&t);
}

struct handshake_job {
  SSL_CTX* ctx;
  std::atomic<int> ok{-1};
};

DWORD handshake_in_thread(void* p) {
  auto* h = static_cast<handshake_job*>(p);
  h->ok = handshake_in_memory(h->ctx) ? 1 : 0;
  return 0;
}

TEST(ThreadStack, TlsHandshakeRunsOnARelayThread) {
  // The relay asks for 64 KiB stacks; a TLS server handshake needs more.
  temp_dir dir;
  std::string pem = dir.path + "/cert.pem";
  ASSERT_TRUE(write_cert_file(pem, cert_days(30)));
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(SSL_CTX_use_certificate_chain_file(ctx, pem.c_str()), 1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(ctx, pem.c_str(), SSL_FILETYPE_PEM), 1);
  stack_size_guard size(65536);
  handshake_job h;
  h.ctx = ctx;
  QOR_THREAD t{};
  ASSERT_EQ(thread_create(&t, handshake_in_thread, &h), 0);
  EXPECT_EQ(thread_join(&t), 0);
  thread_close(&t);
  EXPECT_EQ(h.ok.load(), 1);
  SSL_CTX_free(ctx);
}

}  // namespace
