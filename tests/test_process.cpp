// Process-wide calls: system facts, priority, debugger, locale.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/console.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {

TEST(Process, SystemFactsAsThePoolExpectsThem) {
  win::SYSTEM_INFO si{};
  win::GetSystemInfo(&si);
  EXPECT_EQ(si.dwPageSize, 4096u);
  EXPECT_EQ(si.dwAllocationGranularity, 65536u);
  EXPECT_GE(si.dwNumberOfProcessors, 1u);
}

// Exit code 0 when the high class raises the priority, or leaves it as it
// was where raising is not allowed, and an unknown class is refused.
[[noreturn]] void set_high_priority() {
  errno = 0;
  int before = getpriority(PRIO_PROCESS, 0);
  if (!win::SetPriorityClass(win::GetCurrentProcess(), win::HIGH_PRIORITY_CLASS)) _exit(1);
  int after = getpriority(PRIO_PROCESS, 0);
  if (after != -10 && after != before) _exit(2);
  if (win::SetPriorityClass(win::GetCurrentProcess(), 0x12345)) _exit(3);
  if (win::GetLastError() != ERROR_INVALID_PARAMETER) _exit(4);
  if (!win::SetProcessPriorityBoost(win::GetCurrentProcess(), TRUE)) _exit(5);
  _exit(0);
}

TEST(Process, HighPriorityClass) {
  EXPECT_EXIT(set_high_priority(), testing::ExitedWithCode(0), "");
}

TEST(Process, DebuggerIsSeenOnlyWhenATracerIsAttached) {
  if (win::IsDebuggerPresent()) GTEST_SKIP() << "the tests themselves run under a tracer";
  pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // The parent becomes this process's tracer.
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == -1) _exit(77);
    _exit(win::IsDebuggerPresent() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "tracing is not allowed here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::string fmt(const wchar_t* format, ...) {
  char buf[128];
  va_list ap;
  va_start(ap, format);
  win::format_utf8(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

TEST(Process, LocaleDoesNotChangeTheConsole) {
  const std::string before = fmt(L"%d %u %s", -1234567, 3000000000u, L"текст");
  const wchar_t* bg = win::_wsetlocale_all(L"bg-BG");
  if (bg != nullptr) {
    EXPECT_EQ(std::wstring(bg), L"bg_BG.UTF-8");
  }
  const wchar_t* c = win::_wsetlocale_all(L"C.UTF-8");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::wstring(c), L"C.UTF-8");
  EXPECT_EQ(fmt(L"%d %u %s", -1234567, 3000000000u, L"текст"), before);
  EXPECT_EQ(win::_wsetlocale_all(L"xx-NOWHERE"), nullptr);
  ASSERT_NE(win::_wsetlocale_all(L"C"), nullptr);
}

}  // namespace
