// The event record: an auto-reset event and the flag that says whether it may
// still be used. Results: 0 done, 111 not valid (before the call, or closed
// during the wait), 138 time-out, else the Windows error code.
//
// event_close releases every thread blocked on the record (each gets 111) and
// closes the handle only once no thread can still be entering a wait or a
// signal on it: `inside` counts the threads between their test of `valid`
// and the end of their call.
#pragma once
#include "platform/types.h"

constexpr int EVENT_INVALID = 111;
constexpr int EVENT_TIMEOUT = 138;

struct QOR_EVENT {
  HANDLE handle;
  bool valid;
  int32_t inside;
};

int event_create(QOR_EVENT* e, bool set);
int event_signal(QOR_EVENT* e);
int event_wait(QOR_EVENT* e);
// The same with a time limit in milliseconds (138 when it passes).
int event_wait_for(QOR_EVENT* e, DWORD ms);
void event_close(QOR_EVENT* e);
