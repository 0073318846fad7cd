// The listener: Winsock start-up, the one listening socket, the release of
// every reader's start gate, and the wait until all readers have ended.
#include "relay/socket.h"

#include <cstring>

#include "common/atomic.h"
#include "common/report.h"
#include "platform/console.h"
#include "relay/globals.h"
#include "stream/context.h"

namespace {

constexpr uint16_t wsa_version_requested = 0x0202;

void set_int_option(SOCKET so, int level, int option, int value) {
  win::setsockopt(so, level, option, reinterpret_cast<const char*>(&value), sizeof(value));
}

}  // namespace

void close_listen_socket() {
  SOCKET so = a_exchange(so_listen, INVALID_SOCKET);
  if (so == INVALID_SOCKET) return;
  win::shutdown(so, win::SD_BOTH);
  win::closesocket(so);
}

int QOR_SOCKET::run() {
  win::WSADATA wsa_data;
  int r = win::WSAStartup(wsa_version_requested, &wsa_data);
  if (r != 0) {
    report_error(DWORD(r), L"WSAStartup(wsa_version_requested, &wsa_data)");
    win::WSACleanup();
    return r;
  }
  if (wsa_data.wVersion != 0x0202) {
    win::wprintf(L"Version 2.2 of Winsock is required, but not available!\r\n");
    win::WSACleanup();
    return -1;
  }
  std::memset(&addr_local, 0, sizeof(addr_local));
  addr_local.sin_family = win::AF_INET;
  addr_local.sin_port = win::htons(local_port);
  addr_local.sin_addr.s_addr =
      addr_local_text[0] ? win::inet_addr(addr_local_text) : win::INADDR_ANY;
  return server_listen();
}

// Failures are passed over: the socket works with what the system accepted.
void QOR_SOCKET::set_socket_options(SOCKET so) {
  set_int_option(so, win::SOL_SOCKET, win::SO_RCVBUF, int(uint32_t(packet_length_r)));
  set_int_option(so, win::SOL_SOCKET, win::SO_SNDBUF, int(uint32_t(so_sndbuf)));
  set_int_option(so, win::IPPROTO_TCP, win::TCP_NODELAY, 1);
  set_int_option(so, win::SOL_SOCKET, win::SO_REUSEADDR, 1);
}

int QOR_SOCKET::server_listen() {
  SOCKET so = win::socket(win::AF_INET, so_type, so_protocol);
  if (so == INVALID_SOCKET) {
    report_error(DWORD(win::WSAGetLastError()), L"socket(AF_INET, cso_type, cso_protocol)");
    return -1;
  }
  set_socket_options(so);
  win::wprintf(L":: bind(%hs:%u)  ", addr_local_text[0] ? addr_local_text : "0.0.0.0",
               unsigned(local_port));
  if (win::bind(so, reinterpret_cast<const win::sockaddr*>(&addr_local), sizeof(addr_local)) ==
      SOCKET_ERROR) {
    // The leading line feed ends the bind line.
    report_error(DWORD(win::WSAGetLastError()),
                 L"\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
    win::closesocket(so);
    return -1;
  }
  if (win::listen(so, cw_connections) == SOCKET_ERROR) {
    report_error(DWORD(win::WSAGetLastError()), L"listen(so, cw_connections)");
    win::closesocket(so);
    return -1;
  }
  win::wprintf(L"RAW%s WS%s  max connections: %u\n:: waiting for client connection...\n\n",
               tls_ready ? L" TLS" : L"", tls_ready ? L" WSS" : L"", unsigned(cw_connections));
  // Published before any gate opens, so every reader finds it.
  a_store(so_listen, so);
  for (uint16_t i = 0; i < cw_connections; ++i) event_signal(&tasks[i].event_r);
  for (uint16_t i = 0; i < cw_connections; ++i)
    if (a_load(tasks[i].reader.started)) thread_join(&tasks[i].reader);
  return a_load(serve_failed) ? -1 : 0;
}
