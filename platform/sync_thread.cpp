// Threads: a pthread with an object that the handle and the running thread
// share. The handle's owner may close it at any time: a finished thread is
// reaped then, a running one is detached and reaps itself.
#include <cerrno>
#include <climits>
#include <new>
#include <pthread.h>
#include <unistd.h>

#include "platform/futex.h"
#include "platform/handle.h"
#include "platform/sync.h"

namespace win {

namespace detail {

namespace {

// The smallest stack reservation a thread gets; the relay asks for 64 KiB.
// Measured on OpenSSL 3.0: a whole TLS server handshake (P-256 or RSA-4096
// certificate) peaks at about 8 KiB of stack, so 64 KiB would hold it, but
// leaves little for the relay's own frames (each console call formats into
// a 4 KiB buffer) and for error paths nobody measured. Under the sanitizers
// frames grow, and TSan keeps about 770 KiB of per-thread state in the
// thread's stack block. A reservation costs address space only: pages are
// committed as the stack grows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr SIZE_T minimum_stack = SIZE_T(2) << 20;
#else
constexpr SIZE_T minimum_stack = SIZE_T(512) << 10;
#endif

struct thread_object {
  object_head head;
  std::atomic<uint32_t> done;  // 1 once the entry has returned
  std::atomic<uint32_t> refs;  // the handle and the running thread
  std::atomic<uint32_t> tid;   // published by the thread as it starts
  pthread_t pthread;
  LPTHREAD_START_ROUTINE start;
  void* parameter;
};

thread_object* as_thread(object_head* o) { return reinterpret_cast<thread_object*>(o); }

void release(thread_object* t) {
  if (t->refs.fetch_sub(1) == 1) {
    t->head.kind = kind_none;
    delete t;
  }
}

void* run(void* p) {
  auto* t = static_cast<thread_object*>(p);
  t->tid.store(uint32_t(gettid()));
  futex_wake(&t->tid, 1);
  t->start(t->parameter);
  t->done.store(1);
  futex_wake(&t->done, INT_MAX);
  release(t);
  return nullptr;
}

DWORD error_of_pthread(int e) {
  if (e == EAGAIN) return ERROR_NOT_ENOUGH_MEMORY;
  if (e == EPERM) return ERROR_ACCESS_DENIED;
  return ERROR_INVALID_PARAMETER;
}

}  // namespace

DWORD wait_thread(object_head* o, DWORD milliseconds) {
  thread_object* t = as_thread(o);
  uint64_t deadline = deadline_after(milliseconds);
  while (t->done.load() == 0) {
    if (deadline != 0 && monotonic_ns() >= deadline) return WAIT_TIMEOUT;
    futex_wait(&t->done, 0, deadline);
  }
  return WAIT_OBJECT_0;
}

bool close_thread(object_head* o) {
  thread_object* t = as_thread(o);
  // A finished thread is joined so its stack goes back now; pthread_join
  // also waits out the few instructions it runs after `done`.
  if (t->done.load() != 0) pthread_join(t->pthread, nullptr);
  else pthread_detach(t->pthread);
  release(t);
  return true;
}

}  // namespace detail

HANDLE CreateThread(void* security, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD flags, DWORD* thread_id) {
  (void)security;
  (void)flags;  // the size is taken as a reservation either way
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* t = new (std::nothrow) detail::thread_object;
  if (t == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  t->head.kind = detail::kind_thread;
  t->done.store(0);
  t->refs.store(2);
  t->tid.store(0);
  t->start = start;
  t->parameter = parameter;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  SIZE_T size = stack_size < detail::minimum_stack ? detail::minimum_stack : stack_size;
  int e = pthread_attr_setstacksize(&attr, size);
  if (e == 0) e = pthread_create(&t->pthread, &attr, detail::run, t);
  pthread_attr_destroy(&attr);
  if (e != 0) {
    delete t;
    SetLastError(detail::error_of_pthread(e));
    return nullptr;
  }
  // The id is the thread's own, as the system tools show it.
  while (t->tid.load() == 0) detail::futex_wait(&t->tid, 0, 0);
  if (thread_id != nullptr) *thread_id = t->tid.load();
  return t;
}

BOOL TerminateThread(HANDLE thread, DWORD exit_code) {
  (void)thread;
  (void)exit_code;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

}  // namespace win
