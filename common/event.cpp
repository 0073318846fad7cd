// The event record. `inside` counts the threads between their test of
// `valid` and the end of their call: event_close keeps signalling until it
// is 0, so every thread blocked on the record is released, and only then
// frees the handle, so no thread is ever inside a call on a freed handle.
#include "common/event.h"

#include "common/atomic.h"
#include "platform/sync.h"

namespace {

// Maps a WaitForSingleObject result onto the record's results.
int wait_result(DWORD w) {
  if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) return 0;
  if (w == WAIT_TIMEOUT) return EVENT_TIMEOUT;
  return int(win::GetLastError());
}

}  // namespace

int event_create(QOR_EVENT* e, bool set) {
  HANDLE h = win::CreateEventW(nullptr, FALSE, set ? TRUE : FALSE, nullptr);
  if (h == nullptr) return int(win::GetLastError());
  e->handle = h;
  a_store(e->valid, true);
  return 0;
}

int event_signal(QOR_EVENT* e) {
  a_add(e->inside, 1);
  int r = EVENT_INVALID;
  if (a_load(e->valid)) r = win::SetEvent(e->handle) ? 0 : int(win::GetLastError());
  a_add(e->inside, -1);
  return r;
}

int event_wait(QOR_EVENT* e) { return event_wait_for(e, INFINITE); }

int event_wait_for(QOR_EVENT* e, DWORD ms) {
  a_add(e->inside, 1);
  int r = EVENT_INVALID;
  if (a_load(e->valid)) {
    r = wait_result(win::WaitForSingleObject(e->handle, ms));
    // Closed while we waited: whatever let us through was the close.
    if (!a_load(e->valid)) r = EVENT_INVALID;
  }
  a_add(e->inside, -1);
  return r;
}

void event_close(QOR_EVENT* e) {
  if (!a_exchange(e->valid, false)) return;  // never created, or closed already
  // One signal releases one waiter; keep signalling until every thread that
  // passed its `valid` test has left its call. Threads arriving from now on
  // see `valid` false and do not touch the handle.
  for (;;) {
    win::SetEvent(e->handle);
    if (a_load(e->inside) == 0) break;
    win::SwitchToThread();
  }
  win::CloseHandle(e->handle);
  e->handle = nullptr;
}
