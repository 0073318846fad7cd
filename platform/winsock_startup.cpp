// WSAStartup and WSACleanup: Winsock 2.2 only. The count of start-ups gates
// socket(), as on Windows; sockets are not closed by the last clean-up.
#define PLATFORM_NO_WINSOCK_DEFS
#include <atomic>
#include <cstring>

#include "platform/winsock.h"
#include "platform/winsock_table.h"

namespace win {
namespace {

constexpr uint16_t supported_version = 0x0202;  // 2.2: low byte major, high minor
std::atomic<int> startup_count{0};

bool version_supported(uint16_t requested) {
  unsigned major = requested & 0xFF;
  unsigned minor = requested >> 8;
  return major > 2 || (major == 2 && minor >= 2);
}

}  // namespace

// Returns the error number itself, as WSAStartup does; the thread's error is
// left alone (it may not be usable before a successful start-up).
int WSAStartup(uint16_t version_requested, WSADATA* data) {
  if (!data) return WSAEFAULT;
  if (!version_supported(version_requested)) return WSAVERNOTSUPPORTED;
  std::memset(data, 0, sizeof *data);
  data->wVersion = supported_version;
  data->wHighVersion = supported_version;
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  startup_count.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int count = startup_count.load();
  while (count > 0 && !startup_count.compare_exchange_weak(count, count - 1)) {
  }
  if (count <= 0) return detail::wsa_fail(WSANOTINITIALISED);
  return 0;
}

}  // namespace win

namespace win::detail {

bool wsa_started() { return startup_count.load() > 0; }

}  // namespace win::detail
