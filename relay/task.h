// QOR_TASK: one connection slot with its reader and writer threads.
#pragma once
#include "common/event.h"
#include "common/thread.h"
#include "websocket/ws.h"

struct QOR_TASK {
  QOR_EVENT event_r;          // reader's start gate
  QOR_EVENT event_w;          // writer's start gate
  QOR_EVENT event_packet;     // a packet is staged
  QOR_EVENT event_send_free;  // the writer is idle
  int64_t send_result;
  int32_t send_error;
  uint8_t toggle;
  uint8_t* p_send_base;
  uint8_t* p_send_next;
  uint8_t* p_send;
  uint64_t send_buffer_size;
  uint64_t size_send;
  QOR_WS ws;
  bool working;
  bool ready;
  bool running;
  QOR_THREAD reader;
  QOR_THREAD writer;
  uint32_t index;
  bool not_quiet;
  bool write;
  uint8_t* pRAM;
};

QOR_TASK* task_init(QOR_TASK* task);
void task_start(QOR_TASK* task);
void park_start(QOR_TASK* first);
void task_close(QOR_TASK* task);

DWORD bootstrap_r(void* task);
DWORD bootstrap_w(void* task);
DWORD bootstrap_p(void* first);
void work(QOR_TASK* task);
void park(QOR_TASK* first);

// accept_loop.cpp, relay_loop.cpp
int32_t accept_loop(QOR_TASK* task);
// work_r first relays the `first_data` bytes at the start of pRAM: what a
// TLS client sent before its set-up was over.
int32_t work_r(QOR_TASK* task, uint64_t first_data);
bool send_packet(QOR_TASK* target, const uint8_t* data, uint64_t size);
int32_t work_w(QOR_TASK* task);

// listener.cpp: takes the listening socket over (atomically, so only one
// caller closes it), shuts it down and closes it; a blocked accept() fails.
void close_listen_socket();
