// The reader's accept loop: accept a connection, set it up (stream, TLS,
// WebSocket handshake), relay it until it ends, end it, accept again.
#include <cstdint>

#include "common/atomic.h"
#include "common/report.h"
#include "platform/console.h"
#include "platform/winsock.h"
#include "relay/globals.h"
#include "relay/task.h"

namespace {

constexpr int SETUP_RECEIVE_TIMEOUT_MS = 500;
constexpr int KEEPALIVE_IDLE_S = 75;

void set_int_option(SOCKET s, int level, int option, int value) {
  win::setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof(value));
}

const wchar_t* kind_of(const QOR_TASK* task) {
  bool tls = a_load(task->ws.tls.ssl) != nullptr;
  bool ws = task->ws.ws != 0;
  if (tls) return ws ? L"WSS" : L"TLS";
  return ws ? L"WS" : L"RAW";
}

// Returns -1 when the loop is to end, 0 to accept again (a reset connection).
int32_t accept_failed(QOR_TASK* task, int e, const win::sockaddr_in* addr, int addr_size) {
  if (e == WSAECONNRESET) return 0;
  // An interrupted accept closes the listener so that every other reader's
  // accept fails too.
  if (e == WSAEINTR) close_listen_socket();
  // Only the first failure stops the relay and is reported.
  if (a_exchange(stop, true)) return -1;
  a_store(task->running, false);
  SOCKET so = a_load(so_listen);
  if (so == INVALID_SOCKET) return -1;
  win::wprintf(L"!! server %02u  accept(so_listen:%08llx, (sockaddr *) &addr_listen:%08llx, "
               L"&addr_listen_size:%u)\n",
               unsigned(task->index), static_cast<unsigned long long>(so),
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(addr)),
               unsigned(addr_size));
  report_error(DWORD(e), nullptr);
  // The relay stops serving: every other reader ends after its current
  // connection, and the process reports the failure in its exit status.
  a_store(serve_failed, true);
  close_listen_socket();
  return -1;
}

void print_syn(const QOR_TASK* task, const win::sockaddr_in& peer, int32_t active) {
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&peer.sin_addr.s_addr);
  win::wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  ",
               unsigned(a[0]), unsigned(a[1]), unsigned(a[2]), unsigned(a[3]),
               unsigned(win::ntohs(peer.sin_port)), unsigned(task->index), unsigned(active),
               unsigned(cw_connections));
  a_store(line_pending, true);
}

// Set-up: bounded by a short receive time-out while the stream looks at the
// first bytes and the WebSocket handshake reads its request. Returns -1 when
// the connection is dropped, else the bytes of a TLS client's first data
// that the handshake left in the receive buffer.
int64_t set_up(QOR_TASK* task, SOCKET s, int32_t active) {
  set_int_option(s, win::SOL_SOCKET, win::SO_KEEPALIVE, 1);
  set_int_option(s, win::IPPROTO_TCP, win::TCP_KEEPALIVE, KEEPALIVE_IDLE_S);
  set_int_option(s, win::SOL_SOCKET, win::SO_RCVTIMEO, SETUP_RECEIVE_TIMEOUT_MS);
  if (task->ws.tls.open(s) == -1) return -1;
  int32_t first_data = handshake(&task->ws, task->pRAM);
  // The kind ends the line only when no other connection came or went since
  // this one's line was printed; otherwise that line is no longer last.
  if (task->not_quiet && a_load(active_count) == active) {
    a_store(line_pending, false);
    win::wprintf(L"%s\n", kind_of(task));
  }
  set_int_option(s, win::SOL_SOCKET, win::SO_RCVTIMEO, 0);
  // The send state was reset at the end of the previous connection.
  a_store(task->ready, true);
  event_signal(&task->event_w);
  return first_data > 0 ? first_data : 0;
}

// The writer may still hold a packet of this connection (staged before
// `ready` was cleared). Taking the slot's hand-off right waits until that
// send has run and failed on the released stream, with its own release and
// send result, and has dropped its reference on the old SSL object; only
// then may the stream take the next socket. Holding the right, the reader
// also resets the send state, so no sender reads it half reset. Senders
// that take the right after this find `ready` clear or the next connection
// fully set up.
void drain_writer(QOR_TASK* task) {
  bool held = event_wait(&task->event_send_free) == 0;
  a_store(task->send_result, int64_t(0));
  a_store(task->send_error, int32_t(0));
  a_store(task->size_send, uint64_t(0));
  if (held) event_signal(&task->event_send_free);
}

void end_connection(QOR_TASK* task) {
  task->ws.tls.release_stream();
  a_store(task->ready, false);
  a_store(task->ws.ws, uint8_t(0));
  a_store(task->working, false);
  drain_writer(task);
  int32_t remaining = a_add(active_count, int32_t(-1));
  if (!task->not_quiet) return;
  if (a_exchange(line_pending, false)) win::wprintf(L"\n\n");
  win::wprintf(L":: server_%02u.fin  active %02u/%02u\n", unsigned(task->index),
               unsigned(remaining), unsigned(cw_connections));
}

void serve(QOR_TASK* task, SOCKET s, const win::sockaddr_in& peer) {
  int32_t active = a_add(active_count, int32_t(1));
  a_store(task->working, true);
  if (task->not_quiet) print_syn(task, peer, active);
  int64_t first_data = set_up(task, s, active);
  if (first_data >= 0) work_r(task, uint64_t(first_data));
  end_connection(task);
}

}  // namespace

int32_t accept_loop(QOR_TASK* task) {
  while (!a_load(stop)) {
    win::sockaddr_in addr_listen{};
    int addr_listen_size = sizeof(addr_listen);
    SOCKET s = win::accept(a_load(so_listen), reinterpret_cast<win::sockaddr*>(&addr_listen),
                           &addr_listen_size);
    if (s != INVALID_SOCKET) {
      serve(task, s, addr_listen);
    } else if (accept_failed(task, win::WSAGetLastError(), &addr_listen, addr_listen_size) != 0) {
      return -1;
    }
  }
  return 0;
}
