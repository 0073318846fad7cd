// The calls common to every handle, the thread's last error, and the
// process-wide sleep, yield and exit.
#include "platform/sync.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <unistd.h>

#include "platform/handle.h"

namespace win {

namespace {
thread_local DWORD last_error = 0;
}

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (detail::object_head* o = detail::object_of(handle, detail::kind_event))
    return detail::wait_event(o, milliseconds);
  if (detail::object_head* o = detail::object_of(handle, detail::kind_thread))
    return detail::wait_thread(o, milliseconds);
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == reinterpret_cast<HANDLE>(intptr_t(-1))) return TRUE;  // the process itself
  if (detail::object_head* o = detail::object_of(handle, detail::kind_event))
    return detail::close_event(o);
  if (detail::object_head* o = detail::object_of(handle, detail::kind_thread))
    return detail::close_thread(o);
  if (detail::object_head* o = detail::object_of(handle, detail::kind_token))
    return detail::close_token(o);
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

uint64_t GetTickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec ts{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

BOOL SwitchToThread() {
  sched_yield();
  return TRUE;
}

void ExitProcess(DWORD exit_code) {
  // Callers end here to skip the teardown and the exit handlers; the
  // console is unbuffered, so no output is lost.
  _exit(int(exit_code));
}

}  // namespace win
