// Events, threads and the thread's last error, in place of the Win32 calls.
// Events are auto-reset: a set event lets exactly one wait through.
// Handles are objects of this layer; CloseHandle frees them, so no thread
// may still be inside a call on a handle when it is closed.
#pragma once
#include "platform/types.h"

namespace win {

DWORD GetLastError();
void SetLastError(DWORD code);

// CreateEventW(NULL, FALSE, initial_state, NULL): auto-reset only.
HANDLE CreateEventW(void* security, BOOL manual_reset, BOOL initial_state, const wchar_t* name);
BOOL SetEvent(HANDLE event);
// Events and threads; milliseconds or INFINITE.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000;
typedef DWORD (*LPTHREAD_START_ROUTINE)(void* parameter);
HANDLE CreateThread(void* security, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD flags, DWORD* thread_id);
// There is no safe way to end another thread here: this reports
// ERROR_NOT_SUPPORTED and leaves the thread running.
BOOL TerminateThread(HANDLE thread, DWORD exit_code);
[[noreturn]] void ExitProcess(DWORD exit_code);

// Sleep(0) gives up the rest of the time slice; SwitchToThread yields.
void Sleep(DWORD milliseconds);
BOOL SwitchToThread();

// Milliseconds on a clock that only moves forward (not the time of day).
uint64_t GetTickCount64();

}  // namespace win
