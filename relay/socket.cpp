// Building and tearing down the relay object, and the exit handlers of the
// parking thread's globals.
#include "relay/socket.h"

#include <cstdlib>
#include <cstring>

#include "common/atomic.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "relay/globals.h"
#include "stream/context.h"

namespace {

constexpr uint64_t BUFFER_ALIGN = 4096;  // slot buffers start on this, whatever the page size

// Owner of the parking thread's handle: ends the thread if it still runs.
void park_thread_exit() {
  if (!a_load(park_thread.started)) return;
  if (!a_load(park_thread.ended)) thread_terminate(&park_thread);
  thread_close(&park_thread);
}

void park_event_exit() {
  if (a_load(park_event.valid)) event_close(&park_event);
}

// Registered before wmain runs, event first, so the thread's handler runs
// first at exit.
struct park_exit_handlers {
  park_exit_handlers() {
    park_event = QOR_EVENT{};
    atexit(park_event_exit);
    park_thread = QOR_THREAD{};
    atexit(park_thread_exit);
  }
} const register_park_exit_handlers;

}  // namespace

QOR_SOCKET::QOR_SOCKET(int argc, wchar_t** argv) {
  memset(&ram, 0, sizeof ram);
  ram.large_page = large_page_minimum(&ram);
  win::SYSTEM_INFO si = {};
  win::GetSystemInfo(&si);
  ram.granularity = si.dwAllocationGranularity;
  for (QOR_TASK& t : tasks) task_init(&t);
  memset(&addr_local, 0, sizeof addr_local);

  configured = false;
  if (config(argc, argv) == -1) return;
  configured = true;
  win::_wsetlocale_all(L"bg-BG");

  // L: the packet length; R: one slot buffer, L rounded up to 4096.
  // 1 is taken like 0: its reads would ask for no byte at all, which reads
  // as a closed connection.
  uint64_t L = packet_length_r;
  if (L <= 1 || L > ram.large_page) L = ram.large_page;
  packet_length_r = L;
  const uint64_t R = (L + BUFFER_ALIGN - 1) / BUFFER_ALIGN * BUFFER_ALIGN;
  const uint64_t K = connections;
  const uint64_t need = K * 3 * R;
  const uint64_t pages = need / ram.large_page + (need % ram.large_page != 0);

  ram.verbose = true;
  ram_alloc(&ram, pages);
  if (ram.base == nullptr) win::ExitProcess(1);  // the pool has said why

  thread_stack_size = ram.granularity;
  ::tasks = &tasks[0];
  cw_connections = uint16_t(K);
  packet_length = L;
  so_sndbuf = 2 * L;

  // Each active slot: R bytes to receive into, then two send halves of L.
  for (uint64_t i = 0; i < K; ++i) {
    QOR_TASK& t = tasks[i];
    t.not_quiet = not_quiet;
    t.write = write;
    t.pRAM = ram.base + 3 * R * i;
    t.p_send_base = t.pRAM + R;
    t.p_send_next = t.p_send_base;
    t.p_send = nullptr;
    t.toggle = 0;
    t.send_buffer_size = L;
    task_start(&t);
  }
  park_start(&tasks[0]);
}

QOR_SOCKET::~QOR_SOCKET() {
  if (configured) {
    configured = false;
    ctx_free();
  }
  for (int i = MAX_CONNECTIONS - 1; i >= 0; --i) task_close(&tasks[i]);
  // Slot 0's teardown closed park_event, so the parking thread is on its
  // way out; let it finish before the slot it looks at leaves the stack.
  thread_join(&park_thread);
  ram_release(&ram);
}
