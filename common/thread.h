// The thread record: one thread's creation parameters and handle. Each record
// has one owner, which alone terminates and closes it; others may join it.
// A thread sets its own `ended` as its last act and never closes its handle.
#pragma once
#include "platform/sync.h"

struct QOR_THREAD {
  uint64_t stack_size;
  uint32_t flags;
  HANDLE handle;
  uint32_t id;
  bool ended;
  bool started;
};

// The stack reservation of every thread the relay creates.
extern uint64_t thread_stack_size;

int thread_create(QOR_THREAD* t, win::LPTHREAD_START_ROUTINE entry, void* parameter);
int thread_join(QOR_THREAD* t);        // 0, 111, 138 or the Windows error code
int thread_terminate(QOR_THREAD* t);   // 0 or the Windows error code
void thread_close(QOR_THREAD* t);
void thread_mark_ended(QOR_THREAD* t); // the thread's last act
