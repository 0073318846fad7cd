// Connection slots: construction, start and teardown of a slot, its reader
// and writer thread entry points, the writer's outer loop and the parking
// thread. The accept loop and the relay loop live in their own files.
#include "relay/task.h"

#include "common/atomic.h"
#include "common/report.h"
#include "platform/console.h"
#include "platform/winsock.h"
#include "relay/globals.h"

namespace {

const wchar_t* const CALL_SLOT_THREAD = L"CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)";
const wchar_t* const CALL_PARK_THREAD = L"CreateThread(NULL, 0, bootstrap_p, this, 0, NULL)";

// A thread the relay cannot do without: report the failed creation and end
// the process with its error code.
void start_thread(QOR_THREAD* t, win::LPTHREAD_START_ROUTINE entry, void* parameter,
                  const wchar_t* call_text) {
  int e = thread_create(t, entry, parameter);
  if (e == 0) return;
  report_error(DWORD(e), call_text);
  win::ExitProcess(DWORD(e));
}

bool still_running(const QOR_THREAD* t) {
  return a_load(t->started) && !a_load(t->ended);
}

// Ends a slot thread that is still inside a connection at teardown. A thread
// cannot be killed safely here (it could hold the stream's lock, a reference
// to its SSL object or an allocator lock), so it is made to return instead:
// the stop flag ends its loops, the released stream fails its recv/send, the
// closed listening socket fails an accept, and the closed events (closed by
// the caller before this) fail its waits. Then it is joined.
void force_end(QOR_TASK* task, QOR_THREAD* t, const wchar_t* line) {
  win::wprintf(line, unsigned(task->index));
  a_store(stop, true);
  task->ws.tls.release_stream();
  close_listen_socket();
  thread_join(t);
}

}  // namespace

QOR_TASK* task_init(QOR_TASK* task) {
  task->event_r = {};
  task->event_w = {};
  task->event_packet = {};
  task->event_send_free = {};
  ws_init(&task->ws);
  task->reader = {};
  task->writer = {};
  task->index = task_counter;
  task_counter += 1;
  task->working = false;
  task->ready = false;
  task->running = false;
  task->toggle = 0;
  task->not_quiet = false;
  task->write = false;
  task->send_result = 0;
  task->send_error = 0;
  task->send_buffer_size = 0;
  task->size_send = 0;
  task->pRAM = nullptr;
  task->p_send_base = nullptr;
  task->p_send_next = nullptr;
  task->p_send = nullptr;
  // A failure leaves the record invalid; the relay loop never hands such a
  // slot a packet.
  event_create(&task->event_packet, false);
  event_create(&task->event_send_free, true);
  return task;
}

void task_start(QOR_TASK* task) {
  task->ws.tls.p_recv = task->pRAM;
  task->ws.tls.p_recv_size = packet_length;
  a_store(task->running, true);
  event_create(&task->event_r, false);
  start_thread(&task->reader, bootstrap_r, task, CALL_SLOT_THREAD);
  if (!task->write) return;
  event_create(&task->event_w, false);
  start_thread(&task->writer, bootstrap_w, task, CALL_SLOT_THREAD);
}

void park_start(QOR_TASK* first) {
  event_create(&park_event, false);
  start_thread(&park_thread, bootstrap_p, first, CALL_PARK_THREAD);
}

DWORD bootstrap_r(void* parameter) {
  QOR_TASK* task = static_cast<QOR_TASK*>(parameter);
  // A writer whose gate could not be created ends at once; its reader must
  // not serve connections without it, whichever of the two runs first.
  bool gate_open = event_wait(&task->event_r) == 0;
  if (gate_open && (!task->write || a_load(task->event_w.valid))) accept_loop(task);
  a_store(task->running, false);
  event_close(&task->event_packet);
  event_close(&task->event_send_free);
  event_close(&task->event_w);
  task->ws.tls.release_stream();
  thread_join(&task->writer);
  thread_close(&task->writer);
  thread_mark_ended(&task->reader);
  return 0;
}

DWORD bootstrap_w(void* parameter) {
  QOR_TASK* task = static_cast<QOR_TASK*>(parameter);
  work(task);
  a_store(task->running, false);
  event_close(&task->event_r);
  task->ws.tls.release_stream();
  thread_mark_ended(&task->writer);
  return 0;
}

void work(QOR_TASK* task) {
  bool woken = false;
  while (a_load(task->running)) {
    // Once the gate has opened, a packet may be staged for this slot even if
    // the connection that opened it has already ended: the writer must be
    // in work_w to take it, or its reader, which waits for the writer at the
    // end of each connection, would wait for ever.
    if (woken || (a_load(task->working) && a_load(task->ws.tls.so) != INVALID_SOCKET)) {
      work_w(task);
      a_store(task->working, false);
      if (a_load(stop)) return;
      woken = false;
    } else if (event_wait(&task->event_w) != 0) {
      return;
    } else {
      woken = true;
    }
  }
}

DWORD bootstrap_p(void* first) {
  park(static_cast<QOR_TASK*>(first));
  thread_mark_ended(&park_thread);
  return 0;
}

void park(QOR_TASK* first) {
  int r;
  do {
    r = event_wait(&park_event);
  } while (a_load(first->running) && r == 0);
}

void task_close(QOR_TASK* task) {
  task_counter -= 1;
  a_store(task->running, false);
  a_store(task->ready, false);
  if (task->index == 0 && a_load(park_event.valid)) event_close(&park_event);
  task->ws.tls.release_stream();
  event_close(&task->event_r);
  event_close(&task->event_w);
  event_close(&task->event_packet);
  event_close(&task->event_send_free);

  if (still_running(&task->reader)) {
    if (a_load(task->working)) {
      force_end(task, &task->reader, L":: server_terminate_r(%2u)\n");
    } else {
      close_listen_socket();   // wakes a reader blocked in accept()
      thread_join(&task->reader);
    }
  }
  thread_close(&task->reader);

  if (still_running(&task->writer)) {
    if (a_load(task->working))
      force_end(task, &task->writer, L":: server_terminate_w(%2u)\n");
    else
      thread_join(&task->writer);
  }
  thread_close(&task->writer);

  ws_close(&task->ws);
}
