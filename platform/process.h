// Process-wide calls: priority, debugger, system facts, locale.
#pragma once
#include "platform/types.h"

namespace win {

constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;

// What a process has from its start there: a write to a pipe or socket
// whose reader has gone fails with an error instead of ending the process.
// Called first thing in main.
void process_start();

HANDLE GetCurrentProcess();
BOOL SetPriorityClass(HANDLE process, DWORD priority_class);     // best effort
BOOL SetProcessPriorityBoost(HANDLE process, BOOL disable);      // best effort
BOOL IsDebuggerPresent();                                        // a tracer is attached

struct SYSTEM_INFO {
  DWORD dwPageSize;
  void* lpMinimumApplicationAddress;
  void* lpMaximumApplicationAddress;
  DWORD dwNumberOfProcessors;
  DWORD dwAllocationGranularity;
};
void GetSystemInfo(SYSTEM_INFO* info);

// _wsetlocale(LC_ALL, name) for every category: best effort; NULL when the
// locale is not there ("bg-BG" is looked for as bg_BG.UTF-8).
const wchar_t* _wsetlocale_all(const wchar_t* name);

}  // namespace win
