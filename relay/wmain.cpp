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

  relay.run();
  if (win::IsDebuggerPresent()) {
    // Keep the console open for whoever debugs; nothing more needs tearing down.
    win::fwprintf(win::con_err, L"\r\n[finished] Press ENTER to exit . . .");
    win::getchar();
    win::ExitProcess(0);
  }
  return 0;
}
