// The usage text, printed when help is asked for or the port is 0.
#include "relay/socket.h"

#include "platform/console.h"
#include "platform/process.h"

int usage(const wchar_t* name) {
  win::wprintf(L":: WebSocket relay utility\n");
  win::wprintf(L"-------------------------------------------------------------------------------\n");
  win::wprintf(L":: Relay data between WebSocket, TCP and TLS clients.\n");
  win::wprintf(L"-------------------------------------------------------------------------------\n");
  win::wprintf(L":: usage ::\n");
  win::wprintf(L"\t%s <-p listen port>\n", name);
  win::wprintf(L"\t[-p listen port]\n");
  win::wprintf(L"\t[-c 1 to %u connections]\n", unsigned(MAX_CONNECTIONS));
  win::wprintf(L"\t[-L 1472|1405|1422|65112|65507       packet length]\n");
  win::wprintf(L"\n");
  win::wprintf(L":: example ::\n");
  win::wprintf(L"\t%s\n", name);
  win::wprintf(L"\t%s -p 81\n", name);
  win::wprintf(L"\n");
  win::wprintf(L"\n");
  if (win::IsDebuggerPresent()) {
    win::fwprintf(win::con_err, L"\r\n[finished] Press ENTER to exit . . .");
    win::fgetwc_stdin();
  }
  return 0;
}
