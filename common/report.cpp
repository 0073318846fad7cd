// The error report. No lock: the two lines are two writes, and another
// thread's output may fall between them.
#include "common/report.h"

#include "platform/console.h"
#include "platform/format_message.h"

namespace {

DWORD report_to(win::console_stream to, DWORD code, const wchar_t* text) {
  wchar_t* message = nullptr;
  win::FormatMessageW(win::FORMAT_MESSAGE_ALLOCATE_BUFFER | win::FORMAT_MESSAGE_IGNORE_INSERTS |
                          win::FORMAT_MESSAGE_FROM_SYSTEM,
                      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (text != nullptr) win::fwprintf(to, L"%ls\n", text);
  // The system's text ends the line; without one the line stays open.
  win::fwprintf(to, L"   ^ERROR: %u, %ls", code, message);
  if (message != nullptr) win::LocalFree(message);
  return code;
}

}  // namespace

DWORD report_error(DWORD code, const wchar_t* text) { return report_to(win::con_out, code, text); }

DWORD report_error_stderr(DWORD code, const wchar_t* text) {
  return report_to(win::con_err, code, text);
}
