// The thread record.
#include "common/thread.h"

#include "common/atomic.h"
#include "common/event.h"

int thread_create(QOR_THREAD* t, win::LPTHREAD_START_ROUTINE entry, void* parameter) {
  t->flags |= win::STACK_SIZE_PARAM_IS_A_RESERVATION;
  t->stack_size = thread_stack_size;
  DWORD id = 0;
  HANDLE h = win::CreateThread(nullptr, t->stack_size, entry, parameter, t->flags, &id);
  if (h == nullptr) return int(win::GetLastError());
  t->handle = h;
  t->id = id;
  a_store(t->started, true);
  return 0;
}

int thread_join(QOR_THREAD* t) {
  if (!a_load(t->started)) return EVENT_INVALID;
  DWORD w = win::WaitForSingleObject(t->handle, INFINITE);
  int r;
  if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) r = 0;
  else if (w == WAIT_TIMEOUT) r = EVENT_TIMEOUT;
  else r = int(win::GetLastError());
  if (!a_load(t->started)) return EVENT_INVALID;
  return r;
}

int thread_terminate(QOR_THREAD* t) {
  if (!a_load(t->started)) return 0;
  return win::TerminateThread(t->handle, 1) ? 0 : int(win::GetLastError());
}

void thread_close(QOR_THREAD* t) {
  if (!a_load(t->started)) return;
  win::CloseHandle(t->handle);
  t->stack_size = 0;
  t->flags = 0;
  t->handle = nullptr;
  t->id = 0;
  a_store(t->ended, false);
  a_store(t->started, false);
}

void thread_mark_ended(QOR_THREAD* t) { a_store(t->ended, true); }
