// Process-wide calls: priority, debugger, system facts, locale.
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/sync.h"

namespace win {

void process_start() { std::signal(SIGPIPE, SIG_IGN); }

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(intptr_t(-1)); }

namespace {

constexpr DWORD IDLE_PRIORITY_CLASS = 0x00000040;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
constexpr DWORD REALTIME_PRIORITY_CLASS = 0x00000100;
constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x00004000;
constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x00008000;

// The nice value that stands for a priority class; false for no class.
bool nice_of_class(DWORD priority_class, int* nice) {
  switch (priority_class) {
    case IDLE_PRIORITY_CLASS: *nice = 19; return true;
    case BELOW_NORMAL_PRIORITY_CLASS: *nice = 10; return true;
    case NORMAL_PRIORITY_CLASS: *nice = 0; return true;
    case ABOVE_NORMAL_PRIORITY_CLASS: *nice = -5; return true;
    case HIGH_PRIORITY_CLASS: *nice = -10; return true;
    case REALTIME_PRIORITY_CLASS: *nice = -20; return true;
    default: return false;
  }
}

}  // namespace

BOOL SetPriorityClass(HANDLE process, DWORD priority_class) {
  int nice;
  if (process != GetCurrentProcess() || !nice_of_class(priority_class, &nice)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Threads inherit the nice value of the thread that creates them, and the
  // relay sets its class before it starts any. Without the right to raise
  // the priority the process keeps running as it is, as the system lets a
  // process without the privilege run in a lower class than it asked for.
  setpriority(PRIO_PROCESS, 0, nice);
  return TRUE;
}

BOOL SetProcessPriorityBoost(HANDLE process, BOOL disable) {
  (void)disable;  // the scheduler here has no dynamic boost to switch off
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL IsDebuggerPresent() {
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return FALSE;
  char buf[4096];
  ssize_t n;
  do n = read(fd, buf, sizeof buf - 1); while (n == -1 && errno == EINTR);
  close(fd);
  if (n <= 0) return FALSE;
  buf[n] = 0;
  const char* p = std::strstr(buf, "TracerPid:");
  if (p == nullptr) return FALSE;
  p += std::strlen("TracerPid:");
  while (*p == ' ' || *p == '\t') ++p;
  return (*p >= '1' && *p <= '9') ? TRUE : FALSE;
}

void GetSystemInfo(SYSTEM_INFO* info) {
  long page = sysconf(_SC_PAGESIZE);
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  info->dwPageSize = page > 0 ? DWORD(page) : 4096;
  info->lpMinimumApplicationAddress = reinterpret_cast<void*>(uintptr_t(0x10000));
  info->lpMaximumApplicationAddress = reinterpret_cast<void*>(uintptr_t(0x7FFFFFFEFFFF));
  info->dwNumberOfProcessors = cpus > 0 ? DWORD(cpus) : 1;
  info->dwAllocationGranularity = 65536;
}

namespace {

// The system's spelling of a Windows locale name: "bg-BG" is bg_BG.UTF-8.
// False when the name does not fit or is not ASCII.
bool system_locale_name(const wchar_t* name, char* out, size_t size) {
  size_t i = 0;
  bool has_codeset = false;
  for (; name[i] != 0; ++i) {
    if (i + sizeof ".UTF-8" >= size || name[i] < 0x20 || name[i] > 0x7E) return false;
    if (name[i] == L'.') has_codeset = true;
    // Only the language-region part changes: "bg-BG" but "UTF-8".
    out[i] = (name[i] == L'-' && !has_codeset) ? '_' : char(name[i]);
  }
  out[i] = 0;
  bool plain = i == 0 || std::strcmp(out, "C") == 0 || std::strcmp(out, "POSIX") == 0;
  if (!has_codeset && !plain) std::strcpy(out + i, ".UTF-8");
  return true;
}

}  // namespace

const wchar_t* _wsetlocale_all(const wchar_t* name) {
  // The console formats without the C library, so no locale changes its output.
  char narrow[64];
  if (name != nullptr && !system_locale_name(name, narrow, sizeof narrow)) return nullptr;
  const char* result = std::setlocale(LC_ALL, name == nullptr ? nullptr : narrow);
  if (result == nullptr) return nullptr;
  static thread_local wchar_t wide[128];
  size_t k = 0;
  for (; result[k] != 0 && k + 1 < sizeof wide / sizeof wide[0]; ++k)
    wide[k] = wchar_t(static_cast<unsigned char>(result[k]));
  wide[k] = 0;
  return wide;
}

}  // namespace win
