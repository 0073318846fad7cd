// The entry point: priority, the relay object, run or usage, teardown.
#include "platform/console.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "relay/socket.h"

int wmain(int argc, wchar_t** argv) {
  HANDLE self = win::GetCurrentProcess();
  win::SetPriorityClass(self, win::HIGH_PRIORITY_CLASS);
  win::SetProcessPriorityBoost(self, 1);

  QOR_SOCKET relay(argc, argv);
  if (!relay.configured) return usage(argv[0]);  // the teardown follows on return

  // A failure the relay reported (Winsock start-up, socket, bind, listen,
  // accept) shows in the exit status, for scripts and service managers.
  const int exit_code = relay.run() == 0 ? 0 : 1;
  if (win::IsDebuggerPresent()) {
    // Keep the console open for whoever debugs; nothing more needs tearing down.
    win::fwprintf(win::con_err, L"\r\n[finished] Press ENTER to exit . . .");
    win::getchar();
    win::ExitProcess(DWORD(exit_code));
  }
  return exit_code;
}
